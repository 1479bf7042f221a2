// Advice to the kernel about large, short-lived buffers: first touches of
// fresh memory are expensive, and a huge page takes one fault where its
// small pages would take hundreds.
#pragma once

#include <cstddef>

namespace kelmarind::platform {

// The huge page the memory below is shaped for.
inline constexpr std::size_t hugePageSize = std::size_t{2} << 20;

// The least multiple of `multiple` that is not below `value`.
[[nodiscard]] constexpr std::size_t roundUp(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Asks that the whole pages inside [data, data + size) be backed by huge pages
// where the kernel can; a buffer smaller than one huge page is left alone.
// Only advice: the memory and its contents are unchanged, and a kernel that
// declines leaves everything as it was. Call it before the buffer is written,
// since pages already touched stay small. Thread-safe.
void adviseHugePages(void* data, std::size_t size) noexcept;

// Gives the whole pages inside [data, data + size) back to the kernel at
// once: their contents are no longer needed and read as zeros from now on.
// For a large buffer that has been sent on part by part, so that what the
// kernel allocates next (the copies it keeps of what was sent) can be made of
// pages just released instead of fresh ones. Thread-safe.
void releasePages(void* data, std::size_t size) noexcept;

// `size` bytes (a multiple of hugePageSize) of fresh zeroed memory starting on
// a huge page boundary, advised as by adviseHugePages; nullptr when the system
// has no memory to give. Given back with unmapPages(base, size) only.
// Thread-safe.
[[nodiscard]] char* mapHugePageAligned(std::size_t size) noexcept;
void unmapPages(char* base, std::size_t size) noexcept;

}  // namespace kelmarind::platform
