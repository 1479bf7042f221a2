// Advice to the kernel about large, short-lived buffers: first touches of
// fresh memory are expensive, and a huge page takes one fault where its
// small pages would take hundreds.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelmarind::platform {

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

// Passes `bytes` to `send` (which takes a pointer and a size and returns how
// many bytes it took, or -1 with errno set) a huge page's worth at a time, and
// releases each slice once it has gone. The kernel's copy of a large document
// (page cache or socket buffers) is then made of the pages just released
// rather than fresh ones, which halves the fresh memory a large reply costs.
// `bytes` must not be read again. False when `send` fails; errno tells why.
template <typename Send>
bool sendReleasing(std::span<char> bytes, Send send) {
  constexpr std::size_t kSlice = std::size_t{2} << 20;
  std::size_t done = 0;
  while (done < bytes.size()) {
    // Slices end on huge page boundaries: releasing part of a huge page
    // would make the kernel split it first.
    const auto at = reinterpret_cast<std::uintptr_t>(bytes.data() + done);
    const std::size_t size = std::min<std::size_t>(kSlice - at % kSlice, bytes.size() - done);
    const ssize_t sent = send(bytes.data() + done, size);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    releasePages(bytes.data() + done, static_cast<std::size_t>(sent));
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace kelmarind::platform
