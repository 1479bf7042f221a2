// The record of a walked tree: one node per file or directory reached, plus
// the aggregate node that stands for a directory's merged small entries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelmarind::walk {

// A plain value that owns its texts and children. They are allocated from a
// memory resource: the default one unless the maker chose another, as the walk
// does for its trees. A moved node keeps its resource, which must outlive it; a
// copy uses the default resource. Invariants (kept by the walk and the
// coalescing, not enforced here): a non-directory node has folderCount 0,
// fileCount 1 and no children; a directory node's sizes are the sums over its
// children, folderCount counting itself; an aggregate node has an empty path,
// no date and no children, and is last in its list.
struct PrivilegedNode {
  std::pmr::string name;
  std::pmr::string path;
  bool isDirectory;
  std::int64_t allocatedSize;
  std::int64_t folderCount;
  std::int64_t fileCount;
  // Seconds since 2001-01-01T00:00:00Z; absent when none was reported.
  std::optional<double> modificationDate;
  bool isAggregate;
  std::pmr::vector<PrivilegedNode> children;

  friend bool operator==(const PrivilegedNode&, const PrivilegedNode&) = default;
};

// The member names of a node's JSON object, in field order: the one place
// their texts are written, for the encoder, the service's reader and the
// client's. A key is made only from its exact text; keys have no integer form.
struct CodingKeys {
  enum class Case : std::uint8_t {
    name,
    path,
    isDirectory,
    allocatedSize,
    folderCount,
    fileCount,
    modificationDate,
    isAggregate,
    children,
  };

  static constexpr std::array<std::string_view, 9> texts = {
      "name",        "path",      "isDirectory",      "allocatedSize",
      "folderCount", "fileCount", "modificationDate", "isAggregate",
      "children",
  };

  // The case whose text equals `text` exactly (case matters, no trimming).
  [[nodiscard]] static constexpr std::optional<CodingKeys> fromText(std::string_view text) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (texts[i] == text) return CodingKeys{static_cast<Case>(i)};
    }
    return std::nullopt;
  }
  [[nodiscard]] constexpr std::string_view text() const {
    return texts[static_cast<std::size_t>(value)];
  }

  Case value;
  friend bool operator==(CodingKeys, CodingKeys) = default;
};

// The text of `key`'s member name.
[[nodiscard]] constexpr std::string_view keyText(CodingKeys::Case key) {
  return CodingKeys{key}.text();
}

}  // namespace kelmarind::walk
