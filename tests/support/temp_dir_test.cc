#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

namespace kelmarind::testing {
namespace {

TEST(TempDirTest, RemovesTreeWithUnreadableDirectory) {
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    ASSERT_EQ(::mkdir((dir / "locked").c_str(), 0700), 0);
    std::ofstream(dir / "locked/file") << "x";
    ASSERT_EQ(::chmod((dir / "locked").c_str(), 0), 0);
  }
  struct stat st {};
  EXPECT_NE(::stat(path.c_str(), &st), 0);
}

}  // namespace
}  // namespace kelmarind::testing
