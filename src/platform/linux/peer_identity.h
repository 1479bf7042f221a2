// Who is at the other end of a Unix socket, established from the kernel alone:
// the connecting process as the kernel recorded it, its executable file, and
// the identity embedded in that file. Nothing the peer sends is consulted.
#pragma once

#include <sys/types.h>

#include <expected>

#include "platform/linux/code_requirement.h"
#include "platform/linux/identity_error.h"
#include "platform/unique_fd.h"

namespace kelmarind::platform::linux {

// A process pinned by a pidfd, which never moves to another process.
struct PinnedProcess {
  pid_t pid = 0;
  UniqueFd pidfd;
};

// The process at the other end of a connection, and the identity read from
// its executable while it was pinned.
struct IdentifiedPeer {
  PinnedProcess process;
  CodeIdentity identity;
};

// The process that connected `connectedSocket` (a connected Unix stream
// socket, not taken over) and its identity. The process must still be alive
// when its executable has been opened, so a reused pid cannot stand in for
// an exited peer; the executable must pass executableIdentity's checks.
// Thread-safe. Needs the right to open /proc/<pid>/exe of the peer (root, or
// the peer's own user).
[[nodiscard]] std::expected<IdentifiedPeer, IdentityError> peerIdentity(int connectedSocket);

// The process that connected `connectedSocket`, as the kernel recorded it
// (SO_PEERPIDFD; before 6.5, pidfd_open of the recorded pid).
[[nodiscard]] std::expected<PinnedProcess, IdentityError> connectingProcess(int connectedSocket);

// A pidfd of `pid`, opened now; a pid reused since the caller learnt it
// would be pinned instead, so prefer a pidfd the kernel handed over.
[[nodiscard]] std::expected<UniqueFd, IdentityError> pinProcess(pid_t pid);

// Whether the pinned process still runs (only then is its pid still its own).
[[nodiscard]] bool isRunning(const PinnedProcess& process);

// The identity of the running process `pid`, pinned by `pidfd` (not taken
// over), under the same rules as peerIdentity.
[[nodiscard]] std::expected<CodeIdentity, IdentityError> processIdentity(pid_t pid, int pidfd);

// The identity embedded in the open executable `executableFd` (not taken
// over). The file must be a regular file owned by root or by this process's
// effective user, and writable by nobody else: a copy anyone else could have
// changed vouches for nothing.
[[nodiscard]] std::expected<CodeIdentity, IdentityError> executableIdentity(int executableFd);

}  // namespace kelmarind::platform::linux
