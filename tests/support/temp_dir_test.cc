#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(TempDirTest, RemovesChainDeeperThanPathMax) {
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    int fd = ::open(path.c_str(), O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < 600 && fd >= 0; ++i) {
      ASSERT_EQ(::mkdirat(fd, "directory", 0755), 0);
      const int next = ::openat(fd, "directory", O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      fd = next;
    }
    ::close(::openat(fd, "file", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    ::close(fd);
  }
  struct stat st {};
  EXPECT_NE(::stat(path.c_str(), &st), 0);
}

}  // namespace
}  // namespace kelmarind::testing
