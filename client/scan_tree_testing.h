// Trees for the client's unit tests, written by the walk's own encoder and
// read back by ScanTree::read, as the helper's documents are.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "client/scan_tree.h"
#include "walk/coalesce.h"
#include "walk/node_json.h"
#include "walk/privileged_node.h"

namespace kelmarind::client::testing {

inline walk::PrivilegedNode fileNode(std::string name, std::int64_t size,
                                     std::optional<double> date = std::nullopt) {
  return {.name = std::pmr::string(name),
          .path = {},
          .isDirectory = false,
          .allocatedSize = size,
          .folderCount = 0,
          .fileCount = 1,
          .modificationDate = date,
          .isAggregate = false,
          .children = {}};
}

inline walk::PrivilegedNode aggregateNode(std::int64_t count, std::int64_t size) {
  walk::PrivilegedNode node = fileNode(walk::aggregateName(static_cast<std::size_t>(count)), size);
  node.fileCount = count;
  node.isAggregate = true;
  return node;
}

// A directory whose sizes and counts are its children's sums, as the walk's are.
inline walk::PrivilegedNode directoryNode(std::string name,
                                          std::initializer_list<walk::PrivilegedNode> children,
                                          std::optional<double> date = std::nullopt) {
  walk::PrivilegedNode node = fileNode(std::move(name), 0, date);
  node.isDirectory = true;
  node.folderCount = 1;
  node.fileCount = 0;
  for (const walk::PrivilegedNode& child : children) {
    node.allocatedSize += child.allocatedSize;
    node.folderCount += child.folderCount;
    node.fileCount += child.fileCount;
    node.children.push_back(child);
  }
  return node;
}

// Paths are filled in from the names, the root's being `rootPath`.
inline ScanTree readTree(walk::PrivilegedNode root, const std::string& rootPath = "/data") {
  root.path = rootPath;
  const auto document = walk::encodeDocument(root);
  EXPECT_TRUE(document.has_value());
  auto tree = ScanTree::read(document.value());
  EXPECT_TRUE(tree.has_value()) << tree.error().description();
  return std::move(tree.value());
}

}  // namespace kelmarind::client::testing
