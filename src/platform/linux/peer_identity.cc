#include "platform/linux/peer_identity.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/linux/info_plist.h"
#include "platform/linux/retry_on_interrupt.h"
#include "platform/unique_fd.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace kelmarind::platform::linux {
namespace {

std::unexpected<IdentityError> systemError(const char* operation) {
  return std::unexpected(IdentityError{IdentityProblem::systemError, {errno, operation}});
}

std::unexpected<IdentityError> peerGone(const char* operation) {
  return std::unexpected(IdentityError{IdentityProblem::peerGone, {errno, operation}});
}

// The pid the kernel recorded when the peer connected.
std::expected<pid_t, IdentityError> peerPid(int connectedSocket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(connectedSocket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return systemError("getsockopt(SO_PEERCRED)");
  }
  if (credentials.pid <= 0) return std::unexpected(IdentityError{IdentityProblem::peerGone, {}});
  return credentials.pid;
}

// A pidfd of the connecting process. SO_PEERPIDFD names the very process that
// connected. Kernels before 6.5 lack it; pidfd_open of the recorded pid is the
// fallback, which a pid reused between connect() and this call would fool
// (docs/security.md weighs that). Both give close-on-exec descriptors.
std::expected<UniqueFd, IdentityError> peerPidfd(int connectedSocket, pid_t pid) {
  int pidfd = -1;
  socklen_t length = sizeof pidfd;
  if (::getsockopt(connectedSocket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0) {
    return UniqueFd(pidfd);
  }
  if (errno == ESRCH || errno == EINVAL) return peerGone("getsockopt(SO_PEERPIDFD)");
  if (errno != ENOPROTOOPT) return systemError("getsockopt(SO_PEERPIDFD)");
  return pinProcess(pid);
}

// A pidfd turns readable once its process has exited; a pidfd never follows a
// pid number to a new process.
std::expected<void, IdentityError> expectAlive(int pidfd) {
  pollfd entry{pidfd, POLLIN, 0};
  const int ready = retryOnInterrupt([&] { return ::poll(&entry, 1, 0); });
  if (ready < 0) return systemError("poll(pidfd)");
  if (ready > 0) return std::unexpected(IdentityError{IdentityProblem::peerGone, {}});
  return {};
}

std::expected<UniqueFd, IdentityError> openExecutable(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/exe";
  const int fd =
      retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); });
  // A process that has exited, or is a zombie, has no executable any more.
  if (fd < 0) return errno == ENOENT || errno == ESRCH ? peerGone("open") : systemError("open");
  return UniqueFd(fd);
}

}  // namespace

std::expected<UniqueFd, IdentityError> pinProcess(pid_t pid) {
  if (pid <= 0) return std::unexpected(IdentityError{IdentityProblem::peerGone, {}});
  const long opened = ::syscall(SYS_pidfd_open, pid, 0);
  if (opened < 0) return errno == ESRCH ? peerGone("pidfd_open") : systemError("pidfd_open");
  return UniqueFd(static_cast<int>(opened));
}

std::expected<PinnedProcess, IdentityError> connectingProcess(int connectedSocket) {
  const auto pid = peerPid(connectedSocket);
  if (!pid) return std::unexpected(pid.error());
  auto pidfd = peerPidfd(connectedSocket, *pid);
  if (!pidfd) return std::unexpected(pidfd.error());
  return PinnedProcess{*pid, std::move(*pidfd)};
}

bool isRunning(const PinnedProcess& process) {
  return process.pidfd && expectAlive(process.pidfd.get()).has_value();
}

std::expected<CodeIdentity, IdentityError> processIdentity(pid_t pid, int pidfd) {
  if (auto alive = expectAlive(pidfd); !alive) return std::unexpected(alive.error());
  auto executable = openExecutable(pid);
  if (!executable) return std::unexpected(executable.error());
  // Checked again now that the file is open: had the process exited and its
  // pid gone to another process in between, the file would be that one's.
  if (auto alive = expectAlive(pidfd); !alive) return std::unexpected(alive.error());
  return executableIdentity(executable->get());
}

std::expected<IdentifiedPeer, IdentityError> peerIdentity(int connectedSocket) {
  auto process = connectingProcess(connectedSocket);
  if (!process) return std::unexpected(process.error());
  auto identity = processIdentity(process->pid, process->pidfd.get());
  if (!identity) return std::unexpected(identity.error());
  return IdentifiedPeer{std::move(*process), std::move(*identity)};
}

std::expected<CodeIdentity, IdentityError> executableIdentity(int executableFd) {
  struct stat status = {};
  if (::fstat(executableFd, &status) != 0) return systemError("fstat");
  const bool isOwnerTrusted = status.st_uid == 0 || status.st_uid == ::geteuid();
  // The group bits also carry an ACL's mask, so no ACL entry can grant
  // writing while they deny it.
  const bool isWritableByOthers = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (!S_ISREG(status.st_mode) || !isOwnerTrusted || isWritableByOthers) {
    return std::unexpected(IdentityError{IdentityProblem::untrustedExecutable, {}});
  }
  auto plist = infoPlistOfFile(executableFd);
  if (!plist) return std::unexpected(plist.error());
  auto identifier = bundleIdentifierOf(*plist);
  if (!identifier) return std::unexpected(identifier.error());
  return CodeIdentity{std::move(*identifier)};
}

}  // namespace kelmarind::platform::linux
