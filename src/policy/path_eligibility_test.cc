#include "policy/path_eligibility.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelmarind::policy {
namespace {

using std::string_literals::operator""s;

const std::vector<std::string> user1Home{"/Users/user1"};

struct EligibilityRow {
  std::string path;
  bool isEligible;
  std::vector<std::string> homes = user1Home;
};

bool check(const std::string& path, const std::vector<std::string>& homes) {
  const std::vector<platform::FileLocation> locations(homes.begin(), homes.end());
  return isEligiblePath(path, locations);
}

void PrintTo(const EligibilityRow& row, std::ostream* out) {
  *out << '"' << row.path << "\" with " << row.homes.size() << " home(s)";
}

class IsEligiblePathTest : public testing::TestWithParam<EligibilityRow> {};

TEST_P(IsEligiblePathTest, AnswersAsTheRulesSay) {
  EXPECT_EQ(check(GetParam().path, GetParam().homes), GetParam().isEligible);
}

// The documented table, row by row.
INSTANTIATE_TEST_SUITE_P(
    DocumentedRows, IsEligiblePathTest,
    testing::Values(
        EligibilityRow{"", false}, EligibilityRow{"Users/user1/Desktop", false},
        EligibilityRow{"~/Documents", false}, EligibilityRow{"/", true},
        EligibilityRow{"/Users", true}, EligibilityRow{"/Users/user1", true},
        EligibilityRow{"/Users/user1/Desktop", false},
        EligibilityRow{"/Users/user1/Documents/", false},
        EligibilityRow{"/Users/user1/./Downloads", false},
        EligibilityRow{"//Users//user1/Documents", false},
        EligibilityRow{"/Users/user1/Music/../Desktop", false},
        EligibilityRow{"/Users/user1/Desktop/Projects", true},
        EligibilityRow{"/Users/user1/Desktop/..", true},
        EligibilityRow{"/Users/user1/desktop", true}, EligibilityRow{"/Users/user1/Library", true},
        EligibilityRow{"/Users/user1/Library/Containers", false},
        EligibilityRow{"/Users/user1/Library/Containers/AppOne", false},
        EligibilityRow{"/Users/user1/Library/Containers/AppOne/Data", true},
        EligibilityRow{"/Users/user1/Library/Group Containers", false},
        EligibilityRow{"/Users/user1/Library/Group Containers/SharedOne", false},
        EligibilityRow{"/Users/user1/Library/Group Containers/SharedOne/Library", true},
        EligibilityRow{"/Users/user1/Pictures/Family.photoslibrary", false},
        EligibilityRow{"/Users/user1/Pictures/Family.photoslibrary/originals", true},
        EligibilityRow{"/Users/user1/Movies/Home.tvlibrary/", false},
        EligibilityRow{"/Volumes/Archive/Old.MusicLibrary", false},
        EligibilityRow{"/Users/user2/Documents", true},
        EligibilityRow{"/home/a/.var/app", false, {"/home/a"}},
        EligibilityRow{"/home/a/.var/app/org.example.Editor", false, {"/home/a"}},
        EligibilityRow{"/home/a/.var/app/org.example.Editor/data", true, {"/home/a"}},
        EligibilityRow{"/home/a/.var", true, {"/home/a"}},
        EligibilityRow{"/home/a/snap", false, {"/home/a"}},
        EligibilityRow{"/home/a/snap/editor", false, {"/home/a"}},
        EligibilityRow{"/home/a/snap/editor/common", true, {"/home/a"}},
        EligibilityRow{"/home/a/Downloads", false, {"/home/a"}},
        EligibilityRow{"/Users/user2/Documents", false, {"/Users/user1", "/Users/user2"}},
        EligibilityRow{"/var/root/Desktop", true}, EligibilityRow{"/Users/user1/Desktop", true, {}},
        EligibilityRow{"/Volumes/Archive/Old.MusicLibrary", true, {}},
        EligibilityRow{"Users/user1", false, {}}));

// Boundaries the table leaves implicit: standard forms on both sides, whole
// component lists, the package test's form and letters, NUL bytes.
INSTANTIATE_TEST_SUITE_P(
    Boundaries, IsEligiblePathTest,
    testing::Values(EligibilityRow{"/Users/user1/Documents", false, {"//Users/./user1/x/../"}},
                    EligibilityRow{"/Users/Desktop", false, {"/Users/"}},
                    EligibilityRow{"/../Users/../Users/user1/Desktop", false},
                    EligibilityRow{"/Users/Desktop", true},
                    EligibilityRow{"/Users/user1/Library/Containers/AppOne/..", false},
                    EligibilityRow{"/Users/user1/Library/Containers/AppOne/../..", true},
                    EligibilityRow{"/Users/user1/Library/Containers/a/b/..", false},
                    EligibilityRow{"/Users/user1/Pictures/Family.photoslibrary/.", false},
                    EligibilityRow{"/Users/user1/Pictures/Family.photoslibrary/x/..", false},
                    EligibilityRow{"/v/.photoslibrary", true},
                    EligibilityRow{"/v/..tvlibrary", false},
                    EligibilityRow{"/v/Old.tvlibrarytvlibrarytvlibrary", true},
                    // Look-alikes that full Unicode lower-casing keeps apart: U+0130,
                    // U+017F (folds to "s" but lower-cases to itself), fullwidth letters.
                    EligibilityRow{"/v/a.PHOTOSL\xC4\xB0"
                                   "BRARY",
                                   true},
                    EligibilityRow{"/v/a.mu\xC5\xBF"
                                   "iclibrary",
                                   true},
                    EligibilityRow{"/v/a.\xEF\xBC\xB4\xEF\xBC\xB6library", true},
                    EligibilityRow{"/Users/user1/Desktop\0/x"s, false},
                    EligibilityRow{"/tmp/a\0b"s, false, {}}));

TEST(IsEligiblePathLongTest, StandardizesAMegabytePath) {
  std::string path = "/Users/user1/";
  while (path.size() < (1u << 20)) path += "deep/../";
  EXPECT_FALSE(check(path + "Desktop", user1Home));
  EXPECT_TRUE(check(path + "Desktop/x", user1Home));
  EXPECT_TRUE(check(path + std::string(1 << 20, 'a') + ".tvlibrary/..", user1Home));
}

}  // namespace
}  // namespace kelmarind::policy
