// The helper's listening socket: the one the service manager hands over, or
// one bound here with the socket unit's settings. Only the helper listens, so
// only it links the service manager's library.
#pragma once

#include <expected>
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
// abstract sockets are never used. Either way it passes sender credentials
// (passSenderCredentials), and so does every socket it accepts.
[[nodiscard]] std::expected<UniqueFd, OsError> openListeningSocket(std::string_view path);

}  // namespace kelmarind::platform::linux
