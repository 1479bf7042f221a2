// Unix stream sockets for the helper's endpoint: binding or adopting the
// listening socket, connecting, and moving whole buffers in and out. The only
// place where the transport's system calls turn errno into OsError; EINTR is
// retried here.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string_view>

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
// abstract sockets are never used.
[[nodiscard]] std::expected<UniqueFd, OsError> openListeningSocket(std::string_view path);

[[nodiscard]] std::expected<UniqueFd, OsError> connectUnixSocket(std::string_view path);

// The next pending connection, close-on-exec.
[[nodiscard]] std::expected<UniqueFd, OsError> acceptConnection(int listeningSocket);

// Reads until `buffer` is full or the peer has closed; returns the count read,
// which is short only at end of stream.
[[nodiscard]] std::expected<std::size_t, OsError> readFully(int socket, std::span<char> buffer);

// Sends every piece in order. Never raises SIGPIPE: a vanished peer is
// EPIPE or ECONNRESET.
[[nodiscard]] std::expected<void, OsError> sendAll(int socket,
                                                   std::span<const std::string_view> pieces);

// Ends both directions, waking any thread blocked on the socket. The
// descriptor stays open for its owner to close.
void shutdownSocket(int socket);

}  // namespace kelmarind::platform::linux
