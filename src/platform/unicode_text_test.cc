#include "platform/unicode_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace kelmarind::platform {
namespace {

// The rows of the Unicode standard's worked example (section 3.9, U+FFFD
// substitution of maximal subparts) and the classic overlong/surrogate cases.
TEST(UnicodeTextTest, LossyDecodingReplacesEachMaximalSubpart) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> rows[] = {
      {"plain ascii name.txt", "plain ascii name.txt"},
      {"caf\xC3\xA9 \xF0\x9F\x93\x81", "caf\xC3\xA9 \xF0\x9F\x93\x81"},
      {"a\xFF"
       "b",
       "a" + fffd + "b"},
      {"\xC0\xAF", fffd + fffd},
      {"\xED\xA0\x80", fffd + fffd + fffd},
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
      {"\xE2\x82", fffd},
      {"\xF0\x9F\x93", fffd},
      {"\xE2\x82\x41", fffd + "A"},
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d"},
      {"long ascii run before \xFE", "long ascii run before " + fffd}};
  for (const auto& [bytes, text] : rows) {
    EXPECT_EQ(decodeUtf8Lossy(bytes), text) << bytes;
    EXPECT_TRUE(isValidUtf8(decodeUtf8Lossy(bytes))) << bytes;
  }
}

TEST(UnicodeTextTest, ValidPrefixStopsAtFirstIllFormedByte) {
  EXPECT_EQ(validUtf8PrefixLength("abcdefghij\xC3\xA9\x80xyz"), 12u);
  EXPECT_EQ(validUtf8PrefixLength(std::string_view("a\0b", 3)), 3u);
  EXPECT_TRUE(isValidUtf8(""));
}

}  // namespace
}  // namespace kelmarind::platform
