#include "platform/linux/unix_socket.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstddef>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <systemd/sd-daemon.h>

#include "platform/linux/retry_on_interrupt.h"

// Kernel 6.5 and later; older headers lack the names.
#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76
#endif
#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif

namespace kelmarind::platform::linux {
namespace {

std::unexpected<OsError> failure(const char* operation, int code = errno) {
  return std::unexpected(OsError{.code = code, .operation = operation});
}

std::expected<sockaddr_un, OsError> addressOf(std::string_view path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // A leading NUL would name an abstract socket, which any process in the
  // network namespace could squat; only file-system paths are allowed.
  if (path.empty() || path.find('\0') != std::string_view::npos) {
    return failure("sockaddr_un", EINVAL);
  }
  if (path.size() >= sizeof address.sun_path) return failure("sockaddr_un", ENAMETOOLONG);
  std::ranges::copy(path, address.sun_path);
  return address;
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
  auto address = addressOf(path);
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

std::expected<UniqueFd, OsError> connectUnixSocket(std::string_view path) {
  auto address = addressOf(path);
  if (!address) return std::unexpected(address.error());
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return failure("socket");
  // The helper refuses bytes that come without their writer's credentials;
  // whether the kernel records them can depend on the writer's socket asking
  // too, before the helper has taken the connection.
  if (auto passed = passSenderCredentials(socket.get()); !passed) {
    return std::unexpected(passed.error());
  }
  const int result = retryOnInterrupt([&] {
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
  });
  if (result < 0) return failure("connect");
  return socket;
}

std::expected<UniqueFd, OsError> acceptConnection(int listeningSocket) {
  const int fd =
      retryOnInterrupt([&] { return ::accept4(listeningSocket, nullptr, nullptr, SOCK_CLOEXEC); });
  if (fd < 0) return failure("accept4");
  UniqueFd socket(fd);
  // Inherited from the listening socket only most of the time: an accept
  // racing the connection can come without it.
  if (auto passed = passSenderCredentials(socket.get()); !passed) {
    return std::unexpected(passed.error());
  }
  return socket;
}

std::expected<uid_t, OsError> peerUser(int connectedSocket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(connectedSocket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return failure("getsockopt(SO_PEERCRED)");
  }
  return credentials.uid;
}

std::expected<void, OsError> passSenderCredentials(int socket) {
  const int on = 1;
  if (::setsockopt(socket, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    return failure("setsockopt(SO_PASSCRED)");
  }
  // Older kernels answer ENOPROTOOPT; the credentials' pid then stands alone.
  (void)::setsockopt(socket, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on);
  return {};
}

std::expected<void, OsError> limitSendStall(int socket, std::chrono::milliseconds limit) {
  const timeval value{.tv_sec = static_cast<time_t>(limit.count() / 1000),
                      .tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
  if (::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) != 0) {
    return failure("setsockopt(SO_SNDTIMEO)");
  }
  return {};
}

namespace {

std::expected<void, OsError> awaitReadable(
    int socket, std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (!deadline) return {};
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return failure("poll", ETIMEDOUT);
    pollfd entry{socket, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0) return {};
    if (ready < 0 && errno != EINTR) return failure("poll");
  }
}

// Takes what the kernel attached to one read. Every descriptor is owned at
// once, so whatever is refused later is closed, never leaked.
void takeControl(msghdr& message, Received& received) {
  received.isTruncated = received.isTruncated || (message.msg_flags & MSG_CTRUNC) != 0;
  std::optional<MessageSender> sender;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET) continue;
    const std::size_t dataSize = header->cmsg_len - CMSG_LEN(0);
    if (header->cmsg_type == SCM_RIGHTS || header->cmsg_type == SCM_PIDFD) {
      for (std::size_t i = 0; i < dataSize / sizeof(int); ++i) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
        UniqueFd owned(fd);
        if (header->cmsg_type == SCM_PIDFD) {
          if (!sender) sender.emplace();
          sender->pidfd = std::move(owned);
        } else if (received.descriptors.size() < maxReceivedDescriptors) {
          received.descriptors.push_back(std::move(owned));
        } else {
          received.isTruncated = true;
        }
      }
    } else if (header->cmsg_type == SCM_CREDENTIALS && dataSize >= sizeof(ucred)) {
      ucred credentials{};
      std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
      if (!sender) sender.emplace();
      sender->pid = credentials.pid;
    }
  }
  if (!sender) return;
  if (!received.sender) {
    received.sender = std::move(sender);
  } else if (received.sender->pid != sender->pid) {
    received.isFromSeveralSenders = true;
  }
}

}  // namespace

std::expected<Received, OsError> receiveFully(
    int socket, std::span<char> buffer,
    std::optional<std::chrono::steady_clock::time_point> deadline) {
  Received received;
  // Room for the credentials, a pidfd and the most descriptors taken.
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int)) +
                                        CMSG_SPACE(sizeof(int) * maxReceivedDescriptors)>
      control{};
  while (received.size < buffer.size()) {
    if (auto ready = awaitReadable(socket, deadline); !ready) return std::unexpected(ready.error());
    iovec vector{buffer.data() + received.size, buffer.size() - received.size};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t count =
        retryOnInterrupt([&] { return ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC); });
    if (count < 0) return failure("recvmsg");
    takeControl(message, received);
    if (count == 0) break;
    received.size += static_cast<std::size_t>(count);
  }
  return received;
}

std::expected<std::size_t, OsError> readFully(int socket, std::span<char> buffer) {
  auto received = receiveFully(socket, buffer);
  if (!received) return std::unexpected(received.error());
  return received->size;
}

std::expected<void, OsError> sendAll(int socket, std::span<const std::string_view> pieces,
                                     int descriptor) {
  std::vector<iovec> vectors;
  for (std::string_view piece : pieces) {
    if (!piece.empty()) vectors.push_back({const_cast<char*>(piece.data()), piece.size()});
  }
  std::span<iovec> rest(vectors);
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
  while (!rest.empty()) {
    msghdr message{};
    message.msg_iov = rest.data();
    message.msg_iovlen = std::min<std::size_t>(rest.size(), IOV_MAX);
    if (const int attached = std::exchange(descriptor, -1); attached >= 0) {
      message.msg_control = control.data();
      message.msg_controllen = control.size();
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &attached, sizeof(int));
    }
    const ssize_t count =
        retryOnInterrupt([&] { return ::sendmsg(socket, &message, MSG_NOSIGNAL); });
    if (count < 0) return failure("sendmsg");
    auto sent = static_cast<std::size_t>(count);
    while (!rest.empty() && sent >= rest.front().iov_len) {
      sent -= rest.front().iov_len;
      rest = rest.subspan(1);
    }
    if (sent > 0) {
      rest.front().iov_base = static_cast<char*>(rest.front().iov_base) + sent;
      rest.front().iov_len -= sent;
    }
  }
  return {};
}

void shutdownSocket(int socket) { (void)::shutdown(socket, SHUT_RDWR); }

}  // namespace kelmarind::platform::linux
