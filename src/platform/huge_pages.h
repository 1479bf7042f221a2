// Advice to the kernel about large, short-lived buffers: first touches of
// fresh memory are expensive, and a huge page takes one fault where its
// small pages would take hundreds.
#pragma once

#include <cstddef>

namespace kelmarind::platform {

// Asks that the whole pages inside [data, data + size) be backed by huge pages
// where the kernel can; a buffer smaller than one huge page is left alone.
// Only advice: the memory and its contents are unchanged, and a kernel that
// declines leaves everything as it was. Call it before the buffer is written,
// since pages already touched stay small. Thread-safe.
void adviseHugePages(void* data, std::size_t size) noexcept;

}  // namespace kelmarind::platform
