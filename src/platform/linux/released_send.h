// Sending a large buffer that is not needed afterwards, giving its memory
// back as it goes.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/huge_pages.h"

namespace kelmarind::platform::linux {

// Passes `bytes` to `send` (which takes a pointer and a size and returns how
// many bytes it took, or -1 with errno set) a huge page's worth at a time, and
// releases each slice once it has gone. The kernel's copy of a large document
// (page cache or socket buffers) is then made of the pages just released
// rather than fresh ones, which halves the fresh memory a large reply costs.
// `bytes` must not be read again. False when `send` fails; errno tells why.
template <typename Send>
bool sendReleasing(std::span<char> bytes, Send send) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    // Slices end on huge page boundaries: releasing part of a huge page
    // would make the kernel split it first.
    const auto at = reinterpret_cast<std::uintptr_t>(bytes.data() + done);
    const std::size_t size =
        std::min<std::size_t>(hugePageSize - at % hugePageSize, bytes.size() - done);
    const ssize_t sent = send(bytes.data() + done, size);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    releasePages(bytes.data() + done, static_cast<std::size_t>(sent));
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace kelmarind::platform::linux
