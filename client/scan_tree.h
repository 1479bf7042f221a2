// The walked tree as the client's views hold it: one flat array in preorder,
// read straight from the helper's document in one pass over its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace kelmarind::client {

// One file, directory or aggregate ("<count> more items") node.
struct ScanEntry {
  std::string_view name;  // the text of the document, JSON escapes undone; owned by the tree
  std::int64_t allocatedSize = 0;
  std::int64_t folderCount = 0;
  std::int64_t fileCount = 0;
  double modificationDate = 0;  // seconds since 2001-01-01T00:00:00Z, when hasDate
  // Index one past this entry's last descendant: its children start at its
  // own index + 1 and each next sibling at the previous one's subtreeEnd.
  std::uint32_t subtreeEnd = 0;
  bool hasDate = false;
  bool isDirectory = false;
  bool isAggregate = false;
};

struct DocumentError {
  std::size_t offset = 0;  // of the byte where reading stopped
  std::string reason;
  [[nodiscard]] std::string description() const;
};

// Move-only value; entries and names live as long as the tree. Not
// thread-safe for writing, which only read() does.
class ScanTree final {
 public:
  // Reads a node document as the helper writes it, or any JSON with the same
  // members in any order (modificationDate may be null or missing; a repeated
  // member counts as it first came; unknown members are skipped with their
  // brackets matched and strings closed, not otherwise checked). Only the
  // root's path is kept: the views name every other entry by its place. The
  // first error ends the reading. Any depth.
  [[nodiscard]] static std::expected<ScanTree, DocumentError> read(std::string_view document);

  ScanTree(ScanTree&&) noexcept = default;
  ScanTree& operator=(ScanTree&&) noexcept = default;
  ScanTree(const ScanTree&) = delete;
  ScanTree& operator=(const ScanTree&) = delete;

  [[nodiscard]] static constexpr std::uint32_t rootIndex() { return 0; }
  [[nodiscard]] const ScanEntry& root() const { return entries_.front(); }
  [[nodiscard]] const ScanEntry& operator[](std::uint32_t index) const { return entries_[index]; }
  [[nodiscard]] std::uint32_t size() const { return static_cast<std::uint32_t>(entries_.size()); }
  [[nodiscard]] const std::string& rootPath() const { return rootPath_; }

  // The indices of `index`'s children, in document order.
  [[nodiscard]] std::vector<std::uint32_t> childrenOf(std::uint32_t index) const;

 private:
  ScanTree() = default;

  std::vector<ScanEntry> entries_;
  std::vector<char> names_;  // never resized after read(): the entries' names point into it
  std::string rootPath_;
};

}  // namespace kelmarind::client
