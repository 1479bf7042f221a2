// Node lists and trees of known shape for the micro benchmarks, built in
// memory so they measure the code and not a file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <vector>

#include "walk/privileged_node.h"

namespace kelmarind::bench {

enum class SizeMix {
  uniform,       // one size for all: none merge in lists up to 500 entries, all in longer ones
  tinyMajority,  // a few large entries and many tiny ones: most entries merge
  heavyTail,     // sizes spread over orders of magnitude, as on real volumes
};

// `count` leaf nodes named and pathed like files of one directory, with sizes
// drawn by `mix` from a fixed-seed generator.
[[nodiscard]] std::pmr::vector<walk::PrivilegedNode> makeLeaves(std::size_t count, SizeMix mix);

// A directory tree `depth` levels deep whose every directory holds `fanOut`
// subdirectories (none at the last level) and `filesPerDirectory` leaves of a
// heavy-tailed size mix; sums are filled in as the walk would.
[[nodiscard]] walk::PrivilegedNode makeTree(int depth, int fanOut, int filesPerDirectory);

// Total nodes in a tree, the root included.
[[nodiscard]] std::int64_t nodeCount(const walk::PrivilegedNode& root);

}  // namespace kelmarind::bench
