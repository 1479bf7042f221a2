#include "walk/privileged_walk.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_file_system.h"

namespace kelmarind::walk {
namespace {

using platform::FakeFileSystem;

class PrivilegedWalkTest : public ::testing::Test {
 protected:
  PrivilegedNode walk(std::string_view path = "/r") {
    auto node = PrivilegedWalk::walk(path, fs_);
    EXPECT_TRUE(node.has_value()) << node.error().description();
    return node.value_or(PrivilegedNode{});
  }

  FakeFileSystem fs_;
};

std::vector<std::string> namesOf(const PrivilegedNode& node) {
  std::vector<std::string> out;
  for (const PrivilegedNode& child : node.children) out.push_back(child.name);
  return out;
}

TEST_F(PrivilegedWalkTest, BuildsTheTreeInEnumerationOrderWithSums) {
  fs_.addDirectory("/r");
  fs_.addFile("/r/z", 100);
  fs_.addDirectory("/r/d");
  fs_.addDirectory("/r/d/e");
  fs_.addFile("/r/d/e/f", 300);
  fs_.addFile("/r/a", 200);
  const PrivilegedNode root = walk("/x/../r/./");
  EXPECT_EQ(root.name, "r");
  EXPECT_EQ(root.path, "/r");
  EXPECT_EQ(namesOf(root), (std::vector<std::string>{"z", "d", "a"}));
  EXPECT_EQ(root.allocatedSize, 600);
  EXPECT_EQ(root.folderCount, 3);
  EXPECT_EQ(root.fileCount, 3);
  EXPECT_EQ(root.modificationDate, 101.0);
  const PrivilegedNode& e = root.children[1].children[0];
  EXPECT_EQ(e.path, "/r/d/e");
  EXPECT_EQ(e.modificationDate, 104.0);
  EXPECT_EQ(e.children[0].path, "/r/d/e/f");
}

TEST_F(PrivilegedWalkTest, CountsAHardLinkedFileOnceByIdentifierOrStatus) {
  const auto withoutIdentifier = [&](std::string path, std::uint64_t statusLinkCount) {
    fs_.add({std::move(path),
             platform::EntryProperties{
                 .isDirectory = false, .totalFileAllocatedSize = 4096, .linkCount = 2},
             platform::FileStatus{.device = 1, .linkCount = statusLinkCount, .inode = 88}});
  };
  fs_.addDirectory("/r");
  fs_.addFile("/r/a", 4096, 2, 77);
  fs_.addFile("/r/b", 4096, 2, 77);
  fs_.addFile("/r/single", 4096, 1, 77);  // link count 1: never enters the set
  withoutIdentifier("/r/c", 2);           // the status's inode stands in
  withoutIdentifier("/r/d", 2);
  withoutIdentifier("/r/e", 1);  // the status sees one link: no identifier
  fs_.addFile("/r/g", 4096, 2, 88);
  const PrivilegedNode root = walk();
  // The later links carry 0 and so are merged into the aggregate.
  EXPECT_EQ(namesOf(root), (std::vector<std::string>{"a", "single", "c", "e", "3 more items"}));
  EXPECT_EQ(root.children.back().allocatedSize, 0);
  EXPECT_EQ(root.allocatedSize, 4 * 4096);
  EXPECT_EQ(root.fileCount, 7);
}

TEST_F(PrivilegedWalkTest, DirectoryOnAnotherDeviceIsAnEmptyNodeNotEntered) {
  fs_.addDirectory("/r");
  fs_.addDirectory("/r/mnt", 2);
  fs_.addFile("/r/mnt/hidden", 1'000'000);
  fs_.addFile("/r/after", 10);
  const PrivilegedNode root = walk();
  EXPECT_EQ(fs_.skipped(), (std::vector<std::string>{"/r/mnt"}));
  ASSERT_EQ(namesOf(root), (std::vector<std::string>{"mnt", "after"}));
  const PrivilegedNode& mnt = root.children[0];
  EXPECT_TRUE(mnt.isDirectory);
  EXPECT_EQ(mnt.allocatedSize, 0);
  EXPECT_EQ(mnt.folderCount, 1);
  EXPECT_EQ(mnt.fileCount, 0);
  EXPECT_EQ(mnt.modificationDate, 102.0);
  EXPECT_EQ(root.allocatedSize, 10);
}

TEST_F(PrivilegedWalkTest, EntriesThatVanishAreDroppedAndTheirContentsMoveUp) {
  fs_.addDirectory("/r");
  fs_.addDirectory("/r/d");
  fs_.addVanished("/r/d/gone");
  fs_.addFile("/r/d/gone/orphan", 5000);
  fs_.addVanished("/r/d/file");
  fs_.addFile("/r/d/kept", 5000);
  const PrivilegedNode root = walk();
  EXPECT_TRUE(fs_.skipped().empty());
  ASSERT_EQ(root.children.size(), 1u);
  EXPECT_EQ(namesOf(root.children[0]), (std::vector<std::string>{"orphan", "kept"}));
  EXPECT_EQ(root.fileCount, 2);
}

TEST_F(PrivilegedWalkTest, RootThatIsNotADirectoryIsOneLeafCountedInFull) {
  fs_.addFile("/r", 8192, 3, 5);
  const PrivilegedNode root = walk();
  EXPECT_EQ(root, (PrivilegedNode{"r", "/r", false, 8192, 0, 1, 205.0, false, {}}));
}

TEST_F(PrivilegedWalkTest, RootFailuresReportThePathAsSent) {
  fs_.addDirectory("/r");
  fs_.add({"/nostat", fs_.properties("/r").value(), std::unexpected(platform::OsError{EIO, "x"})});
  for (std::string_view path : {"/srv/old/../none", "/nostat"}) {
    const auto result = PrivilegedWalk::walk(path, fs_);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().description(), "Not readable even as root: " + std::string(path));
  }
}

}  // namespace
}  // namespace kelmarind::walk
