#include "client/tree_view.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "walk/coalesce.h"
#include "walk/privileged_node.h"

namespace kelmarind::client {
namespace {

using walk::PrivilegedNode;

std::string bar(double share, int width) {
  const int filled = std::clamp(static_cast<int>(share * width + 0.5), 0, width);
  std::string out;
  for (int i = 0; i < width; ++i) out += i < filled ? "\u2588" : "\u2591";
  return out;
}

std::string counts(const PrivilegedNode& node) {
  if (!node.isDirectory && !node.isAggregate) return {};
  std::string out = walk::groupedCount(node.folderCount);
  out += node.folderCount == 1 ? " folder, " : " folders, ";
  out += walk::groupedCount(node.fileCount);
  out += node.fileCount == 1 ? " file" : " files";
  return out;
}

// Children by size, largest first. The aggregate node stays last: it is a
// remainder, not an entry, and ranks below everything shown beside it.
std::vector<const PrivilegedNode*> bySize(const PrivilegedNode& node) {
  std::vector<const PrivilegedNode*> out;
  out.reserve(node.children.size());
  for (const PrivilegedNode& child : node.children) out.push_back(&child);
  std::stable_sort(out.begin(), out.end(), [](const PrivilegedNode* a, const PrivilegedNode* b) {
    if (a->isAggregate != b->isAggregate) return b->isAggregate;
    return a->allocatedSize > b->allocatedSize;
  });
  return out;
}

void renderChildren(const PrivilegedNode& parent, const std::string& prefix, int levelsLeft,
                    const TreeViewOptions& options, std::string& out) {
  if (levelsLeft <= 0) return;
  const std::vector<const PrivilegedNode*> children = bySize(parent);
  for (std::size_t i = 0; i < children.size(); ++i) {
    const PrivilegedNode& child = *children[i];
    const bool isLast = i + 1 == children.size();
    const double share = parent.allocatedSize > 0 ? static_cast<double>(child.allocatedSize) /
                                                        static_cast<double>(parent.allocatedSize)
                                                  : 0.0;
    std::array<char, 16> percent{};
    std::snprintf(percent.data(), percent.size(), "%5.1f%%", share * 100.0);
    out += prefix;
    out += isLast ? "\u2514\u2500\u2500 " : "\u251c\u2500\u2500 ";
    const std::string size = formatByteSize(child.allocatedSize);
    out.append(size.size() < 10 ? 10 - size.size() : 0, ' ');
    out += size;
    out += "  ";
    out += percent.data();
    out += ' ';
    out += bar(share, options.barWidth);
    out += "  ";
    out += child.name;
    if (child.isDirectory) out += '/';
    if (const std::string c = counts(child); !c.empty()) out += "  (" + c + ")";
    out += '\n';
    renderChildren(child, prefix + (isLast ? "    " : "\u2502   "), levelsLeft - 1, options, out);
  }
}

}  // namespace

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
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.1f %s", value, units[unit]);
  return text.data();
}

std::string renderTreeView(const PrivilegedNode& root, const TreeViewOptions& options) {
  std::string out = formatByteSize(root.allocatedSize);
  out += "  ";
  out += root.path.empty() ? root.name : root.path;
  if (const std::string c = counts(root); !c.empty()) out += "  (" + c + ")";
  out += '\n';
  renderChildren(root, "", options.depth, options, out);
  return out;
}

}  // namespace kelmarind::client
