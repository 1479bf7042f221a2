#include "client/treemap_layout.h"

#include <algorithm>
#include <numeric>

#include "client/scan_tree.h"

namespace kelmarind::client {
namespace {

// The worst aspect ratio in a row of rectangles of these areas laid along a
// side of length `side`; the formula of the squarified layout.
double worstRatio(double sum, double smallest, double largest, double side) {
  const double sideSquared = side * side;
  const double sumSquared = sum * sum;
  return std::max(sideSquared * largest / sumSquared, sumSquared / (sideSquared * smallest));
}

}  // namespace

std::vector<Rect> squarify(std::span<const double> weights, const Rect& area) {
  std::vector<Rect> out(weights.size(), Rect{area.x, area.y, 0, 0});
  std::vector<std::size_t> placed;  // indices with a positive weight, in order
  double total = 0;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    if (weights[i] > 0) {
      placed.push_back(i);
      total += weights[i];
    }
  }
  if (placed.empty() || area.width <= 0 || area.height <= 0) return out;
  const double scale = area.area() / total;

  Rect free = area;
  std::size_t begin = 0;
  while (begin < placed.size()) {
    const double side = std::min(free.width, free.height);
    // Grow the row while its worst ratio improves.
    double sum = weights[placed[begin]] * scale;
    double smallest = sum;
    double largest = sum;
    std::size_t end = begin + 1;
    while (end < placed.size()) {
      const double next = weights[placed[end]] * scale;
      const double grown =
          worstRatio(sum + next, std::min(smallest, next), std::max(largest, next), side);
      if (grown > worstRatio(sum, smallest, largest, side)) break;
      sum += next;
      smallest = std::min(smallest, next);
      largest = std::max(largest, next);
      ++end;
    }
    // The last row takes what is left, so rounding leaves no gap.
    const bool isLastRow = end == placed.size();
    const bool isColumn = free.width >= free.height;
    const double thickness = isLastRow ? (isColumn ? free.width : free.height) : sum / side;
    double offset = 0;
    for (std::size_t i = begin; i < end; ++i) {
      const double length = weights[placed[i]] * scale / thickness;
      Rect& rect = out[placed[i]];
      rect = isColumn ? Rect{free.x, free.y + offset, thickness, length}
                      : Rect{free.x + offset, free.y, length, thickness};
      offset += length;
    }
    if (isColumn) {
      free.x += thickness;
      free.width -= thickness;
    } else {
      free.y += thickness;
      free.height -= thickness;
    }
    begin = end;
  }
  return out;
}

Rect contentOf(const Rect& bounds, const TreemapStyle& style) {
  const double border = style.border;
  if (bounds.width >= style.labelWidth && bounds.height >= 2 * style.labelHeight) {
    return {bounds.x + border, bounds.y + style.labelHeight, bounds.width - 2 * border,
            bounds.height - style.labelHeight - border};
  }
  if (bounds.width >= 4 * border && bounds.height >= 4 * border) {
    return {bounds.x + border, bounds.y + border, bounds.width - 2 * border,
            bounds.height - 2 * border};
  }
  return bounds;
}

std::vector<TreemapBox> layoutTreemap(const ScanTree& tree, const TreemapStyle& style) {
  std::vector<TreemapBox> boxes;
  boxes.push_back({.entry = ScanTree::rootIndex(),
                   .bounds = Rect{0, 0, style.width, style.height},
                   .content = {}});
  std::vector<double> weights;
  for (std::size_t next = 0; next < boxes.size(); ++next) {
    const TreemapBox box = boxes[next];  // copied: the vector grows below
    const ScanEntry& entry = tree[box.entry];
    if (!entry.isDirectory || box.depth >= style.maxDepth) continue;
    const Rect content = contentOf(box.bounds, style);
    if (content.width < style.leastNesting || content.height < style.leastNesting ||
        content.area() <= 0) {
      continue;
    }
    std::vector<std::uint32_t> children = tree.childrenOf(box.entry);
    // Largest first; ties in document order, which is index order.
    std::sort(children.begin(), children.end(), [&](std::uint32_t a, std::uint32_t b) {
      if (tree[a].allocatedSize != tree[b].allocatedSize) {
        return tree[a].allocatedSize > tree[b].allocatedSize;
      }
      return a < b;
    });
    weights.clear();
    for (const std::uint32_t child : children) {
      weights.push_back(static_cast<double>(std::max<std::int64_t>(tree[child].allocatedSize, 0)));
    }
    const double total = std::accumulate(weights.begin(), weights.end(), 0.0);
    const std::vector<Rect> rects = squarify(weights, content);
    for (std::size_t i = 0; i < children.size(); ++i) {
      if (boxes.size() >= style.maxBoxes) break;
      if (weights[i] <= 0 || weights[i] < total * style.leastShare) continue;
      boxes[next].content = content;
      boxes.push_back({.entry = children[i],
                       .parent = static_cast<std::int32_t>(next),
                       .depth = box.depth + 1,
                       .group = box.depth == 0 ? static_cast<std::int32_t>(i) : box.group,
                       .bounds = rects[i],
                       .content = {}});
    }
  }
  return boxes;
}

}  // namespace kelmarind::client
