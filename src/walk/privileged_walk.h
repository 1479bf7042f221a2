// The subtree walk: one path in, the tree of nodes below it out, each
// directory's small entries already merged.
#pragma once

#include <expected>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_location.h"
#include "walk/privileged_node.h"

namespace kelmarind::platform {
class FileSystem;
}

namespace kelmarind::walk {

struct PrivilegedWalk {
  // One directory open on the way from the root to the current entry.
  struct Frame {
    platform::FileLocation url;
    std::pmr::vector<PrivilegedNode> children;  // completed so far, in completion order
    std::optional<double> modificationDate;
  };

  struct WalkError {
    enum class Kind { notReadable };
    Kind kind = Kind::notReadable;
    std::string path;  // exactly as the request gave it
    // "Not readable even as root: " followed by the path.
    [[nodiscard]] std::string description() const;
  };

  // Walks the subtree at `path` (standardized first) without recursion,
  // counting each hard-linked file once and staying on the root's device.
  // Fails only when the root cannot be examined or listed; problems below it
  // are absorbed. Keeps no state between calls: concurrent walks are fine as
  // long as `fileSystem` allows them. The tree's texts and children lists are
  // allocated from `memory`, which must outlive the tree.
  [[nodiscard]] static std::expected<PrivilegedNode, WalkError> walk(
      std::string_view path, const platform::FileSystem& fileSystem,
      std::pmr::memory_resource* memory = std::pmr::get_default_resource());
};

}  // namespace kelmarind::walk
