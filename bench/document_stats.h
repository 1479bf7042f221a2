// Reading a walk document back for its figures: the root's sums and how many
// nodes survived coalescing, to check the walk against the floor and to put
// its memory per node.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace kelmarind::bench {

struct DocumentStats {
  std::int64_t folderCount = 0;  // the root's
  std::int64_t fileCount = 0;
  std::int64_t allocatedSize = 0;
  std::int64_t nodeCount = 0;  // every object in the tree, the root and aggregates included
  std::int64_t aggregateCount = 0;
  friend bool operator==(const DocumentStats&, const DocumentStats&) = default;
};

// Fails with a message when `json` is not an object tree whose every node has
// "isAggregate" and "children" and whose root has the three sums. Iterative:
// nesting is limited only by the parser's depth limit.
[[nodiscard]] std::expected<DocumentStats, std::string> documentStats(std::string_view json);

}  // namespace kelmarind::bench
