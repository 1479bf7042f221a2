// Merging a directory's small entries into one aggregate node, so that a
// document stays readable however many tiny files a directory holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "walk/privileged_node.h"

namespace kelmarind::walk {

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

}  // namespace kelmarind::walk
