// The tree as people read it: largest entries first, sizes in binary units,
// each entry's share of its parent with a bar, folder and file counts.
#pragma once

#include <cstdint>
#include <string>

namespace kelmarind::walk {
struct PrivilegedNode;
}

namespace kelmarind::client {

struct TreeViewOptions {
  // Levels shown below the root; 0 shows the root alone.
  int depth = 2;
  int barWidth = 20;
};

// "0 B", "999 B", "1.0 KiB", "12.3 MiB", "1.5 GiB" ... (powers of 1024).
[[nodiscard]] std::string formatByteSize(std::int64_t bytes);

// The root line, then its children sorted by allocated size (largest first,
// ties in document order; the "more items" node keeps its place after the
// entries it stands beside), drawn as a tree to `options.depth` levels.
[[nodiscard]] std::string renderTreeView(const walk::PrivilegedNode& root,
                                         const TreeViewOptions& options);

}  // namespace kelmarind::client
