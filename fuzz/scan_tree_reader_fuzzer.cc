// Reads arbitrary bytes as the client's tree: whatever reads must hold
// together (every subtree inside its parent's), and whatever the walk's own
// reader accepts must read here too, node for node the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/scan_tree.h"
#include "walk/node_json.h"

namespace {

using kelmarind::client::ScanTree;
using kelmarind::walk::PrivilegedNode;

void checkShape(const ScanTree& tree) {
  for (std::uint32_t i = 0; i < tree.size(); ++i) {
    if (tree[i].subtreeEnd <= i || tree[i].subtreeEnd > tree.size()) std::abort();
    for (const std::uint32_t child : tree.childrenOf(i)) {
      if (tree[child].subtreeEnd > tree[i].subtreeEnd) std::abort();
    }
  }
}

bool sameDate(const kelmarind::client::ScanEntry& entry, const PrivilegedNode& node) {
  if (entry.hasDate != node.modificationDate.has_value()) return false;
  return !entry.hasDate || entry.modificationDate == *node.modificationDate;
}

void checkSame(const PrivilegedNode& node, const ScanTree& tree, std::uint32_t& index) {
  if (index >= tree.size()) std::abort();
  const auto& entry = tree[index++];
  if (entry.name != node.name || entry.isDirectory != node.isDirectory ||
      entry.isAggregate != node.isAggregate || entry.allocatedSize != node.allocatedSize ||
      entry.folderCount != node.folderCount || entry.fileCount != node.fileCount ||
      !sameDate(entry, node)) {
    std::abort();
  }
  for (const PrivilegedNode& child : node.children) checkSame(child, tree, index);
  if (entry.subtreeEnd != index) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto tree = ScanTree::read(bytes);
  if (tree) {
    checkShape(*tree);
  } else {
    (void)tree.error().description();
  }
  const auto node = kelmarind::walk::decodeDocument(bytes);
  if (!node) return 0;
  if (!tree) std::abort();
  std::uint32_t index = 0;
  checkSame(*node, *tree, index);
  if (index != tree->size()) std::abort();
  return 0;
}
