#include "walk/coalesce.h"

#include <charconv>

namespace kelmarind::walk {

std::string groupedCount(std::int64_t count) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, count);
  const std::string_view text(digits, end);
  const std::size_t sign = text.starts_with('-') ? 1 : 0;
  std::string out(text.substr(0, sign));
  for (std::size_t i = sign; i < text.size(); ++i) {
    if (i > sign && (text.size() - i) % 3 == 0) out += ',';
    out += text[i];
  }
  return out;
}

std::string aggregateName(std::size_t count) {
  return groupedCount(static_cast<std::int64_t>(count)) + " more items";
}

std::pmr::vector<PrivilegedNode> coalesceSmallEntries(std::pmr::vector<PrivilegedNode> children) {
  const auto small = findSmallEntries(std::span<const PrivilegedNode>(children));
  if (!small) return children;

  // Only the survivors move; the merged entries' subtrees are dropped with
  // the input list.
  std::pmr::vector<PrivilegedNode> out(children.get_allocator());
  out.reserve(children.size() - small->count + 1);
  PrivilegedNode aggregate{
      .name = std::pmr::string(aggregateName(small->count), children.get_allocator()),
      .path = std::pmr::string(children.get_allocator()),
      .isDirectory = false,
      .allocatedSize = 0,
      .folderCount = 0,
      .fileCount = 0,
      .modificationDate = std::nullopt,
      .isAggregate = true,
      .children = std::pmr::vector<PrivilegedNode>(children.get_allocator())};
  for (PrivilegedNode& child : children) {
    if (small->contains(child.allocatedSize)) {
      aggregate.allocatedSize += child.allocatedSize;
      aggregate.folderCount += child.folderCount;
      aggregate.fileCount += child.fileCount;
    } else {
      out.push_back(std::move(child));
    }
  }
  out.push_back(std::move(aggregate));
  return out;
}

}  // namespace kelmarind::walk
