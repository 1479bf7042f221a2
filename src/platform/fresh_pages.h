// Large, short-lived buffers straight from the kernel, and given back to it
// early. Left in small pages: on a virtual machine whose free memory is handed
// back to the host in blocks of a huge page or more, a fresh huge page must
// come back from the host first and costs several times what the same memory
// in small pages does (see docs/performance.md, "Small pages").
#pragma once

#include <cstddef>

namespace kelmarind::platform {

// The least multiple of `multiple` that is not below `value`.
[[nodiscard]] constexpr std::size_t roundUp(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// A multiple of every page size the system may use: sizes of mappings are
// rounded up to it.
inline constexpr std::size_t mappingGranule = std::size_t{64} << 10;

// Gives the whole pages inside [data, data + size) back to the kernel at
// once: their contents are no longer needed and read as zeros from now on.
// For a large buffer that has been sent on part by part, so that what the
// kernel allocates next (the copies it keeps of what was sent) can be made of
// pages just released instead of fresh ones. Thread-safe.
void releasePages(void* data, std::size_t size) noexcept;

// `size` bytes (a multiple of mappingGranule) of fresh zeroed memory; nullptr
// when the system has no memory to give. Given back with
// unmapPages(base, size) only. Thread-safe.
[[nodiscard]] char* mapPages(std::size_t size) noexcept;
void unmapPages(char* base, std::size_t size) noexcept;

}  // namespace kelmarind::platform
