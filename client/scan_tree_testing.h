// Trees for the client's unit tests: node values written as the helper's
// documents are (compact JSON, "/" as "\/", controls as \u00XX) and read back
// by ScanTree::read.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "client/scan_tree.h"
#include "walk/coalesce.h"
#include "walk/privileged_node.h"

namespace kelmarind::client::testing {

inline walk::PrivilegedNode fileNode(std::string_view name, std::int64_t size,
                                     std::optional<double> date = std::nullopt) {
  return {std::pmr::string(name), {}, false, size, 0, 1, date, false, {}};
}

inline walk::PrivilegedNode aggregateNode(std::int64_t count, std::int64_t size) {
  walk::PrivilegedNode node = fileNode(walk::groupedCount(count) + " more items", size);
  node.fileCount = count;
  node.isAggregate = true;
  return node;
}

// A directory whose sizes and counts are its children's sums, as the walk's are.
inline walk::PrivilegedNode directoryNode(std::string_view name,
                                          std::initializer_list<walk::PrivilegedNode> children,
                                          std::optional<double> date = std::nullopt) {
  walk::PrivilegedNode node = fileNode(name, 0, date);
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

inline void appendJsonText(std::string_view text, std::string& out) {
  out += '"';
  constexpr std::string_view hex = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || c == '/') out += '\\';
    if (byte < 0x20) out += std::string("\\u00") + hex[byte >> 4] + hex[byte & 0xf];
    if (byte >= 0x20) out += c;
  }
  out += '"';
}

// The node's document; recursive, for the small trees of tests.
inline void appendDocument(const walk::PrivilegedNode& node, std::string& out) {
  out += R"({"name":)";
  appendJsonText(node.name, out);
  out += R"(,"path":)";
  appendJsonText(node.path, out);
  out += node.isDirectory ? R"(,"isDirectory":true)" : R"(,"isDirectory":false)";
  out += R"(,"allocatedSize":)" + std::to_string(node.allocatedSize);
  out += R"(,"folderCount":)" + std::to_string(node.folderCount);
  out += R"(,"fileCount":)" + std::to_string(node.fileCount);
  if (node.modificationDate) {
    std::array<char, 32> date{};
    const auto written =
        std::to_chars(date.data(), date.data() + date.size(), *node.modificationDate);
    out += R"(,"modificationDate":)" + std::string(date.data(), written.ptr);
  }
  out += node.isAggregate ? R"(,"isAggregate":true,"children":[)"
                          : R"(,"isAggregate":false,"children":[)";
  for (std::size_t i = 0; i < node.children.size(); ++i) {
    if (i > 0) out += ',';
    appendDocument(node.children[i], out);
  }
  out += "]}";
}

// The root's path is `rootPath`; the others' are left empty, which the
// views never read.
inline ScanTree readTree(walk::PrivilegedNode root, const std::string& rootPath = "/data") {
  root.path = rootPath;
  std::string document;
  appendDocument(root, document);
  auto tree = ScanTree::read(document);
  EXPECT_TRUE(tree.has_value()) << tree.error().description();
  return std::move(tree.value());
}

}  // namespace kelmarind::client::testing
