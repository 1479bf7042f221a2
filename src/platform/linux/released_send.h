// Writing a whole buffer out, and sending a large buffer that is not needed
// afterwards, giving its memory back as it goes.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "platform/fresh_pages.h"
#include "platform/linux/retry_on_interrupt.h"
#include "platform/os_error.h"

namespace kelmarind::platform::linux {

// What sendReleasing passes on at a time.
inline constexpr std::size_t sendSlice = std::size_t{2} << 20;

// Passes `bytes` to `send` (which takes a pointer and a size and returns how
// many bytes it took, or -1 with errno set) 2 MiB at a time, and
// releases each slice once it has gone. The kernel's copy of a large document
// (page cache or socket buffers) is then made of the pages just released
// rather than fresh ones, which halves the fresh memory a large reply costs.
// `bytes` must not be read again. Fails with the error of the first `send`
// that fails (`operation` names it) or takes nothing.
template <typename Send>
[[nodiscard]] std::expected<void, OsError> sendReleasing(std::span<char> bytes,
                                                         const char* operation, Send send) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    // Slices end on 2 MiB boundaries, where a huge page would end too, should
    // the buffer be on one: releasing part of it would make the kernel split
    // it first.
    const auto at = reinterpret_cast<std::uintptr_t>(bytes.data() + done);
    const std::size_t size = std::min<std::size_t>(sendSlice - at % sendSlice, bytes.size() - done);
    const ssize_t sent = retryOnInterrupt([&] { return send(bytes.data() + done, size); });
    if (sent <= 0) return std::unexpected(OsError{sent == 0 ? EIO : errno, operation});
    releasePages(bytes.data() + done, static_cast<std::size_t>(sent));
    done += static_cast<std::size_t>(sent);
  }
  return {};
}

// Writes all of `bytes` to the file, pipe or socket open on `fd`: a short
// write goes on from where it stopped.
[[nodiscard]] inline std::expected<void, OsError> writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written =
        retryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (written <= 0) return std::unexpected(OsError{written == 0 ? EIO : errno, "write"});
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

// Writes all of `bytes` to the file or pipe open on `fd`, as sendReleasing
// sends them.
[[nodiscard]] inline std::expected<void, OsError> writeReleasing(int fd, std::span<char> bytes) {
  return sendReleasing(
      bytes, "write", [fd](const char* data, std::size_t size) { return ::write(fd, data, size); });
}

}  // namespace kelmarind::platform::linux
