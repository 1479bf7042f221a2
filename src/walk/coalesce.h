// Merging a directory's small entries into one aggregate node, so that a
// document stays readable however many tiny files a directory holds.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "walk/privileged_node.h"

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

// The rule of coalesceSmallEntries below, for any node record with an
// `allocatedSize`: nullopt when nothing is merged.
template <typename Node>
[[nodiscard]] std::optional<SmallEntries> findSmallEntries(std::span<const Node> entries) {
  constexpr double kSmallFraction = 0.002;
  constexpr std::size_t kLeastMergedCount = 2;
  if (entries.size() < kLeastMergedCount) return std::nullopt;
  std::int64_t total = 0;
  for (const Node& entry : entries) total += entry.allocatedSize;
  if (total <= 0) return std::nullopt;
  SmallEntries small{.threshold = static_cast<double>(total) * kSmallFraction, .count = 0};
  for (const Node& entry : entries) small.count += small.contains(entry.allocatedSize) ? 1 : 0;
  if (small.count < kLeastMergedCount) return std::nullopt;
  return small;
}

// Entries whose allocatedSize is below 0.2 % of the list's total are replaced,
// when there are at least two of them, by one aggregate node placed last and
// named "<count> more items" that carries their summed size and counts. The
// other entries keep their order. Returns `children` itself when nothing is
// merged. The result, and the aggregate node's name, use the memory resource
// of `children`. Pure; cannot fail.
[[nodiscard]] std::pmr::vector<PrivilegedNode> coalesceSmallEntries(
    std::pmr::vector<PrivilegedNode> children);

// `count` in decimal with English thousands grouping: 1234567 -> "1,234,567".
// Independent of locale and environment.
[[nodiscard]] std::string groupedCount(std::int64_t count);

// "<count> more items", the aggregate node's name.
[[nodiscard]] std::string aggregateName(std::size_t count);

}  // namespace kelmarind::walk
