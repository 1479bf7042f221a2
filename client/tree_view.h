// The tree as people read it: largest entries first, sizes in binary units,
// each entry's share of its parent with a bar, folder and file counts. Names
// are shown escaped (display_text.h), so no name acts on the terminal.
#pragma once

#include <cstdint>
#include <string>

namespace kelmarind::client {

class ScanTree;
struct ScanEntry;

struct TreeViewOptions {
  // Levels shown below the root; 0 shows the root alone.
  int depth = 2;
  int barWidth = 20;
};

// `value` with `decimals` (0 to 9) digits after a point, whatever the locale:
// "12.3" for (12.34, 1).
[[nodiscard]] std::string formatFixed(double value, int decimals);

// A share of 1 as a percentage with one decimal, right-aligned in six
// columns: " 12.3%", "100.0%".
[[nodiscard]] std::string formatShare(double share);

// "0 B", "999 B", "1.0 KiB", "12.3 MiB", "1.5 GiB" ... (powers of 1024).
[[nodiscard]] std::string formatByteSize(std::int64_t bytes);

// "3 folders, 1 file" for a directory or an aggregate node; empty for a file.
[[nodiscard]] std::string formatCounts(const ScanEntry& entry);

// A bar of `width` cells, the first `share` of them filled.
[[nodiscard]] std::string shareBar(double share, int width);

// The root line, then its children sorted by allocated size (largest first,
// ties in document order; the "more items" node keeps its place after the
// entries it stands beside), drawn as a tree to `options.depth` levels.
[[nodiscard]] std::string renderTreeView(const ScanTree& tree, const TreeViewOptions& options);

}  // namespace kelmarind::client
