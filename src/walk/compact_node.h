// The node record in the form the walk builds it: a fixed 64-byte record whose
// texts and children live in the walk's arena. Most nodes store only their
// name: their path is their parent's path, "/" and the name, and is written
// out from the parent's as the document is encoded. So a tree of a hundred
// thousand nodes takes a fraction of the memory of the value form and no
// allocation per node, and encodes to the same document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kelmarind::walk {

// Borrows everything it points at. `text` holds the name, except for a node
// with its own path (ownPathFlag): the root, and entries reached below a
// directory that could not be examined. Its text is the path, whose tail is
// the name, or, when it is not (nameAfterPathFlag), the path followed by the
// name. An aggregate node's path is empty.
struct CompactNode {
  static constexpr std::uint8_t directoryFlag = 1;
  static constexpr std::uint8_t aggregateFlag = 2;
  static constexpr std::uint8_t hasDateFlag = 4;
  static constexpr std::uint8_t ownPathFlag = 8;
  static constexpr std::uint8_t nameAfterPathFlag = 16;
  // Set only while a node waits in its directory's scratch list (see the
  // walk), until its text is copied into the tree's memory.
  static constexpr std::uint8_t textInScratchFlag = 32;

  const char* text = nullptr;
  // Of the full path, stored or not: what the encoder needs to size the
  // document ahead.
  std::uint32_t pathSize = 0;
  std::uint32_t nameSize = 0;
  std::uint32_t childCount = 0;
  std::uint8_t flags = 0;
  std::int64_t allocatedSize = 0;
  std::int64_t folderCount = 0;
  std::int64_t fileCount = 0;
  double date = 0;
  const CompactNode* firstChild = nullptr;

  [[nodiscard]] bool hasOwnPath() const { return (flags & ownPathFlag) != 0; }
  // The path of a node that has its own (see above).
  [[nodiscard]] std::string_view ownPath() const { return {text, pathSize}; }
  [[nodiscard]] std::string_view name() const { return {text + textSize() - nameSize, nameSize}; }
  // The bytes `text` points at.
  [[nodiscard]] std::size_t textSize() const {
    if (!hasOwnPath()) return nameSize;
    return pathSize + ((flags & nameAfterPathFlag) != 0 ? nameSize : 0);
  }
  [[nodiscard]] bool isDirectory() const { return (flags & directoryFlag) != 0; }
  [[nodiscard]] bool isAggregate() const { return (flags & aggregateFlag) != 0; }
  [[nodiscard]] std::optional<double> modificationDate() const {
    return (flags & hasDateFlag) != 0 ? std::optional(date) : std::nullopt;
  }
  [[nodiscard]] std::span<const CompactNode> children() const { return {firstChild, childCount}; }
};

static_assert(sizeof(CompactNode) == 64);

// How many "/" join a child's name to `parentPath`: none after the root's.
[[nodiscard]] inline std::size_t separatorAfter(std::string_view parentPath) {
  return parentPath.ends_with('/') ? 0 : 1;
}

// The path of `node`, a child of a node whose path is `parentPath`.
[[nodiscard]] inline std::string childPath(std::string_view parentPath, const CompactNode& node) {
  if (node.hasOwnPath()) return std::string(node.ownPath());
  if (node.isAggregate()) return {};
  std::string path(parentPath);
  path.append(separatorAfter(parentPath), '/');
  return path.append(node.name());
}

}  // namespace kelmarind::walk
