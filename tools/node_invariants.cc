#include "tools/node_invariants.h"

#include <cstdint>

namespace kelmarind::reliability {
namespace {

using walk::PrivilegedNode;

std::optional<std::string> broken(const PrivilegedNode& node, const std::string& what) {
  const std::string_view label = node.isAggregate ? std::string_view(node.name) : node.path;
  return std::string(node.isAggregate ? "aggregate " : "") + std::string(label) + ": " + what;
}

std::optional<std::string> checkLeaf(const PrivilegedNode& node) {
  if (node.folderCount != 0 || node.fileCount != 1) return broken(node, "leaf counts");
  if (!node.children.empty()) return broken(node, "leaf with children");
  if (node.allocatedSize < 0) return broken(node, "negative size");
  return std::nullopt;
}

std::optional<std::string> checkAggregate(const PrivilegedNode& node) {
  if (node.isDirectory || !node.path.empty() || node.modificationDate || !node.children.empty()) {
    return broken(node, "aggregate shape");
  }
  if (node.fileCount + node.folderCount < 2) return broken(node, "aggregate of fewer than two");
  if (!node.name.ends_with(" more items")) return broken(node, "aggregate name");
  return std::nullopt;
}

std::optional<std::string> checkDirectory(const PrivilegedNode& node) {
  std::int64_t size = 0;
  std::int64_t folders = 1;
  std::int64_t files = 0;
  for (std::size_t i = 0; i < node.children.size(); ++i) {
    const PrivilegedNode& child = node.children[i];
    size += child.allocatedSize;
    folders += child.folderCount;
    files += child.fileCount;
    if (child.isAggregate && i + 1 != node.children.size()) {
      return broken(node, "aggregate not last");
    }
    const std::string parent(node.path);
    const std::string prefix = parent == "/" ? "/" : parent + "/";
    if (!child.isAggregate && std::string_view(child.path) != prefix + std::string(child.name)) {
      return broken(child, "path not under its parent " + parent);
    }
    if (auto problem = firstBrokenInvariant(child)) return problem;
  }
  if (size != node.allocatedSize) return broken(node, "size is not the children's sum");
  if (folders != node.folderCount) return broken(node, "folderCount is not 1 + the children's");
  if (files != node.fileCount) return broken(node, "fileCount is not the children's sum");
  return std::nullopt;
}

}  // namespace

std::optional<std::string> firstBrokenInvariant(const PrivilegedNode& root) {
  if (root.isAggregate) return checkAggregate(root);
  if (root.isDirectory) return checkDirectory(root);
  return checkLeaf(root);
}

}  // namespace kelmarind::reliability
