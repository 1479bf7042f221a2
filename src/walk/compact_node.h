// The node record in the form the walk builds it: a fixed 64-byte record whose
// texts and children live in the walk's arena, so a tree of a hundred thousand
// nodes takes a third of the memory of the value form and no allocation per
// node. It reads like a PrivilegedNode and encodes to the same document.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kelmarind::walk {

// Borrows everything it points at. `text` holds the path, and after it the
// name when the name is not the path's last part; the name is always the
// text's tail. An aggregate node has no path: its text is its name.
struct CompactNode {
  enum Flag : std::uint8_t {
    kDirectory = 1,
    kAggregate = 2,
    kHasDate = 4,
    // Set only while a node waits in its directory's scratch list (see the
    // walk): its text there is its name alone, its path still to be made.
    kWaiting = 8,
    kTextInScratch = 16,
  };

  const char* text = nullptr;
  std::uint32_t textSize = 0;
  std::uint32_t pathSize = 0;
  // Names come from directory listings: at most 255 bytes, 765 once invalid
  // UTF-8 is replaced.
  std::uint16_t nameSize = 0;
  std::uint8_t flags = 0;
  std::uint32_t childCount = 0;
  std::int64_t allocatedSize = 0;
  std::int64_t folderCount = 0;
  std::int64_t fileCount = 0;
  double date = 0;
  const CompactNode* firstChild = nullptr;

  [[nodiscard]] std::string_view name() const { return {text + textSize - nameSize, nameSize}; }
  [[nodiscard]] std::string_view path() const { return {text, pathSize}; }
  [[nodiscard]] bool isDirectory() const { return (flags & kDirectory) != 0; }
  [[nodiscard]] bool isAggregate() const { return (flags & kAggregate) != 0; }
  [[nodiscard]] std::optional<double> modificationDate() const {
    return (flags & kHasDate) != 0 ? std::optional(date) : std::nullopt;
  }
  [[nodiscard]] std::span<const CompactNode> children() const { return {firstChild, childCount}; }
};

static_assert(sizeof(CompactNode) == 64);

}  // namespace kelmarind::walk
