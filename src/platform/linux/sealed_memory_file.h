// Large replies travel as memory files that neither side can change once
// sent: the helper writes the bytes into an anonymous memory file and seals
// it, the client checks the seals and the size before it reads a byte.
#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace kelmarind::platform::linux {

// A close-on-exec memory file of `size` bytes, for fillAndSeal. It fails
// only for want of descriptors or memory, and touches nothing else.
[[nodiscard]] std::expected<UniqueFd, OsError> sizedMemoryFile(std::size_t size);

// Copies `bytes` into `file` (made by sizedMemoryFile for their size) and
// seals it against writing, growing, shrinking and further sealing. Each
// slice of `bytes` is given back to the kernel once copied (releasePages),
// so the reply never costs twice its size; `bytes` must not be read again,
// whatever the outcome.
[[nodiscard]] std::expected<void, OsError> fillAndSeal(int file, std::span<char> bytes);

// Succeeds only when `descriptor` is a memory file carrying all four seals
// and exactly `size` bytes: then no one, its creator included, can change
// what a reader maps. A foreign descriptor (a pipe, a socket, a file that can
// still be written or truncated) fails with EBADFD, a wrong size with EMSGSIZE.
[[nodiscard]] std::expected<void, OsError> checkSealedMemoryFile(int descriptor, std::size_t size);

}  // namespace kelmarind::platform::linux
