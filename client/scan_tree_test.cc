#include "client/scan_tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "client/scan_tree_testing.h"

namespace kelmarind::client {
namespace {

using testing::aggregateNode;
using testing::directoryNode;
using testing::fileNode;

// The node's fields, in preorder, as the reader should have them.
void expectSameTree(const walk::PrivilegedNode& node, const ScanTree& tree, std::uint32_t& index) {
  ASSERT_LT(index, tree.size());
  const ScanEntry& entry = tree[index];
  EXPECT_EQ(entry.name, node.name);
  EXPECT_EQ(entry.isDirectory, node.isDirectory);
  EXPECT_EQ(entry.isAggregate, node.isAggregate);
  EXPECT_EQ(entry.allocatedSize, node.allocatedSize);
  EXPECT_EQ(entry.folderCount, node.folderCount);
  EXPECT_EQ(entry.fileCount, node.fileCount);
  EXPECT_EQ(entry.hasDate, node.modificationDate.has_value());
  if (node.modificationDate) {
    EXPECT_EQ(entry.modificationDate, *node.modificationDate);
  }
  const std::uint32_t self = index++;
  for (const walk::PrivilegedNode& child : node.children) expectSameTree(child, tree, index);
  EXPECT_EQ(entry.subtreeEnd, index) << node.name;
  EXPECT_EQ(tree.childrenOf(self).size(), node.children.size());
}

TEST(ScanTreeTest, ReadsEveryKindOfNodeAndEscapeNodeForNode) {
  walk::PrivilegedNode root =
      directoryNode("root", {directoryNode("a", {fileNode("q\"\\/\x01\x1f\n\tGrüße ✓", 4096, -1.5),
                                                 directoryNode("empty", {}, 7e8)}),
                             fileNode("\x1b[31mred", 1 << 20, 0.0), aggregateNode(1234, 512)});
  const ScanTree tree = testing::readTree(root, "/srv/da\"ta/");
  EXPECT_EQ(tree.rootPath(), "/srv/da\"ta/");
  std::uint32_t index = 0;
  expectSameTree(root, tree, index);
  EXPECT_EQ(index, tree.size());
}

TEST(ScanTreeTest, ReadsAnyDepthWithoutRecursion) {
  const std::string node =
      R"({"name":"d","path":"","isDirectory":true,"allocatedSize":0,"folderCount":1,)"
      R"("fileCount":0,"isAggregate":false,"children":[)";
  constexpr int depth = 200'000;
  std::string document;
  for (int i = 0; i < depth; ++i) document += node;
  for (int i = 0; i < depth; ++i) document += "]}";
  const auto tree = ScanTree::read(document);
  ASSERT_TRUE(tree.has_value()) << tree.error().description();
  ASSERT_EQ(tree->size(), static_cast<std::uint32_t>(depth));
  EXPECT_EQ((*tree)[depth - 1].subtreeEnd, static_cast<std::uint32_t>(depth));
  EXPECT_EQ(tree->childrenOf(depth - 2).size(), 1u);
}

TEST(ScanTreeTest, ReadsAnyMemberOrderSpacingAndUnknownMembers) {
  const std::string document = R"( {
    "children" : [ { "isAggregate":false, "children":[], "fileCount":1, "folderCount":0,
                     "x":{"y":[1,{"z":"]}"}, null]}, "allocatedSize":8,
                     "name":"caf\u00e9 \ud83d\ude00 \ud800!", "path":"ignored",
                     "isDirectory":false, "modificationDate":null } ],
    "name":"r", "path":"\/r", "isDirectory":true, "allocatedSize":8, "folderCount":1,
    "fileCount":1, "modificationDate":-1.25E+2, "isAggregate":false, "extra":true,
    "name":"repeated", "children":[1] } )";
  const auto tree = ScanTree::read(document);
  ASSERT_TRUE(tree.has_value()) << tree.error().description();
  ASSERT_EQ(tree->size(), 2u);
  EXPECT_EQ(tree->rootPath(), "/r");
  EXPECT_EQ(tree->root().name, "r") << "a repeated member counts as it first came";
  EXPECT_EQ(tree->root().modificationDate, -125);
  // A lone surrogate stands for no character: U+FFFD.
  EXPECT_EQ((*tree)[1].name, "café 😀 \xef\xbf\xbd!");
  EXPECT_FALSE((*tree)[1].hasDate);
  EXPECT_EQ((*tree)[1].allocatedSize, 8);

  // A date past a double's range is infinite, not a reason to drop the tree.
  const auto far = ScanTree::read(
      R"({"name":"n","path":"\/n","isDirectory":false,"allocatedSize":1,"folderCount":0,)"
      R"("fileCount":1,"modificationDate":-1e999,"isAggregate":false,"children":[]})");
  ASSERT_TRUE(far.has_value());
  EXPECT_EQ(far->root().modificationDate, -HUGE_VAL);
}

TEST(ScanTreeTest, RefusesDocumentsThatAreNotNodeTrees) {
  const std::string good =
      R"({"name":"n","path":"\/n","isDirectory":false,"allocatedSize":1,"folderCount":0,)"
      R"("fileCount":1,"isAggregate":false,"children":[]})";
  const auto with = [&](std::string_view from, std::string_view to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::vector<std::string> rows = {
      "",
      "[]",
      good.substr(0, good.size() - 1),
      good + "x",
      good + good,
      with(R"("isAggregate":false,)", ""),
      with(R"("allocatedSize":1)", R"("allocatedSize":01)"),
      with(R"("allocatedSize":1)", R"("allocatedSize":1.5)"),
      with(R"("allocatedSize":1)", R"("allocatedSize":9223372036854775808)"),
      with(R"("allocatedSize":1)", R"("allocatedSize":-)"),
      with(R"("allocatedSize":1)", R"("allocatedSize":"1")"),
      with(R"("isDirectory":false)", R"("isDirectory":0)"),
      with(R"("isDirectory":false)", R"("isDirectory":fals)"),
      with(R"("name":"n")", R"("name":"\x")"),
      with(R"("name":"n")", R"("name":"\u12")"),
      with(R"("name":"n")", "\"name\":\"a\x01\""),
      with(R"("name":"n")", R"("name":"n)"),
      with(R"("children":[])", R"("children":[1])"),
      with(R"("children":[])", R"("children":[)"),
      with(R"("children":[])", R"("children":[],"x":[})"),
      with(R"("children":[])", R"("children":[],"x":1 2)"),
      with(R"(,"folderCount")", R"(,,"folderCount")"),
      with(R"("fileCount":1,)", R"("fileCount":1,"modificationDate":1e,)"),
  };
  ASSERT_TRUE(ScanTree::read(good).has_value());
  for (const std::string& row : rows) {
    EXPECT_FALSE(ScanTree::read(row).has_value()) << row;
  }
}

}  // namespace
}  // namespace kelmarind::client
