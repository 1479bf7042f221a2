// Turning the raw bytes of Linux names (anything but "/" and NUL) into text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelmarind::platform {

// Length of the longest prefix of `bytes` that is well-formed UTF-8.
[[nodiscard]] std::size_t validUtf8PrefixLength(std::string_view bytes);

[[nodiscard]] inline bool isValidUtf8(std::string_view bytes) {
  return validUtf8PrefixLength(bytes) == bytes.size();
}

// Appends `bytes` to `out` as text: well-formed UTF-8 is copied unchanged and
// each maximal subpart of an ill-formed sequence becomes U+FFFD, the Unicode
// standard's recommended practice (the same rule as the WHATWG decoder).
void appendUtf8Lossy(std::string_view bytes, std::string& out);

[[nodiscard]] inline std::string decodeUtf8Lossy(std::string_view bytes) {
  std::string out;
  appendUtf8Lossy(bytes, out);
  return out;
}

}  // namespace kelmarind::platform
