// Names as people see them: every byte or character that could act on a
// terminal or hide what a name really is, written as a visible escape.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelmarind::client {

// Appends `text` to `out` so that it can go to a terminal, a screen cell or a
// page as it is. Printable UTF-8 is copied unchanged; these become escapes:
//   backslash                          \\   (so every escape reads one way)
//   tab, line feed, carriage return    \t \n \r
//   other C0 controls and DEL          \xHH
//   a byte that is not well-formed UTF-8, one at a time   \xHH
//   C1 controls, line and paragraph separators, and the bidirectional
//   formatting characters that reorder what follows them   \uHHHH
// The result is well-formed UTF-8 holding no control character. Pure.
void appendDisplayEscaped(std::string_view text, std::string& out);

[[nodiscard]] inline std::string displayEscaped(std::string_view text) {
  std::string out;
  appendDisplayEscaped(text, out);
  return out;
}

// The terminal columns that escaped text takes: wide East Asian characters and
// emoji count two, combining marks and zero-width characters none, everything
// else one. Expects appendDisplayEscaped's output.
[[nodiscard]] int displayWidth(std::string_view escaped);

// The longest prefix of escaped text that takes at most `columns` columns;
// never splits a character.
[[nodiscard]] std::size_t prefixFittingColumns(std::string_view escaped, int columns);

// Escaped text cut to `columns` columns, ending in "…" when anything was cut.
[[nodiscard]] std::string fitToColumns(std::string_view escaped, int columns);

// The same, keeping the end of the text and starting with "…": for paths,
// whose last components say most.
[[nodiscard]] std::string fitTailToColumns(std::string_view escaped, int columns);

}  // namespace kelmarind::client
