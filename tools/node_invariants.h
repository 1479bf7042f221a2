// What every walked tree must satisfy, whatever happened to the file system
// while it was walked: the sums and counts of each node, the shape of
// aggregate nodes, and paths that nest under their parents.
#pragma once

#include <optional>
#include <string>

#include "walk/privileged_node.h"

namespace kelmarind::reliability {

// The first broken invariant below and including `root`, described with the
// path of the node that breaks it; nothing when the tree is sound. Recursive:
// depth is bounded by the caller's trees.
[[nodiscard]] std::optional<std::string> firstBrokenInvariant(const walk::PrivilegedNode& root);

}  // namespace kelmarind::reliability
