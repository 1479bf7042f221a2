// Large replies travel as memory files that neither side can change once
// sent: the helper writes the bytes into an anonymous memory file as they are
// made and seals it, the client checks the seals and the size before it reads
// a byte.
#pragma once

#include <cstddef>
#include <expected>

#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace kelmarind::platform::linux {

// An empty close-on-exec memory file that can be sealed, for a reply's bytes
// to be written into. It fails only for want of descriptors or memory.
[[nodiscard]] std::expected<UniqueFd, OsError> memoryFile();

// Seals `file` (made by memoryFile) against writing, growing, shrinking and
// further sealing: from then on no one, its creator included, can change
// what a reader maps.
[[nodiscard]] std::expected<void, OsError> seal(int file);

// Succeeds only when `descriptor` is a memory file carrying all four seals
// and exactly `size` bytes: then no one, its creator included, can change
// what a reader maps. A foreign descriptor (a pipe, a socket, a file that can
// still be written or truncated) fails with EBADFD, a wrong size with EMSGSIZE.
[[nodiscard]] std::expected<void, OsError> checkSealedMemoryFile(int descriptor, std::size_t size);

}  // namespace kelmarind::platform::linux
