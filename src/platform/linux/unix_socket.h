// Unix stream sockets for the helper's endpoint: binding or adopting the
// listening socket, connecting, and moving whole buffers in and out. The only
// place where the transport's system calls turn errno into OsError; EINTR is
// retried here.
#pragma once

#include <sys/types.h>

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

// The system group whose members may connect to the endpoint.
inline constexpr const char* endpointGroupName = "kelmarind";

// The listening socket of the endpoint. If the service manager handed over a
// socket (socket activation), that one is taken, provided it is a listening
// AF_UNIX stream socket bound to a file-system path (the service manager
// chooses which; `path` is not consulted); otherwise `path` is bound here
// with the socket unit's settings: mode 0660, group endpointGroupName when
// the machine has it (and the caller may give the file to it), after removing
// a stale socket there (anything else at `path` fails with EEXIST). An empty
// path or one too long for sockaddr_un fails with EINVAL or ENAMETOOLONG;
// abstract sockets are never used. Either way it passes sender credentials
// (passSenderCredentials), and so does every socket it accepts.
[[nodiscard]] std::expected<UniqueFd, OsError> openListeningSocket(std::string_view path);

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
