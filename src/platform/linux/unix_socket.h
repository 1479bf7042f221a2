// Unix stream sockets for the helper's endpoint, as both sides use them:
// connecting, accepting, and moving whole buffers in and out. The only
// place where the transport's system calls turn errno into OsError; EINTR is
// retried here.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace kelmarind::platform::linux {

// The address of the file-system socket at `path`. An empty path, one with a
// NUL (which would name an abstract socket) or one too long for sockaddr_un
// fails with EINVAL or ENAMETOOLONG.
[[nodiscard]] std::expected<sockaddr_un, OsError> unixSocketAddress(std::string_view path);

[[nodiscard]] std::expected<UniqueFd, OsError> connectUnixSocket(std::string_view path);

// The next pending connection, close-on-exec, passing sender credentials.
[[nodiscard]] std::expected<UniqueFd, OsError> acceptConnection(int listeningSocket);

// The user the kernel recorded when the peer of `connectedSocket` connected.
[[nodiscard]] std::expected<uid_t, OsError> peerUser(int connectedSocket);

// From now on every read on `socket` (and on sockets it accepts) carries the credentials of the
// process that wrote the bytes (SCM_CREDENTIALS) and, where the kernel has it (6.5 on), a pidfd of
// that process (SCM_PIDFD). The kernel then never joins bytes of two writers in one read. Fails
// only on the credentials.
[[nodiscard]] std::expected<void, OsError> passSenderCredentials(int socket);

// A send or receive that makes no progress for `limit` fails with EAGAIN.
[[nodiscard]] std::expected<void, OsError> limitSendStall(int socket,
                                                          std::chrono::milliseconds limit);

// The process that wrote received bytes, as the kernel recorded it.
struct MessageSender {
  pid_t pid = 0;   // 0 when the writer is outside this pid namespace
  UniqueFd pidfd;  // the writer itself, where the kernel passes one
};

struct Received {
  std::size_t size = 0;  // short only at end of stream
  // The writer of the bytes, when passSenderCredentials was asked for and
  // any arrived; `isFromSeveralSenders` when not all came from one process.
  std::optional<MessageSender> sender;
  bool isFromSeveralSenders = false;
  // Descriptors that came with the bytes (SCM_RIGHTS), close-on-exec; at
  // most maxReceivedDescriptors, `isTruncated` when the peer sent more.
  std::vector<UniqueFd> descriptors;
  bool isTruncated = false;
};
inline constexpr std::size_t maxReceivedDescriptors = 4;

// Reads until `buffer` is full or the peer has closed. With a deadline,
// fails with ETIMEDOUT once it passes before the buffer is full.
[[nodiscard]] std::expected<Received, OsError> receiveFully(
    int socket, std::span<char> buffer,
    std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

// receiveFully's count alone, for callers that expect nothing beside bytes.
[[nodiscard]] std::expected<std::size_t, OsError> readFully(int socket, std::span<char> buffer);

// Sends every piece in order; `descriptor`, when given, travels with the
// first byte (SCM_RIGHTS). Never raises SIGPIPE: a vanished peer is EPIPE or
// ECONNRESET.
[[nodiscard]] std::expected<void, OsError> sendAll(int socket,
                                                   std::span<const std::string_view> pieces,
                                                   int descriptor = -1);

// Ends both directions, waking any thread blocked on the socket. The
// descriptor stays open for its owner to close.
void shutdownSocket(int socket);

}  // namespace kelmarind::platform::linux
