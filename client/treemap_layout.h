// The treemap's geometry: a walked tree as nested rectangles whose areas
// follow allocated sizes. Pure functions; treemap_document.h draws the result.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kelmarind::client {

class ScanTree;

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  [[nodiscard]] double area() const { return width * height; }
};

// Splits `area` into one rectangle per weight, each taking the share of the
// area that its weight has of the weights' sum, laid out in rows whose
// rectangles are as close to square as the row allows (the squarified
// treemap of Bruls, Huizing and van Wijk). Weights are placed in the order
// given, so largest first gives the squarest result. A weight of zero or less
// gets an empty rectangle. Results are in the order of `weights`; together
// they tile `area` exactly, up to rounding.
[[nodiscard]] std::vector<Rect> squarify(std::span<const double> weights, const Rect& area);

struct TreemapStyle {
  double width = 1280;
  double height = 800;
  double labelHeight = 16;  // the name strip at the top of a directory large enough for one
  double labelWidth = 48;   // the least width that gets a name strip
  double border = 1;        // kept around a directory's entries
  // A directory shows its entries only where its box leaves at least this
  // much room for them each way.
  double leastNesting = 6;
  // Entries below this share of their directory keep their place in the
  // layout but get no box of their own.
  double leastShare = 0;
  int maxDepth = 64;
  std::size_t maxBoxes = 1'000'000;  // shallower levels are laid out first
};

struct TreemapBox {
  std::uint32_t entry = 0;   // in the tree
  std::int32_t parent = -1;  // box index of the directory it is in; -1 for the root
  std::int32_t depth = 0;
  std::int32_t group = -1;  // which of the root's entries it lies under; -1 for the root
  Rect bounds;
  Rect content;  // where its entries lie, inside bounds; empty when it shows none
};

// Where a directory's entries go inside its box: below a name strip when the
// box is at least labelWidth wide and two strips high, else inside the border
// when the box is at least four borders each way, else the whole box. The
// layout shows them only where this leaves `style.leastNesting` each way.
[[nodiscard]] Rect contentOf(const Rect& bounds, const TreemapStyle& style);

// The whole layout, breadth first (every box after its parent's), the root's
// box being the canvas. Each directory's entries are laid out by size,
// largest first, the aggregate "more items" node among them by its size.
[[nodiscard]] std::vector<TreemapBox> layoutTreemap(const ScanTree& tree,
                                                    const TreemapStyle& style);

}  // namespace kelmarind::client
