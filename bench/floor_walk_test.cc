#include "bench/floor_walk.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>

#include "bench/tree_generator.h"
#include "tests/support/temp_dir.h"

namespace kelmarind::bench {
namespace {

using testing::TempDir;

// Small, but with chains deeper than the tightest descriptor budgets below.
constexpr TreeShape smallShape{
    .wideDirectoryCount = 2,
    .wideFileCount = 40,
    .chainCount = 3,
    .chainDepth = 30,
    .linkedFileCount = 20,
    .linksPerFile = 3,
    .bushTopCount = 2,
    .bushMiddleCount = 3,
    .bushFileCount = 10,
};

class FloorWalkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(generateTree(root(), smallShape).has_value()); }
  std::string root() const { return dir_ / "tree"; }
  static FloorTotals walk(const std::string& path, std::size_t budget = 64) {
    auto totals = floorWalk(path, {.maxOpenDirectories = budget});
    EXPECT_TRUE(totals.has_value());
    return totals.value_or(FloorTotals{});
  }

 private:
  TempDir dir_;
};

TEST_F(FloorWalkTest, CountsEveryEntryWithinAnyDescriptorBudget) {
  const FloorTotals wide = walk(root());
  EXPECT_EQ((TreeCounts{wide.folderCount, wide.fileCount}), countsOf(smallShape));
  EXPECT_EQ(wide.skippedCount, 0);
  EXPECT_GT(wide.allocatedSize, 0);
  for (std::size_t budget : {1, 2, 7}) {
    SCOPED_TRACE(budget);
    EXPECT_EQ(walk(root(), budget), wide);
  }
}

TEST_F(FloorWalkTest, CountsHardLinkedStorageOnce) {
  const FloorTotals originals = walk(root() + "/links/l0");
  const FloorTotals all = walk(root() + "/links");
  EXPECT_EQ(all.fileCount, originals.fileCount * smallShape.linksPerFile);
  EXPECT_EQ(all.allocatedSize, originals.allocatedSize);
  EXPECT_GT(originals.allocatedSize, 0);
}

TEST_F(FloorWalkTest, AFileRootIsOneFileAndAMissingRootFails) {
  const FloorTotals file = walk(root() + "/links/l0/f1");
  EXPECT_EQ(file.fileCount, 1);
  EXPECT_EQ(file.folderCount, 0);
  EXPECT_GT(file.allocatedSize, 0);
  const auto missing = floorWalk(root() + "/none");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().code, ENOENT);
}

TEST_F(FloorWalkTest, ShowsAMountedVolumeAsAFolderWithoutEnteringIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  const std::string mountPoint = root() + "/wide/w0";
  ASSERT_EQ(::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m"), 0) << errno;
  std::ofstream(mountPoint + "/hidden") << "on another device";
  const FloorTotals totals = walk(root());
  ::umount2(mountPoint.c_str(), MNT_DETACH);
  EXPECT_EQ(totals.folderCount, countsOf(smallShape).folderCount);
  EXPECT_EQ(totals.fileCount, countsOf(smallShape).fileCount - smallShape.wideFileCount);
}

// The floor is the yardstick the walk's totals are checked against, so it
// must count by the walk's rules. Each row builds `base`/r and answers the
// totals it expects, reading allocated sizes from lstat so the rows hold on
// any file system.
struct RuleRow {
  const char* label;
  std::function<FloorTotals(const std::string& base)> build;
};

std::int64_t allocated(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return static_cast<std::int64_t>(st.st_blocks) * 512;
}

void writeFile(const std::string& path, std::size_t bytes) {
  std::ofstream(path) << std::string(bytes, 'k');
}

class FloorRuleTest : public ::testing::TestWithParam<RuleRow> {};

TEST_P(FloorRuleTest, CountsAsTheWalkDoes) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "r").c_str(), 0755), 0);
  const FloorTotals expected = GetParam().build(dir.path());
  const auto totals = floorWalk(dir / "r");
  ASSERT_TRUE(totals.has_value());
  EXPECT_EQ(*totals, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, FloorRuleTest,
    ::testing::Values(RuleRow{"emptyDirectory",
                              [](const std::string&) { return FloorTotals{1, 0, 0, 0}; }},
                      RuleRow{"symbolicLinkToDirectoryIsAFileNotEntered",
                              [](const std::string& base) {
                                ::mkdir((base + "/r/sub").c_str(), 0755);
                                writeFile(base + "/r/sub/x", 9000);
                                ::symlink("sub", (base + "/r/link").c_str());
                                return FloorTotals{
                                    2, 2,
                                    allocated(base + "/r/sub/x") + allocated(base + "/r/link")};
                              }},
                      RuleRow{"linkWhoseTwinIsOutsideCountsInFull",
                              [](const std::string& base) {
                                writeFile(base + "/outside", 9000);
                                ::link((base + "/outside").c_str(), (base + "/r/inside").c_str());
                                return FloorTotals{1, 1, allocated(base + "/outside")};
                              }},
                      RuleRow{"twoLinksInsideCountOnceAsTwoFiles",
                              [](const std::string& base) {
                                writeFile(base + "/r/a", 9000);
                                ::mkdir((base + "/r/d").c_str(), 0755);
                                ::link((base + "/r/a").c_str(), (base + "/r/d/b").c_str());
                                return FloorTotals{2, 2, allocated(base + "/r/a")};
                              }},
                      RuleRow{"sparseFileAndFifoAreFilesOfTheirOwnStorage",
                              [](const std::string& base) {
                                writeFile(base + "/r/sparse", 0);
                                ::truncate((base + "/r/sparse").c_str(), 1 << 20);
                                ::mkfifo((base + "/r/fifo").c_str(), 0600);
                                return FloorTotals{1, 2, allocated(base + "/r/sparse")};
                              }}),
    [](const ::testing::TestParamInfo<RuleRow>& row) { return std::string(row.param.label); });

TEST(TreeGeneratorTest, LeavesACompleteTreeAloneAndRefusesAnyOtherDirectory) {
  TempDir dir;
  EXPECT_EQ(generateTree(dir / "t", smallShape), GenerateOutcome::created);
  EXPECT_EQ(generateTree(dir / "t", smallShape), GenerateOutcome::alreadyPresent);
  TreeShape other = smallShape;
  other.chainDepth += 1;
  const auto different = generateTree(dir / "t", other);
  ASSERT_FALSE(different.has_value());
  EXPECT_EQ(different.error().code, EEXIST);
  ASSERT_EQ(::mkdir((dir / "partial").c_str(), 0755), 0);
  EXPECT_FALSE(generateTree(dir / "partial", smallShape).has_value());
}

TEST(TreeGeneratorTest, MakesTheSameTreeEveryTime) {
  TempDir dir;
  ASSERT_TRUE(generateTree(dir / "a", smallShape).has_value());
  ASSERT_TRUE(generateTree(dir / "b", smallShape).has_value());
  EXPECT_EQ(floorWalk(dir / "a"), floorWalk(dir / "b"));
  for (const char* file : {"wide/w1/f7", "deep/c2/d/d/f", "bush/t1/m2/f9", "links/l2/f5"}) {
    struct stat a{};
    struct stat b{};
    ASSERT_EQ(::stat((dir / "a/" + std::string(file)).c_str(), &a), 0) << file;
    ASSERT_EQ(::stat((dir / "b/" + std::string(file)).c_str(), &b), 0) << file;
    EXPECT_EQ(a.st_size, b.st_size) << file;
  }
}

}  // namespace
}  // namespace kelmarind::bench
