#include "platform/linux/unix_socket.h"

#include <poll.h>
#include <sys/socket.h>
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

}  // namespace

std::expected<sockaddr_un, OsError> unixSocketAddress(std::string_view path) {
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

std::expected<UniqueFd, OsError> connectUnixSocket(std::string_view path) {
  auto address = unixSocketAddress(path);
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
