// The treemap as a file: an SVG picture, or one self-contained HTML page that
// shows a box's path, size and counts on hover and zooms into a directory on
// click. Names are escaped as in every other view (display_text.h).
#pragma once

#include <cstdint>
#include <string>

#include "client/treemap_layout.h"

namespace kelmarind::client {

class ScanTree;

struct Rgb {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  friend bool operator==(Rgb, Rgb) = default;
};

// A box's fill: one hue per subtree of the root (`box.group`), lighter with
// depth; files lighter than directories, aggregate nodes greyed.
[[nodiscard]] Rgb treemapFill(const TreemapBox& box, const ScanTree& tree);

// The picture at `style`'s size: one <g> per box, nested as the directories
// are, holding the box's <rect> (geometry in its x, y, width and height;
// data-size its allocated size; data-content the room given to its entries,
// "x y width height", when it shows any) with a <title> tooltip, then its
// label, then the boxes of its entries. Boxes narrower or lower than two
// pixels are left out, with what lies in them.
[[nodiscard]] std::string treemapSvg(const ScanTree& tree, const TreemapStyle& style);

// The page: the tree's layout at `style`'s size down to entries too small to
// see even when their directory fills the page, and a script that draws it,
// first as the SVG picture does. A fragment "#zoom=a/b" opens zoomed into the
// directory a/b below the walked path. No external resource of any kind.
[[nodiscard]] std::string treemapHtml(const ScanTree& tree, const TreemapStyle& style);

}  // namespace kelmarind::client
