#include "platform/file_location.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelmarind::platform {
namespace {

struct StandardizeRow {
  std::string path;
  std::string standard;
};

class FileLocationStandardizeTest : public testing::TestWithParam<StandardizeRow> {};

TEST_P(FileLocationStandardizeTest, ProducesStandardForm) {
  EXPECT_EQ(FileLocation(GetParam().path).standardized().path(), GetParam().standard);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FileLocationStandardizeTest,
    testing::Values(StandardizeRow{"/", "/"}, StandardizeRow{"//", "/"},
                    StandardizeRow{"/a/b/", "/a/b"},
                    StandardizeRow{"//Users//u/./Documents", "/Users/u/Documents"},
                    StandardizeRow{"/u/Music/../Desktop", "/u/Desktop"},
                    StandardizeRow{"/u/Desktop/..", "/u"}, StandardizeRow{"/..", "/"},
                    StandardizeRow{"/../../a/..", "/"}, StandardizeRow{"/a/../../b", "/b"},
                    StandardizeRow{"/a/...", "/a/..."}, StandardizeRow{"a/./b", "a/b"},
                    StandardizeRow{"../a/../..", "../.."}, StandardizeRow{"", ""}));

TEST(FileLocationTest, ComponentsSkipSeparatorsAndKeepDots) {
  EXPECT_EQ(FileLocation("/Users/u/Documents/").components(),
            (std::vector<std::string_view>{"Users", "u", "Documents"}));
  EXPECT_TRUE(FileLocation("/").components().empty());
  EXPECT_EQ(FileLocation("//a/./b").components(), (std::vector<std::string_view>{"a", ".", "b"}));
}

TEST(FileLocationTest, LastComponentIgnoresTrailingSeparator) {
  EXPECT_EQ(FileLocation("/a/Home.tvlibrary/").lastComponent(), "Home.tvlibrary");
  EXPECT_EQ(FileLocation("/").lastComponent(), "/");
  EXPECT_EQ(FileLocation("///").lastComponent(), "/");
  EXPECT_EQ(FileLocation("name").lastComponent(), "name");
  EXPECT_EQ(FileLocation("").lastComponent(), "");
}

TEST(FileLocationTest, ExtensionIsTextAfterLastDotOfLastComponent) {
  EXPECT_EQ(FileLocation("/v/Old.MusicLibrary").extension(), "MusicLibrary");
  EXPECT_EQ(FileLocation("/v/a.tar.gz/").extension(), "gz");
  EXPECT_EQ(FileLocation("/v.d/file").extension(), "");
  EXPECT_EQ(FileLocation("/v/.photoslibrary").extension(), "");
  EXPECT_EQ(FileLocation("/v/name.").extension(), "");
  EXPECT_EQ(FileLocation("/v/..").extension(), "");
}

}  // namespace
}  // namespace kelmarind::platform
