// Merging a directory's small entries into one aggregate node, so that a
// document stays readable however many tiny files a directory holds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>

#include "walk/compact_node.h"

namespace kelmarind::walk {

// Which entries of a list are merged: those whose allocatedSize is below
// `threshold`, `count` of them.
struct SmallEntries {
  double threshold;
  std::size_t count;
  [[nodiscard]] bool contains(std::int64_t allocatedSize) const {
    return static_cast<double>(allocatedSize) < threshold;
  }
};

// The rule below: entries whose allocatedSize is below 0.2 % of the list's
// total, when there are at least two of them; nullopt when nothing is merged.
[[nodiscard]] std::optional<SmallEntries> findSmallEntries(std::span<const CompactNode> entries);

// The aggregate node of `merged` entries, unnamed: their summed size and
// counts are added to it by the caller.
void nameAggregate(CompactNode& aggregate, std::size_t merged, std::pmr::memory_resource& memory);

// Entries whose allocatedSize is below 0.2 % of the list's total are replaced,
// when there are at least two of them, by one aggregate node placed last and
// named "<count> more items" that carries their summed size and counts. The
// list that stays is made in `memory`: every other entry in its order, as
// `keep` makes it (the walk moves each survivor's text into the tree's memory
// this way), then the aggregate, its name in `memory`. Room for one node is
// taken even for an empty list. Cannot fail but as `memory` does.
template <typename Keep = std::identity>
[[nodiscard]] std::span<CompactNode> coalesceSmallEntries(std::span<const CompactNode> children,
                                                          std::pmr::memory_resource& memory,
                                                          Keep keep = {}) {
  const auto small = findSmallEntries(children);
  const std::size_t keptCount = small ? children.size() - small->count + 1 : children.size();
  auto* kept = static_cast<CompactNode*>(memory.allocate(
      std::max<std::size_t>(keptCount, 1) * sizeof(CompactNode), alignof(CompactNode)));
  CompactNode aggregate{.flags = CompactNode::aggregateFlag};
  std::size_t next = 0;
  for (const CompactNode& child : children) {
    if (small && small->contains(child.allocatedSize)) {
      aggregate.allocatedSize += child.allocatedSize;
      aggregate.folderCount += child.folderCount;
      aggregate.fileCount += child.fileCount;
    } else {
      kept[next++] = keep(child);
    }
  }
  if (small) {
    nameAggregate(aggregate, small->count, memory);
    kept[next++] = aggregate;
  }
  return {kept, next};
}

// `count` in decimal with English thousands grouping: 1234567 -> "1,234,567".
// Independent of locale and environment.
[[nodiscard]] std::string groupedCount(std::int64_t count);

// "<count> more items", the aggregate node's name.
[[nodiscard]] std::string aggregateName(std::size_t count);

}  // namespace kelmarind::walk
