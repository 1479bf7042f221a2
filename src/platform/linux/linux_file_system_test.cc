#include "platform/linux/linux_file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/far_end_examiner.h"
#include "platform/linux/read_ahead.h"
#include "platform/linux/thread_sanitizer.h"
#include "tests/support/temp_dir.h"

namespace kelmarind::platform::linux {
namespace {

// Wide directories have their entries' status read on two threads. Every
// file here is named after its length, so a status that lands on the wrong
// entry, or an entry lost or reported twice, shows.
class WideDirectoryTest : public ::testing::Test {
 protected:
  void addDirectory(const std::string& relative) {
    ASSERT_EQ(::mkdir((dir_ / relative).c_str(), 0755), 0) << relative;
  }

  // Files <stem>0 ... <stem>(count - 1), each as long as its number.
  void addFiles(const std::string& stem, int count) {
    for (int i = 0; i < count; ++i) {
      const std::string path = dir_ / stem + std::to_string(i);
      const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      ASSERT_GE(fd, 0) << path;
      ASSERT_EQ(::ftruncate(fd, i), 0);
      ::close(fd);
    }
  }

  struct Seen {
    std::size_t level = 0;
    bool isDirectory = false;
    std::int64_t size = -1;  // -1: the status could not be read
  };

  // Every entry by path; stops after `limit` entries.
  std::map<std::string, Seen> enumerate(std::size_t limit = SIZE_MAX) {
    std::map<std::string, Seen> seen;
    const auto root = fileSystem_.resolve(dir_.path());
    EXPECT_TRUE(root.has_value());
    if (!root) return seen;
    auto enumerator = (*root)->enumerate(dir_.path());
    EXPECT_TRUE(enumerator.has_value());
    if (!enumerator) return seen;
    while (seen.size() < limit && (*enumerator)->next()) {
      const auto properties = (*enumerator)->properties();
      Seen entry{.level = (*enumerator)->level()};
      if (properties) {
        entry.isDirectory = properties->isDirectory.value_or(false);
        entry.size = properties->fileSize.value_or(-2);
      }
      const bool isNew = seen.emplace((*enumerator)->path(), entry).second;
      EXPECT_TRUE(isNew) << "reported twice: " << (*enumerator)->path();
    }
    return seen;
  }

  // The length a file's name promises: the digits after its last letter.
  static std::int64_t promisedSize(const std::string& path) {
    const std::size_t digits = path.find_last_not_of("0123456789") + 1;
    std::int64_t size = -1;
    std::from_chars(path.data() + digits, path.data() + path.size(), size);
    return size;
  }

  // Checks every file's length against its name; returns how many files.
  static int checkFiles(const std::map<std::string, Seen>& seen) {
    int files = 0;
    for (const auto& [path, entry] : seen) {
      if (entry.isDirectory) continue;
      ++files;
      EXPECT_EQ(entry.size, promisedSize(path)) << path;
    }
    return files;
  }

  // Thousands of files: made in memory where the machine has a tmpfs for it,
  // since creating a file on a journalled disk takes the better part of a
  // millisecond.
  testing::TempDir dir_ =
      ::access("/dev/shm", W_OK) == 0 ? testing::TempDir("/dev/shm") : testing::TempDir();
  LinuxFileSystem fileSystem_;
};

TEST_F(WideDirectoryTest, NestedWideDirectoriesReportEveryEntryOnceWithItsOwnStatus) {
  addFiles("f", 3000);
  for (int d = 0; d < 40; ++d) {
    const std::string sub = "d" + std::to_string(d);
    addDirectory(sub);
    addFiles(sub + "/g", 70 + d);
    if (d % 10 == 0) {
      addDirectory(sub + "/inner");
      addFiles(sub + "/inner/h", 300);
    }
  }
  const auto seen = enumerate();
  EXPECT_EQ(seen.size(), 3000u + 40 + (70 * 40 + 39 * 20) + 4 * 301);
  EXPECT_EQ(checkFiles(seen), 3000 + 70 * 40 + 39 * 20 + 4 * 300);
  EXPECT_EQ(seen.at(dir_ / "d30/inner/h299").level, 3u);

  // A walk that stops early leaves nothing running behind it.
  EXPECT_EQ(enumerate(1500).size(), 1500u);
}

// The status of an entry removed after the listing may have been read ahead
// before the removal; either way it belongs to that entry, and an entry still
// there always has its own.
TEST_F(WideDirectoryTest, EntriesRemovedAfterTheListingComeWithoutStatus) {
  addFiles("f", 2000);
  const auto root = fileSystem_.resolve(dir_.path());
  ASSERT_TRUE(root.has_value());
  auto enumerator = (*root)->enumerate(dir_.path());
  ASSERT_TRUE(enumerator.has_value());
  for (int i = 0; i < 2000; i += 2) {
    ASSERT_EQ(::unlink((dir_ / "f" + std::to_string(i)).c_str()), 0);
  }
  std::int64_t present = 0;
  int gone = 0;
  while ((*enumerator)->next()) {
    const std::string path((*enumerator)->path());
    const auto properties = (*enumerator)->properties();
    if (properties) {
      EXPECT_EQ(properties->fileSize, promisedSize(path)) << path;
      present += promisedSize(path) % 2;
    } else {
      ++gone;
      EXPECT_EQ(promisedSize(path) % 2, 0) << path;
      EXPECT_EQ(properties.error().code, ENOENT);
    }
  }
  EXPECT_EQ(present, 1000);
  EXPECT_GT(gone, 500);  // the read-ahead is a few hundred entries at most
}

// Deeper than the descriptors kept open and than the wide listings shared at
// once: each level's remaining directories are read after the walk returns
// from below, some through a reopened descriptor.
TEST_F(WideDirectoryTest, WideLevelsDeeperThanEveryBound) {
  constexpr int treeDepth = 40;
  std::string level = ".";  // relative path of the level being built
  for (int i = 0; i < treeDepth; ++i) {
    addFiles(level + "/f", 100);
    addDirectory(level + "/a");
    addDirectory(level + "/z");
    addFiles(level + "/z/g", 65);
    if (i + 1 < treeDepth) level += "/a";
  }
  const auto seen = enumerate();
  EXPECT_EQ(seen.size(), treeDepth * (100 + 2 + 65u));
  EXPECT_EQ(checkFiles(seen), treeDepth * 165);
  const std::string deepest = dir_.path() + level.substr(1) + "/z/g64";
  ASSERT_TRUE(seen.contains(deepest));
  EXPECT_EQ(seen.at(deepest).level, treeDepth + 1u);
}

// Whether some thread of this process has a descriptor table without `fd`.
bool someThreadLacks(int fd) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::error_code error;
    if (!std::filesystem::exists(task.path() / "fd" / std::to_string(fd), error) && !error) {
      return true;
    }
  }
  return false;
}

// The far-end examiner keeps its descriptors in a table of its own. That
// table must not hold on to what the rest of the process had open when it
// started: a client's socket or a reply's memory file would then stay open
// for as long as the examiner runs, whoever closed it.
TEST(FarEndExaminerTest, HoldsNoDescriptorTheRestOfTheProcessOpened) {
  if (isUnderThreadSanitizer) GTEST_SKIP() << "the examiner shares the table here";
  const testing::TempDir dir;
  for (int d = 0; d < 20; ++d) {
    ASSERT_EQ(::mkdir((dir / "d" + std::to_string(d)).c_str(), 0755), 0);
  }
  // Opened before the root's anchor, so numbered below it.
  const UniqueFd opened(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const UniqueFd anchor(::open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const UniqueFd rootFd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(opened && anchor && rootFd);
  ASSERT_LT(opened.get(), anchor.get());
  struct stat root;
  ASSERT_EQ(::fstat(rootFd.get(), &root), 0);
  const std::unique_ptr<char[]> buffer(new char[listingBufferSize]);
  DirectoryListing listing;
  listDirectory(rootFd.get(), buffer.get(), listing);
  ASSERT_EQ(listing.entryCount - listing.directoryStart, 20u);

  // The examiner starts from the last directory; the walk takes the first,
  // which keeps the examiner waiting there until the walk has listed it.
  for (int attempt = 0; attempt < 10; ++attempt) {
    FarEndExaminer examiner(anchor.get(), root.st_dev);
    SharedDirectory* rootNode = examiner.start(listing, root.st_ino);
    ASSERT_NE(rootNode, nullptr);
    SharedDirectory& first = *FarEndExaminer::child(rootNode, listing, listing.directoryStart);
    const auto entering = examiner.enter(first, root.st_dev, 0);
    if (!entering.isTaken) continue;  // the examiner got there first
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!someThreadLacks(opened.get()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(someThreadLacks(opened.get()));
    examiner.listed(first, nullptr, root.st_dev, 0);
    return;
  }
  GTEST_SKIP() << "the examiner always reached the first directory before the walk";
}

// A root is resolved one component at a time by the helper itself: what it
// reaches, through which links, and which it refuses to follow.
struct ResolutionRow {
  std::string name;
  std::string path;     // relative to the scratch directory unless absolute
  std::string reached;  // relative to the scratch directory; empty when it fails
  int error = 0;
};

void PrintTo(const ResolutionRow& row, std::ostream* out) { *out << row.name; }

class RootResolutionTest : public ::testing::TestWithParam<ResolutionRow> {
 protected:
  void SetUp() override {
    base_ = std::filesystem::canonical(dir_.path());
    ASSERT_EQ(::mkdir((base_ + "/real").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((base_ + "/real/sub").c_str(), 0755), 0);
    ASSERT_EQ(::close(::creat((base_ + "/real/sub/file").c_str(), 0644)), 0);
    const std::string name = base_.substr(base_.rfind('/') + 1);
    for (const auto& [link, target] :
         std::vector<std::pair<std::string, std::string>>{{"abs", base_ + "/real"},
                                                          {"rel", "real/sub"},
                                                          {"up", "../" + name + "/real/./sub/.."},
                                                          {"loop1", "loop2"},
                                                          {"loop2", "loop1"},
                                                          {"toproc", "/proc/self/root" + base_}}) {
      ASSERT_EQ(::symlink(target.c_str(), (base_ + "/" + link).c_str()), 0) << link;
    }
  }

  testing::TempDir dir_;
  std::string base_;
  LinuxFileSystem fileSystem_;
};

TEST_P(RootResolutionTest, ReachesWhatTheLinksLeadToOrRefuses) {
  const ResolutionRow& row = GetParam();
  const std::string path = row.path.starts_with('/') ? row.path : base_ + "/" + row.path;
  const auto root = fileSystem_.resolve(path);
  if (row.error != 0) {
    ASSERT_FALSE(root.has_value()) << (*root)->reachedPath();
    EXPECT_EQ(root.error().code, row.error) << root.error().message();
    return;
  }
  ASSERT_TRUE(root.has_value()) << root.error().message();
  EXPECT_EQ((*root)->reachedPath(), base_ + "/" + row.reached);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RootResolutionTest,
    ::testing::Values(ResolutionRow{"Plain", "real/sub", "real/sub"},
                      ResolutionRow{"AbsoluteLink", "abs/sub/file", "real/sub/file"},
                      ResolutionRow{"RelativeLink", "rel/file", "real/sub/file"},
                      ResolutionRow{"LinkWithDotsAndParents", "up/sub", "real/sub"},
                      ResolutionRow{"FinalLinkIsTheEntryItself", "abs", "abs"},
                      ResolutionRow{"Loop", "loop1/x", "", ELOOP},
                      ResolutionRow{"FileOnTheWay", "real/sub/file/x", "", ENOTDIR},
                      ResolutionRow{"Missing", "real/none/x", "", ENOENT},
                      ResolutionRow{"LinkIntoProcessFileSystem", "toproc/real", "", EXDEV},
                      ResolutionRow{"ProcessRootLink", "/proc/self/root/tmp", "", EXDEV},
                      ResolutionRow{"ProcessWorkingDirectoryLink", "/proc/1/cwd/x", "", EXDEV}),
    [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace kelmarind::platform::linux
