#include "client/display_text.h"

#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <cstdint>

#include "platform/unicode_text.h"

namespace kelmarind::client {
namespace {

struct Decoded {
  char32_t codePoint = 0;
  std::size_t length = 0;  // 0: the byte at the position starts no well-formed character
};

// One character of well-formed UTF-8, or none when the bytes at `at` are
// ill-formed (overlong, surrogate, past U+10FFFF, cut short).
Decoded decodeAt(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {lead, 1};
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  const std::string_view sequence = text.substr(at, length);
  if (sequence.size() != length || platform::validUtf8PrefixLength(sequence) != length) return {};
  char32_t codePoint = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    codePoint = (codePoint << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3F);
  }
  return {codePoint, length};
}

// Characters that are well-formed yet act on a terminal (C1 controls: U+009B
// is a control sequence introducer on 8-bit terminals), break a line, or make
// a name read as something else by reordering what follows.
bool isInvisibleControl(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || c == 0x2028 ||
         c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void appendHex(std::string& out, std::string_view prefix, std::uint32_t value, int digits) {
  static constexpr std::string_view hex = "0123456789abcdef";
  out += prefix;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += hex[(value >> shift) & 0xF];
}

bool isPlainAscii(unsigned char c) { return c >= 0x20 && c < 0x7F && c != '\\'; }

// Column widths come from the C library under a UTF-8 locale, the rule that
// terminals and curses themselves follow, whatever the process's own locale.
int columnsOf(char32_t c) {
  static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  if (c < 0x80 || utf8 == locale_t{}) return 1;
  const locale_t previous = ::uselocale(utf8);
  const int width = ::wcwidth(static_cast<wchar_t>(c));
  ::uselocale(previous);
  return width < 0 ? 1 : width;
}

}  // namespace

void appendDisplayEscaped(std::string_view text, std::string& out) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t plain = at;
    while (plain < text.size() && isPlainAscii(static_cast<unsigned char>(text[plain]))) ++plain;
    out.append(text, at, plain - at);
    at = plain;
    if (at == text.size()) break;

    const auto byte = static_cast<unsigned char>(text[at]);
    const Decoded decoded = decodeAt(text, at);
    if (decoded.length == 0) {
      appendHex(out, "\\x", byte, 2);
      ++at;
      continue;
    }
    switch (decoded.codePoint) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (decoded.codePoint < 0x20 || decoded.codePoint == 0x7F) {
          appendHex(out, "\\x", byte, 2);
        } else if (isInvisibleControl(decoded.codePoint)) {
          appendHex(out, "\\u", decoded.codePoint, 4);
        } else {
          out.append(text, at, decoded.length);
        }
    }
    at += decoded.length;
  }
}

int displayWidth(std::string_view escaped) {
  int columns = 0;
  for (std::size_t at = 0; at < escaped.size();) {
    const Decoded decoded = decodeAt(escaped, at);
    columns += decoded.length == 0 ? 1 : columnsOf(decoded.codePoint);
    at += decoded.length == 0 ? 1 : decoded.length;
  }
  return columns;
}

std::size_t prefixFittingColumns(std::string_view escaped, int columns) {
  std::size_t at = 0;
  while (at < escaped.size()) {
    const Decoded decoded = decodeAt(escaped, at);
    const std::size_t length = decoded.length == 0 ? 1 : decoded.length;
    const int width = decoded.length == 0 ? 1 : columnsOf(decoded.codePoint);
    if (width > columns) break;
    columns -= width;
    at += length;
  }
  // A zero-width mark belongs to the character before it: keep them together.
  while (at < escaped.size()) {
    const Decoded decoded = decodeAt(escaped, at);
    if (decoded.length == 0 || columnsOf(decoded.codePoint) != 0) break;
    at += decoded.length;
  }
  return at;
}

std::string fitToColumns(std::string_view escaped, int columns) {
  if (columns <= 0) return {};
  if (displayWidth(escaped) <= columns) return std::string(escaped);
  std::string out(escaped.substr(0, prefixFittingColumns(escaped, columns - 1)));
  out += "\u2026";
  return out;
}

std::string fitTailToColumns(std::string_view escaped, int columns) {
  if (columns <= 0) return {};
  const int width = displayWidth(escaped);
  if (width <= columns) return std::string(escaped);
  // Skip the characters that do not fit, then one more column for the mark.
  const std::size_t cut = prefixFittingColumns(escaped, width - columns + 1);
  std::size_t start = cut;
  if (displayWidth(escaped.substr(start)) > columns - 1) {
    start += std::max<std::size_t>(1, decodeAt(escaped, start).length);
  }
  return "\u2026" + std::string(escaped.substr(start));
}

}  // namespace kelmarind::client
