#include "client/browse_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/display_text.h"
#include "client/scan_tree_testing.h"

namespace kelmarind::client {
namespace {

using testing::aggregateNode;
using testing::directoryNode;
using testing::fileNode;

walk::PrivilegedNode sampleTree() {
  return directoryNode(
      "data",
      {fileNode("zeta.log", 4096, 100),
       directoryNode("big", {fileNode("inner", 3 << 20, 50), directoryNode("nest", {})}, 300),
       fileNode("\x1b[31mred", 8192, 200), directoryNode("empty", {}, 400),
       aggregateNode(12, 1024)});
}

class BrowseModelTest : public ::testing::Test {
 protected:
  // The screen at 80 × 12, and each line's text without the selection mark.
  std::vector<std::string> screen(int width = 80, int height = 12) {
    last_ = model_.render(width, height);
    return last_.lines;
  }
  std::string selectedLine() {
    screen();
    return last_.highlightedLine < 0 ? std::string() : last_.lines[last_.highlightedLine];
  }
  void press(std::initializer_list<BrowseKey> keys) {
    for (const BrowseKey key : keys) EXPECT_EQ(model_.press(key), BrowseAction::none);
  }

  BrowseModel model_{testing::readTree(sampleTree())};
  BrowseScreen last_;
};

TEST_F(BrowseModelTest, ListsBySizeWithSharesCountsAndTheAggregateLast) {
  const std::vector<std::string> lines = screen();
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], "/data");
  EXPECT_EQ(lines[1], "3.0 MiB  4 folders, 15 files  \u00b7 by size");
  EXPECT_EQ(lines[2],
            ">   3.0 MiB  99.6% \u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588"
            " big/  (2 folders, 1 file)");
  EXPECT_EQ(lines[3].substr(0, 18), "    8.0 KiB   0.3%");
  EXPECT_TRUE(lines[3].ends_with(" \\x1b[31mred")) << lines[3];
  EXPECT_TRUE(lines[4].ends_with(" zeta.log")) << lines[4];
  EXPECT_TRUE(lines[5].ends_with(" empty/  (1 folder, 0 files)")) << lines[5];
  EXPECT_TRUE(lines[6].ends_with(" [12 more items]  (merged: 0 folders, 12 files)")) << lines[6];
  EXPECT_EQ(last_.highlightedLine, 2);
}

TEST_F(BrowseModelTest, OpensDirectoriesOnlyAndGoingBackKeepsThePlace) {
  press({BrowseKey::last, BrowseKey::open});
  EXPECT_EQ(model_.currentPath(), "/data");
  EXPECT_NE(screen().back().find("[12 more items] are small entries merged"), std::string::npos);
  press({BrowseKey::up, BrowseKey::open});
  EXPECT_EQ(model_.currentPath(), "/data/empty");
  EXPECT_EQ(screen()[2], "  (empty directory)");
  press({BrowseKey::back});
  EXPECT_TRUE(selectedLine().ends_with(" empty/  (1 folder, 0 files)"));
  press({BrowseKey::up, BrowseKey::open});
  EXPECT_EQ(model_.currentPath(), "/data");
  EXPECT_NE(screen().back().find("zeta.log is a file"), std::string::npos);
  press({BrowseKey::first, BrowseKey::open, BrowseKey::down, BrowseKey::open});
  EXPECT_EQ(model_.currentPath(), "/data/big/nest");
  press({BrowseKey::back, BrowseKey::back});
  EXPECT_TRUE(selectedLine().ends_with(" big/  (2 folders, 1 file)"));
  press({BrowseKey::back});
  EXPECT_NE(screen().back().find("walked directory"), std::string::npos);
}

TEST_F(BrowseModelTest, SortingKeepsTheSelectedEntryAndTheAggregateLast) {
  press({BrowseKey::down, BrowseKey::sortByName});
  std::vector<std::string> lines = screen();
  EXPECT_TRUE(lines[1].ends_with("by name"));
  EXPECT_TRUE(lines[2].ends_with(" \\x1b[31mred")) << lines[2];
  EXPECT_TRUE(lines[3].find(" big/") != std::string::npos) << lines[3];
  EXPECT_TRUE(lines[5].find(" zeta.log") != std::string::npos) << lines[5];
  EXPECT_TRUE(lines[6].find("[12 more items]") != std::string::npos) << lines[6];
  EXPECT_EQ(last_.highlightedLine, 2);

  press({BrowseKey::sortByDate});
  lines = screen();
  EXPECT_NE(lines[2].find(" empty/"), std::string::npos) << lines[2];
  EXPECT_NE(lines[6].find("[12 more items]"), std::string::npos) << lines[6];
  EXPECT_TRUE(selectedLine().ends_with(" \\x1b[31mred"));
  press({BrowseKey::sortByItemCount});
  EXPECT_TRUE(screen()[2].find(" big/") != std::string::npos);
}

TEST(BrowseModelScreenTest, EveryLineFitsAnySizeAndHoldsNoControlCharacter) {
  walk::PrivilegedNode root = sampleTree();
  root.children.push_back(fileNode(std::string(300, 'n') + "\xff\t日本", 1));
  for (int i = 0; i < 60; ++i) root.children.push_back(fileNode("f" + std::to_string(i), 10));
  BrowseModel model(
      testing::readTree(root, "/a/very/long/path/\x1b]0;title\a/" + std::string(80, 'p')));
  for (const BrowseKey key : {BrowseKey::last, BrowseKey::sortByDate, BrowseKey::help,
                              BrowseKey::other, BrowseKey::pageUp}) {
    model.press(key);
    for (const int width : {0, 1, 5, 40, 80, 200}) {
      for (const int height : {0, 1, 2, 3, 4, 24}) {
        const BrowseScreen screen = model.render(width, height);
        ASSERT_EQ(static_cast<int>(screen.lines.size()), height);
        for (const std::string& line : screen.lines) {
          EXPECT_LE(displayWidth(line), width) << line;
          for (const char c : line) {
            ASSERT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << line;
          }
        }
        EXPECT_LT(screen.highlightedLine, height);
      }
    }
  }
  for (const BrowseScreen& screen :
       {renderWalking("/x\x1b[2J", 1.25, 40, 5), renderWalking("/x", 0, 0, 1)}) {
    for (const std::string& line : screen.lines) EXPECT_EQ(line.find('\x1b'), std::string::npos);
  }
  EXPECT_EQ(renderWalking("/x", 1.34, 40, 5).lines[1], "walking\u2026 1.3 s");
}

TEST(BrowseModelScrollTest, SelectionStaysOnScreenAndATallerScreenIsFilled) {
  walk::PrivilegedNode root = directoryNode("d", {});
  for (int i = 0; i < 50; ++i) {
    root.children.push_back(fileNode("f" + std::to_string(i), 1000 - i));
  }
  BrowseModel model(testing::readTree(root));
  BrowseScreen screen = model.render(40, 10);  // 7 rows: a page is 6
  model.press(BrowseKey::pageDown);
  screen = model.render(40, 10);
  EXPECT_TRUE(screen.lines[screen.highlightedLine].ends_with(" f6"));
  model.press(BrowseKey::last);
  screen = model.render(40, 10);
  EXPECT_EQ(screen.highlightedLine, 8);
  EXPECT_TRUE(screen.lines[8].ends_with(" f49"));
  screen = model.render(40, 30);
  EXPECT_TRUE(screen.lines[2].ends_with(" f23")) << screen.lines[2];
  EXPECT_TRUE(screen.lines[28].ends_with(" f49"));
}

TEST(BrowseModelRewalkTest, ANewTreeKeepsTheOpenDirectoryAndSelectionByName) {
  BrowseModel model(testing::readTree(sampleTree()));
  model.press(BrowseKey::open);  // big/
  model.press(BrowseKey::down);  // nest/
  walk::PrivilegedNode changed = sampleTree();
  changed.children[1].children.insert(changed.children[1].children.begin(),
                                      fileNode("new", 8 << 20));
  changed.children[1].allocatedSize += 8 << 20;
  model.replaceTree(testing::readTree(changed));
  EXPECT_EQ(model.currentPath(), "/data/big");
  BrowseScreen screen = model.render(80, 12);
  EXPECT_TRUE(screen.lines[screen.highlightedLine].find(" nest/") != std::string::npos);
  model.press(BrowseKey::back);
  screen = model.render(80, 12);
  EXPECT_TRUE(screen.lines[screen.highlightedLine].find(" big/") != std::string::npos);

  // The open directory is gone: back to where the path still exists.
  model.press(BrowseKey::open);
  model.replaceTree(testing::readTree(directoryNode("data", {fileNode("only", 1)})));
  EXPECT_EQ(model.currentPath(), "/data");
  EXPECT_TRUE(model.render(80, 12).lines[2].ends_with(" only"));
}

}  // namespace
}  // namespace kelmarind::client
