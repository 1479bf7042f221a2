#include "platform/unicode_text.h"

#include <gtest/gtest.h>

#include <string>

namespace kelmarind::platform {
namespace {

struct LossyRow {
  std::string bytes;
  std::string text;
};

class UnicodeTextLossyTest : public testing::TestWithParam<LossyRow> {};

TEST_P(UnicodeTextLossyTest, ReplacesEachMaximalSubpart) {
  EXPECT_EQ(decodeUtf8Lossy(GetParam().bytes), GetParam().text);
  EXPECT_TRUE(isValidUtf8(decodeUtf8Lossy(GetParam().bytes)));
}

// The rows of the Unicode standard's worked example (section 3.9, U+FFFD
// substitution of maximal subparts) and the classic overlong/surrogate cases.
const std::string kFffd = "\xEF\xBF\xBD";
INSTANTIATE_TEST_SUITE_P(
    Rows, UnicodeTextLossyTest,
    testing::Values(LossyRow{"plain ascii name.txt", "plain ascii name.txt"},
                    LossyRow{"caf\xC3\xA9 \xF0\x9F\x93\x81", "caf\xC3\xA9 \xF0\x9F\x93\x81"},
                    LossyRow{"a\xFF"
                             "b",
                             "a" + kFffd + "b"},
                    LossyRow{"\xC0\xAF", kFffd + kFffd},
                    LossyRow{"\xED\xA0\x80", kFffd + kFffd + kFffd},
                    LossyRow{"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
                    LossyRow{"\xE2\x82", kFffd}, LossyRow{"\xF0\x9F\x93", kFffd},
                    LossyRow{"\xE2\x82\x41", kFffd + "A"},
                    LossyRow{"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
                             "a" + kFffd + kFffd + kFffd + "b" + kFffd + "c" + kFffd + kFffd + "d"},
                    LossyRow{"long ascii run before \xFE", "long ascii run before " + kFffd}));

TEST(UnicodeTextTest, ValidPrefixStopsAtFirstIllFormedByte) {
  EXPECT_EQ(validUtf8PrefixLength("abcdefghij\xC3\xA9\x80xyz"), 12u);
  EXPECT_EQ(validUtf8PrefixLength(std::string_view("a\0b", 3)), 3u);
  EXPECT_TRUE(isValidUtf8(""));
}

}  // namespace
}  // namespace kelmarind::platform
