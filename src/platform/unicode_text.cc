#include "platform/unicode_text.h"

#include <cstdint>
#include <cstring>

namespace kelmarind::platform {
namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// Length of the well-formed sequence at the start of `s`, or, when it is
// ill-formed, the negated length of its maximal subpart (at least 1). Follows
// Table 3-7 of the Unicode standard: the allowed range of the second byte
// depends on the lead byte, which excludes overlongs and surrogates.
int sequenceAt(const unsigned char* s, std::size_t available) {
  const unsigned char lead = s[0];
  if (lead < 0x80) return 1;
  int length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  for (int i = 1; i < length; ++i) {
    if (static_cast<std::size_t>(i) >= available) return -i;
    const unsigned char c = s[i];
    const bool inRange = i == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
    if (!inRange) return -i;
  }
  return length;
}

// Skips ASCII eight bytes at a time: names are almost always plain ASCII.
std::size_t asciiPrefixLength(const unsigned char* s, std::size_t size) {
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s + i, sizeof word);
    if ((word & 0x8080808080808080ULL) != 0) break;
  }
  while (i < size && s[i] < 0x80) ++i;
  return i;
}

}  // namespace

std::size_t validUtf8PrefixLength(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    i += asciiPrefixLength(s + i, bytes.size() - i);
    if (i == bytes.size()) break;
    const int length = sequenceAt(s + i, bytes.size() - i);
    if (length < 0) break;
    i += static_cast<std::size_t>(length);
  }
  return i;
}

void appendUtf8Lossy(std::string_view bytes, std::string& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t valid = validUtf8PrefixLength(bytes.substr(i));
    out.append(bytes.substr(i, valid));
    i += valid;
    if (i == bytes.size()) break;
    out.append(replacementCharacter);
    i += static_cast<std::size_t>(-sequenceAt(s + i, bytes.size() - i));
  }
}

}  // namespace kelmarind::platform
