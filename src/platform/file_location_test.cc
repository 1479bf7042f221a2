#include "platform/file_location.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kelmarind::platform {
namespace {

TEST(FileLocationTest, StandardizesToOneForm) {
  const std::pair<std::string, std::string> rows[] = {
      {"/", "/"},
      {"//", "/"},
      {"/a/b/", "/a/b"},
      {"//Users//u/./Documents", "/Users/u/Documents"},
      {"/u/Music/../Desktop", "/u/Desktop"},
      {"/u/Desktop/..", "/u"},
      {"/..", "/"},
      {"/../../a/..", "/"},
      {"/a/../../b", "/b"},
      {"/a/...", "/a/..."},
      {"a/./b", "a/b"},
      {"../a/../..", "../.."},
      {"", ""},
  };
  for (const auto& [path, standard] : rows) {
    EXPECT_EQ(FileLocation(path).standardized().path(), standard) << path;
  }
}

TEST(FileLocationTest, ComponentsSkipSeparatorsAndKeepDots) {
  EXPECT_EQ(FileLocation("/Users/u/Documents/").components(),
            (std::vector<std::string_view>{"Users", "u", "Documents"}));
  EXPECT_TRUE(FileLocation("/").components().empty());
  EXPECT_EQ(FileLocation("//a/./b").components(), (std::vector<std::string_view>{"a", ".", "b"}));
}

// The last component ignores a trailing separator; the extension is the text
// after its last dot, none for a leading dot or a trailing one.
TEST(FileLocationTest, LastComponentAndItsExtension) {
  const struct {
    std::string path;
    std::string lastComponent;
    std::string extension;
  } rows[] = {
      {"/a/Home.tvlibrary/", "Home.tvlibrary", "tvlibrary"},
      {"/", "/", ""},
      {"///", "/", ""},
      {"name", "name", ""},
      {"", "", ""},
      {"/v/a.tar.gz/", "a.tar.gz", "gz"},
      {"/v.d/file", "file", ""},
      {"/v/.photoslibrary", ".photoslibrary", ""},
      {"/v/name.", "name.", ""},
      {"/v/..", "..", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(FileLocation(row.path).lastComponent(), row.lastComponent) << row.path;
    EXPECT_EQ(FileLocation(row.path).extension(), row.extension) << row.path;
  }
}

}  // namespace
}  // namespace kelmarind::platform
