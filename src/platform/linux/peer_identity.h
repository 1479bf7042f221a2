// Who is at the other end of a Unix socket, established from the kernel alone:
// the connecting process as the kernel recorded it, its executable file, and
// the identity embedded in that file. Nothing the peer sends is consulted.
#pragma once

#include <expected>

#include "platform/linux/code_requirement.h"
#include "platform/linux/identity_error.h"

namespace kelmarind::platform::linux {

// The identity of the process that connected `connectedSocket` (a connected
// Unix stream socket, not taken over). The process must still be alive when
// its executable has been opened, so a reused pid cannot stand in for an
// exited peer; the executable must pass executableIdentity's checks.
// Thread-safe. Needs the right to open /proc/<pid>/exe of the peer (root, or
// the peer's own user).
[[nodiscard]] std::expected<CodeIdentity, IdentityError> peerIdentity(int connectedSocket);

// The identity embedded in the open executable `executableFd` (not taken
// over). The file must be a regular file owned by root or by this process's
// effective user, and writable by nobody else: a copy anyone else could have
// changed vouches for nothing.
[[nodiscard]] std::expected<CodeIdentity, IdentityError> executableIdentity(int executableFd);

}  // namespace kelmarind::platform::linux
