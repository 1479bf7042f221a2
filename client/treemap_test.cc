#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "client/scan_tree_testing.h"
#include "client/treemap_document.h"
#include "client/treemap_layout.h"

namespace kelmarind::client {
namespace {

using testing::aggregateNode;
using testing::directoryNode;
using testing::fileNode;

constexpr double rounding = 2e-3;  // the SVG writes three decimals

bool inside(const Rect& inner, const Rect& outer) {
  return inner.x >= outer.x - rounding && inner.y >= outer.y - rounding &&
         inner.x + inner.width <= outer.x + outer.width + rounding &&
         inner.y + inner.height <= outer.y + outer.height + rounding;
}

bool overlap(const Rect& a, const Rect& b) {
  const double w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
  const double h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  return w > rounding && h > rounding;
}

double worstAspect(const std::vector<Rect>& rects) {
  double worst = 1;
  for (const Rect& r : rects) {
    if (r.area() > 0) worst = std::max({worst, r.width / r.height, r.height / r.width});
  }
  return worst;
}

struct SquarifyRow {
  std::vector<double> weights;
  Rect area;
  double worstAllowedAspect;
};

TEST(SquarifyTest, TilesTheAreaInProportionWithNearSquareRectangles) {
  const SquarifyRow rows[] = {
      {{1, 1, 1, 1}, {0, 0, 100, 100}, 1.0},
      {{6, 6, 4, 3, 2, 2, 1}, {0, 0, 6, 4}, 3.0},  // the algorithm's worked example
      {{5, 0, -1, 3}, {10, 20, 10, 1}, 6.25},
      {{1}, {1, 2, 3, 50}, 16.7},
      {{}, {0, 0, 1, 1}, 1.0},
      {{1000, 1, 1, 1, 1}, {0, 0, 1, 10}, 10.1},
  };
  for (const SquarifyRow& row : rows) {
    const std::vector<Rect> rects = squarify(row.weights, row.area);
    ASSERT_EQ(rects.size(), row.weights.size());
    double total = 0;
    for (const double w : row.weights) total += std::max(w, 0.0);
    double covered = 0;
    for (std::size_t i = 0; i < rects.size(); ++i) {
      const double expected = std::max(row.weights[i], 0.0) / total * row.area.area();
      EXPECT_NEAR(rects[i].area(), expected, 1e-9 * row.area.area()) << i;
      EXPECT_TRUE(inside(rects[i], row.area)) << i;
      for (std::size_t j = 0; j < i; ++j) EXPECT_FALSE(overlap(rects[i], rects[j])) << i << j;
      covered += rects[i].area();
    }
    if (total > 0) {
      EXPECT_NEAR(covered, row.area.area(), 1e-9 * row.area.area());
    }
    EXPECT_LE(worstAspect(rects), row.worstAllowedAspect);
  }
}

// A box as the SVG states it: its <rect>, and the <g> it is nested in.
struct SvgBox {
  Rect rect;
  std::optional<Rect> content;
  double size = 0;
  int parent = -1;
};

std::vector<SvgBox> readSvgBoxes(const std::string& svg) {
  static const std::regex tagPattern(
      R"re(<g>|</g>|<rect x="([^"]*)" y="([^"]*)" width="([^"]*)" height="([^"]*)")re"
      R"re([^>]* data-size="([^"]*)"(?: data-content="([^"]*)")?)re");
  std::vector<SvgBox> boxes;
  std::vector<int> open;  // the box of each <g> we are in
  for (std::sregex_iterator m(svg.begin(), svg.end(), tagPattern), end; m != end; ++m) {
    if (m->str() == "<g>") {
      open.push_back(static_cast<int>(boxes.size()));
    } else if (m->str() == "</g>") {
      open.pop_back();
    } else {
      SvgBox box{
          {std::stod(m->str(1)), std::stod(m->str(2)), std::stod(m->str(3)), std::stod(m->str(4))},
          std::nullopt,
          std::stod(m->str(5)),
          open.size() > 1 ? open[open.size() - 2] : -1};
      if ((*m)[6].matched) {
        std::istringstream content(m->str(6));
        box.content.emplace();
        content >> box.content->x >> box.content->y >> box.content->width >> box.content->height;
      }
      boxes.push_back(box);
    }
  }
  return boxes;
}

// Directories of random breadth and depth, file sizes over seven orders of
// magnitude, empty files and directories, merged remainders.
walk::PrivilegedNode randomDirectory(std::mt19937& random, int depth) {
  walk::PrivilegedNode directory = directoryNode("d" + std::to_string(depth), {});
  const int count = std::uniform_int_distribution(0, depth == 0 ? 12 : 8)(random);
  for (int i = 0; i < count; ++i) {
    walk::PrivilegedNode child;
    const int kind = std::uniform_int_distribution(0, 9)(random);
    if (kind < 3 && depth < 4) {
      child = randomDirectory(random, depth + 1);
    } else if (kind == 3) {
      child = fileNode("empty", 0);
    } else {
      const double exponent = std::uniform_real_distribution(0.0, 7.0)(random);
      child = fileNode("f" + std::to_string(i), static_cast<std::int64_t>(std::pow(10, exponent)));
    }
    directory.allocatedSize += child.allocatedSize;
    directory.folderCount += child.folderCount;
    directory.fileCount += child.fileCount;
    directory.children.push_back(std::move(child));
  }
  if (depth == 1) {
    walk::PrivilegedNode rest = aggregateNode(40, directory.allocatedSize / 50 + 1);
    directory.allocatedSize += rest.allocatedSize;
    directory.fileCount += rest.fileCount;
    directory.children.push_back(std::move(rest));
  }
  return directory;
}

TEST(TreemapSvgTest, BoxesFollowSizesNestInTheirDirectoryAndNeverOverlap) {
  std::mt19937 random(20261206);
  for (int round = 0; round < 20; ++round) {
    const ScanTree tree = testing::readTree(randomDirectory(random, 0));
    const std::vector<SvgBox> boxes = readSvgBoxes(treemapSvg(tree, TreemapStyle{}));
    ASSERT_FALSE(boxes.empty());
    EXPECT_NEAR(boxes[0].rect.area(), 1280.0 * 800.0, 1e-6);
    std::vector<std::vector<int>> children(boxes.size());
    for (std::size_t i = 1; i < boxes.size(); ++i) {
      const SvgBox& box = boxes[i];
      ASSERT_GE(box.parent, 0);
      const SvgBox& parent = boxes[static_cast<std::size_t>(box.parent)];
      if (!parent.content) FAIL() << "a box inside a directory showing no entries";
      EXPECT_TRUE(inside(*parent.content, parent.rect));
      EXPECT_TRUE(inside(box.rect, *parent.content)) << i;
      const double areaShare = box.rect.area() / parent.content->area();
      const double sizeShare = box.size / parent.size;
      EXPECT_NEAR(areaShare, sizeShare, 0.01 * sizeShare) << "round " << round << " box " << i;
      for (const int sibling : children[static_cast<std::size_t>(box.parent)]) {
        EXPECT_FALSE(overlap(box.rect, boxes[static_cast<std::size_t>(sibling)].rect)) << i;
      }
      children[static_cast<std::size_t>(box.parent)].push_back(static_cast<int>(i));
    }
  }
}

TEST(TreemapDocumentTest, NamesAreEscapedAndThePageLoadsNothingFromOutside) {
  const ScanTree tree = testing::readTree(
      directoryNode("d", {fileNode("</script><script>alert(1)</script>", 5000),
                          fileNode("a&b <i>\x1b[31m", 4000), fileNode("x", 1000)}),
      "/tmp/<dir>");
  const std::string svg = treemapSvg(tree, TreemapStyle{});
  EXPECT_NE(svg.find("&lt;/script&gt;&lt;script&gt;alert(1)"), std::string::npos);
  EXPECT_NE(svg.find("a&amp;b &lt;i&gt;\\x1b[31m"), std::string::npos);
  EXPECT_EQ(svg.find('\x1b'), std::string::npos);

  const std::string page = treemapHtml(tree, TreemapStyle{});
  EXPECT_EQ(page.find('\x1b'), std::string::npos);
  EXPECT_NE(page.find(R"(\u003c/script\u003e\u003cscript\u003ealert(1))"), std::string::npos);
  std::size_t closings = 0;
  for (std::size_t at = page.find("</script"); at != std::string::npos;
       at = page.find("</script", at + 1)) {
    ++closings;
  }
  EXPECT_EQ(closings, 2u) << "the data's and the script's own";
  for (const std::string_view outside :
       {"src=", "href=", "<link", "url(", "@import", "fetch(", "XMLHttpRequest", "https:"}) {
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  }
  EXPECT_NE(page.find("default-src 'none'"), std::string::npos);
}

}  // namespace
}  // namespace kelmarind::client
