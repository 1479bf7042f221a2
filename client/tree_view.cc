#include "client/tree_view.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <vector>

#include "client/display_text.h"
#include "client/scan_tree.h"
#include "walk/coalesce.h"

namespace kelmarind::client {
namespace {

// Children by size, largest first, ties in document order (which is index
// order). The aggregate node stays last: it is a remainder, not an entry, and
// ranks below everything shown beside it.
std::vector<std::uint32_t> bySize(const ScanTree& tree, std::uint32_t index) {
  std::vector<std::uint32_t> out = tree.childrenOf(index);
  std::sort(out.begin(), out.end(), [&](std::uint32_t a, std::uint32_t b) {
    if (tree[a].isAggregate != tree[b].isAggregate) return tree[b].isAggregate;
    if (tree[a].allocatedSize != tree[b].allocatedSize) {
      return tree[a].allocatedSize > tree[b].allocatedSize;
    }
    return a < b;
  });
  return out;
}

void appendCounts(const ScanEntry& entry, std::string& out) {
  if (!entry.isDirectory && !entry.isAggregate) return;
  out += "  (";
  out += formatCounts(entry);
  out += ')';
}

void renderChildren(const ScanTree& tree, std::uint32_t parent, std::string& prefix, int levelsLeft,
                    const TreeViewOptions& options, std::string& out) {
  if (levelsLeft <= 0) return;
  const std::vector<std::uint32_t> children = bySize(tree, parent);
  const double parentSize = static_cast<double>(tree[parent].allocatedSize);
  for (std::size_t i = 0; i < children.size(); ++i) {
    const ScanEntry& child = tree[children[i]];
    const bool isLast = i + 1 == children.size();
    const double share =
        parentSize > 0 ? static_cast<double>(child.allocatedSize) / parentSize : 0.0;
    out += prefix;
    out += isLast ? "\u2514\u2500\u2500 " : "\u251c\u2500\u2500 ";
    const std::string size = formatByteSize(child.allocatedSize);
    out.append(size.size() < 10 ? 10 - size.size() : 0, ' ');
    out += size;
    out += "  ";
    out += formatShare(share);
    out += ' ';
    out += shareBar(share, options.barWidth);
    out += "  ";
    appendDisplayEscaped(child.name, out);
    if (child.isDirectory) out += '/';
    appendCounts(child, out);
    out += '\n';
    const std::size_t prefixSize = prefix.size();
    prefix += isLast ? "    " : "\u2502   ";
    renderChildren(tree, children[i], prefix, levelsLeft - 1, options, out);
    prefix.resize(prefixSize);
  }
}

}  // namespace

std::string formatFixed(double value, int decimals) {
  constexpr int maxDecimals = 9;
  // A sign, a double's 309 digits before the point, the point, the decimals:
  // the longest text fits, so the conversion cannot fail.
  std::array<char, 1 + 309 + 1 + maxDecimals> text{};
  const auto written =
      std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed,
                    std::clamp(decimals, 0, maxDecimals));
  return {text.data(), written.ptr};
}

std::string formatShare(double share) {
  std::string text = formatFixed(share * 100.0, 1) + '%';
  if (text.size() < 6) text.insert(0, 6 - text.size(), ' ');
  return text;
}

std::string formatByteSize(std::int64_t bytes) {
  static constexpr std::array<const char*, 7> units = {"B",   "KiB", "MiB", "GiB",
                                                       "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < units.size()) {
    value /= 1024.0;
    ++unit;
  }
  return formatFixed(value, 1) + ' ' + units[unit];
}

std::string formatCounts(const ScanEntry& entry) {
  if (!entry.isDirectory && !entry.isAggregate) return {};
  std::string out = walk::groupedCount(entry.folderCount);
  out += entry.folderCount == 1 ? " folder, " : " folders, ";
  out += walk::groupedCount(entry.fileCount);
  out += entry.fileCount == 1 ? " file" : " files";
  return out;
}

std::string shareBar(double share, int width) {
  const long filled = std::clamp(std::lround(share * width), 0L, static_cast<long>(width));
  std::string out;
  for (int i = 0; i < width; ++i) out += i < filled ? "\u2588" : "\u2591";
  return out;
}

std::string renderTreeView(const ScanTree& tree, const TreeViewOptions& options) {
  const ScanEntry& root = tree.root();
  std::string out = formatByteSize(root.allocatedSize);
  out += "  ";
  appendDisplayEscaped(tree.rootPath().empty() ? root.name : tree.rootPath(), out);
  appendCounts(root, out);
  out += '\n';
  std::string prefix;
  renderChildren(tree, ScanTree::rootIndex(), prefix, options.depth, options, out);
  return out;
}

}  // namespace kelmarind::client
