#include "walk/privileged_walk.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/fake/fake_file_system.h"
#include "walk/identity_set.h"
#include "walk/node_json.h"

namespace kelmarind::walk {
namespace {

class PrivilegedWalkTest : public ::testing::Test {
 protected:
  // The walk's tree as a value, once its own form has been checked to write
  // the same document, since the service writes that form.
  PrivilegedNode walk(std::string_view path = "/r") {
    auto tree = PrivilegedWalk::walkTree(path, fs_);
    EXPECT_TRUE(tree.has_value()) << tree.error().description();
    if (!tree) return {};
    PrivilegedNode value = tree->toValue();
    EXPECT_EQ(encodeDocument(tree->root()).value_or("(failed)"),
              encodeDocument(value).value_or("(failed too)"));
    return value;
  }

  platform::fake::FakeFileSystem fs_;
};

std::vector<std::string> namesOf(const PrivilegedNode& node) {
  std::vector<std::string> out;
  for (const PrivilegedNode& child : node.children) out.emplace_back(child.name);
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
  EXPECT_EQ(root.path, "/r");
  EXPECT_EQ(namesOf(root), (std::vector<std::string>{"z", "d", "a"}));
  EXPECT_EQ(std::tuple(root.allocatedSize, root.folderCount, root.fileCount),
            std::tuple(600, 3, 3));
  const PrivilegedNode& e = root.children[1].children[0];
  EXPECT_EQ(std::tuple(e.name, e.path, e.modificationDate), std::tuple("e", "/r/d/e", 104.0));
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
  // The later links carry 0 and so end up merged.
  EXPECT_EQ(namesOf(root), (std::vector<std::string>{"a", "single", "c", "e", "3 more items"}));
  EXPECT_EQ(std::tuple(root.allocatedSize, root.fileCount), std::tuple(4 * 4096, 7));
}

// A walk meets tens of thousands of linked files and directories: the set
// that remembers them must still know each one after growing many times,
// including identities that share their low or high bits.
TEST(IdentitySetTest, RemembersEveryIdentityAcrossGrowth) {
  IdentitySet set;
  const auto identity = [](std::uint64_t i) { return i % 2 == 0 ? i : i << 40; };
  for (std::uint64_t i = 0; i < 100'000; ++i) EXPECT_TRUE(set.insert(identity(i))) << i;
  for (std::uint64_t i = 0; i < 100'000; ++i) EXPECT_FALSE(set.insert(identity(i))) << i;
  EXPECT_TRUE(set.insert(std::uint64_t{1} << 63));
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
  const PrivilegedNode& d = root.children[0];
  ASSERT_EQ(namesOf(d), (std::vector<std::string>{"orphan", "kept"}));
  // The orphan keeps the path it was reached by, not one made from where it
  // ended up.
  EXPECT_EQ(d.children[0].path, "/r/d/gone/orphan");
  EXPECT_EQ(d.children[1].path, "/r/d/kept");
}

TEST_F(PrivilegedWalkTest, RootFileIsOneLeafAndRootFailuresReportThePathAsSent) {
  fs_.addFile("/f", 8192, 3, 5);
  EXPECT_EQ(walk("/f"), (PrivilegedNode{"f", "/f", false, 8192, 0, 1, 205.0, false, {}}));
  fs_.add({"/nostat", platform::EntryProperties{.isDirectory = true},
           std::unexpected(platform::OsError{EIO, "statx"})});
  for (std::string_view path : {"/srv/old/../none", "/nostat"}) {
    const auto result = PrivilegedWalk::walk(path, fs_);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().description(), "Not readable even as root: " + std::string(path));
  }
}

// The root's own path ends with "/", so its children's paths must not get a
// second one, in either form of the tree.
TEST_F(PrivilegedWalkTest, WalksTheFileSystemRoot) {
  fs_.addDirectory("/");
  fs_.addDirectory("/d");
  fs_.addFile("/d/f", 10);
  fs_.addFile("/g", 20);
  const PrivilegedNode root = walk("/");
  EXPECT_EQ(std::tuple(root.name, root.path), std::tuple("/", "/"));
  ASSERT_EQ(root.children.size(), 2u);
  EXPECT_EQ(root.children[0].path, "/d");
  ASSERT_EQ(root.children[0].children.size(), 1u);
  EXPECT_EQ(root.children[0].children[0].path, "/d/f");
  EXPECT_EQ(root.children[1].path, "/g");
}

// Open directories' entries are made in scratch memory that later siblings
// reuse; the survivors must reach the tree's own memory intact.
TEST_F(PrivilegedWalkTest, SurvivorsKeepTheirTextsInTheTreesMemory) {
  const std::string longStem = "/a-name-longer-than-any-inline-text-";
  std::vector<std::string> directories{"/r"};
  fs_.addDirectory("/r");
  for (int level = 0; level < 4; ++level) {
    const std::string& dir = directories.back();
    for (int i = 0; i < 3; ++i) fs_.addFile(dir + "/tiny" + std::to_string(i), 1);
    fs_.addFile(dir + longStem + "before", 1'000'000);
    directories.push_back(dir + longStem + "dir");
    fs_.addDirectory(directories.back());
  }
  // Listed after each directory's subdirectory has closed, deepest first.
  for (auto dir = directories.rbegin(); dir != directories.rend(); ++dir) {
    fs_.addFile(*dir + longStem + "after", 900'000);
  }
  std::vector<std::string> expected;  // every surviving leaf's path
  for (const std::string& dir : directories) {
    if (dir != directories.back()) expected.push_back(dir + longStem + "before");
    expected.push_back(dir + longStem + "after");
  }
  std::ranges::sort(expected);
  const PrivilegedNode root = walk();
  std::vector<std::string> leaves;
  std::vector<const PrivilegedNode*> pending{&root};
  while (!pending.empty()) {
    const PrivilegedNode* node = pending.back();
    pending.pop_back();
    for (const PrivilegedNode& child : node->children) {
      if (child.isAggregate) continue;
      EXPECT_EQ(child.path, node->path + "/" + child.name);
      if (!child.isDirectory) leaves.emplace_back(child.path);
      pending.push_back(&child);
    }
  }
  std::ranges::sort(leaves);
  EXPECT_EQ(leaves, expected);
}

}  // namespace
}  // namespace kelmarind::walk
