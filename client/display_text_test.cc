#include "client/display_text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kelmarind::client {
namespace {

using namespace std::string_view_literals;

struct EscapeRow {
  std::string_view text;
  std::string_view shown;
};

TEST(DisplayTextTest, EscapesWhatActsOnATerminalAndKeepsPrintableText) {
  const EscapeRow rows[] = {
      {"plain name.txt", "plain name.txt"},
      {"\x1b[31mred", "\\x1b[31mred"},
      {"bell\a and nul\0x"sv, "bell\\x07 and nul\\x00x"},
      {"tab\tline\nreturn\r", "tab\\tline\\nreturn\\r"},
      {"del\x7f", "del\\x7f"},
      {"back\\slash", "back\\\\slash"},
      // Not UTF-8: a stray byte, an overlong '/', a surrogate, a cut-off
      // sequence, a lead byte past U+10FFFF. Each byte shown on its own.
      {"\xff\xfe", "\\xff\\xfe"},
      {"\xc0\xaf", "\\xc0\\xaf"},
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"caf\xc3", "caf\\xc3"},
      {"\xf5\x80\x80\x80", "\\xf5\\x80\\x80\\x80"},
      // Well-formed characters that act or mislead: an 8-bit control
      // sequence introducer, a right-to-left override, a line separator.
      {"\xc2\x9b"
       "31m",
       "\\u009b31m"},
      {"invoice\xe2\x80\xaetxt.exe", "invoice\\u202etxt.exe"},
      {"a\xe2\x80\xa8"
       "b",
       "a\\u2028b"},
      {"Grüße 日本 ✓ 🙂 e\xcc\x81", "Grüße 日本 ✓ 🙂 e\xcc\x81"},
  };
  for (const auto& [text, shown] : rows) {
    EXPECT_EQ(displayEscaped(text), shown) << shown;
  }
}

TEST(DisplayTextTest, FitsToColumnsWithoutSplittingCharacters) {
  EXPECT_EQ(displayWidth("日本語 e\xcc\x81"), 8);
  EXPECT_EQ(fitToColumns("abcdef", 6), "abcdef");
  EXPECT_EQ(fitToColumns("abcdefg", 6), "abcde…");
  // "日本" takes 4 columns: with the mark it would need 5.
  EXPECT_EQ(fitToColumns("日本語", 4), "日…");
  EXPECT_EQ(fitToColumns("e\xcc\x81"
                         "abc",
                         2),
            "e\xcc\x81…");
  EXPECT_EQ(fitToColumns("abc", 0), "");
  EXPECT_EQ(fitTailToColumns("/usr/share/doc", 8), "…are/doc");
  EXPECT_EQ(fitTailToColumns("/日本/語", 4), "…/語");
  EXPECT_EQ(fitTailToColumns("/x", 8), "/x");
}

}  // namespace
}  // namespace kelmarind::client
