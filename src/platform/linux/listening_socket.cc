#include "platform/linux/listening_socket.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <systemd/sd-daemon.h>

#include "platform/linux/unix_socket.h"

namespace kelmarind::platform::linux {
namespace {

std::unexpected<OsError> failure(const char* operation, int code = errno) {
  return std::unexpected(OsError{.code = code, .operation = operation});
}

// The socket handed over by the service manager, if any. The service manager
// names the endpoint: whatever path it bound is taken, so the same binary
// serves the system socket and a private one (tests, script/run). Only a
// listening stream socket bound to a file-system path qualifies: an abstract
// name could be squatted by any process, and the file's owner, group and mode
// are the service manager's to set.
std::expected<UniqueFd, OsError> adoptActivatedSocket() {
  const int count = sd_listen_fds(1);
  if (count < 0) return failure("sd_listen_fds", -count);
  if (count == 0) return UniqueFd();
  if (count != 1) return failure("sd_listen_fds", EINVAL);
  UniqueFd socket(SD_LISTEN_FDS_START);
  const int isStream = sd_is_socket_unix(socket.get(), SOCK_STREAM, 1, nullptr, 0);
  if (isStream < 0) return failure("sd_is_socket_unix", -isStream);
  if (isStream == 0) return failure("sd_is_socket_unix", ENOTSOCK);
  sockaddr_un address{};
  socklen_t length = sizeof address;
  if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) < 0) {
    return failure("getsockname");
  }
  const bool isPathBound = length > offsetof(sockaddr_un, sun_path) && address.sun_path[0] != '\0';
  if (!isPathBound) return failure("getsockname", EADDRNOTAVAIL);
  // Inherited descriptors come without close-on-exec.
  if (::fcntl(socket.get(), F_SETFD, FD_CLOEXEC) < 0) return failure("fcntl");
  return socket;
}

std::expected<void, OsError> removeStaleSocket(const std::string& path) {
  struct stat status = {};
  if (::lstat(path.c_str(), &status) < 0) {
    if (errno == ENOENT) return {};
    return failure("lstat");
  }
  // Only ever remove a socket: a mistaken path must not cost someone a file.
  if (!S_ISSOCK(status.st_mode)) return failure("bind", EEXIST);
  if (::unlink(path.c_str()) < 0 && errno != ENOENT) return failure("unlink");
  return {};
}

// The group the endpoint admits, or nullopt when the machine has none (then
// only the socket's owner may connect).
std::expected<std::optional<gid_t>, OsError> endpointGroup() {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(4096);
  int code = 0;
  while ((code = ::getgrnam_r(endpointGroupName, &entry, buffer.data(), buffer.size(), &found)) ==
         ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (code != 0) return failure("getgrnam_r", code);
  if (found == nullptr) return std::nullopt;
  return found->gr_gid;
}

// The same owner, group and mode as the socket unit gives the endpoint, set
// before listen(), so no connection can come in while the file still admits
// more users.
std::expected<void, OsError> restrictToEndpointGroup(const std::string& path) {
  auto group = endpointGroup();
  if (!group) return std::unexpected(group.error());
  // Only root may hand the file to a group it is not in; any other owner
  // keeps its own group, which admits no one the owner could not admit.
  const std::optional<gid_t>& gid = *group;
  if (gid && ::chown(path.c_str(), static_cast<uid_t>(-1), *gid) < 0 && errno != EPERM) {
    return failure("chown");
  }
  if (::chmod(path.c_str(), 0660) < 0) return failure("chmod");
  return {};
}

std::expected<UniqueFd, OsError> bindListeningSocket(const std::string& path) {
  auto address = unixSocketAddress(path);
  if (!address) return std::unexpected(address.error());
  if (auto removed = removeStaleSocket(path); !removed) return std::unexpected(removed.error());
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return failure("socket");
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) < 0) {
    return failure("bind");
  }
  if (auto restricted = restrictToEndpointGroup(path); !restricted) {
    return std::unexpected(restricted.error());
  }
  if (::listen(socket.get(), SOMAXCONN) < 0) return failure("listen");
  return socket;
}

}  // namespace

std::expected<UniqueFd, OsError> openListeningSocket(std::string_view path) {
  auto socket = adoptActivatedSocket();
  if (socket && !socket->isValid()) socket = bindListeningSocket(std::string(path));
  if (!socket) return socket;
  // The kernel records a writer only when a side asks for it at the time of
  // writing, and a client writes as soon as it connects: set here, accepted
  // sockets mostly have it from their first byte on (acceptConnection and
  // the client's own socket cover the rest).
  if (auto passed = passSenderCredentials(socket->get()); !passed) {
    return std::unexpected(passed.error());
  }
  return socket;
}

}  // namespace kelmarind::platform::linux
