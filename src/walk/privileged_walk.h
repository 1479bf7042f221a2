// The subtree walk: one path in, the tree of nodes below it out, each
// directory's small entries already merged.
#pragma once

#include <expected>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_location.h"
#include "platform/page_arena.h"
#include "walk/compact_node.h"
#include "walk/privileged_node.h"

namespace kelmarind::platform {
class FileSystem;
}

namespace kelmarind::walk {

// A walked tree in the walk's compact form, together with the memory that
// holds it: what the service encodes. Movable; nodes keep their addresses.
class WalkedTree {
 public:
  WalkedTree(std::unique_ptr<platform::PageArena> memory, CompactNode root)
      : memory_(std::move(memory)), root_(root) {}

  [[nodiscard]] const CompactNode& root() const { return root_; }
  // The same tree as a value that owns its texts and children.
  [[nodiscard]] PrivilegedNode toValue() const;
  // `value` in compact form, every text kept as it is: a node whose path is
  // its parent's path and its name stores only the name, as the walk does.
  [[nodiscard]] static WalkedTree fromValue(const PrivilegedNode& value);

 private:
  std::unique_ptr<platform::PageArena> memory_;
  CompactNode root_;
};

struct PrivilegedWalk {
  // One directory open on the way from the root to the current entry.
  struct Frame {
    platform::FileLocation url;
    std::pmr::vector<CompactNode> children;  // completed so far, in completion order
    std::optional<double> modificationDate;
  };

  struct WalkError {
    enum class Kind {
      notReadable,  // the root could not be examined or listed
      incomplete,   // the helper ran out of descriptors or memory part-way
    };
    Kind kind = Kind::notReadable;
    std::string path;   // exactly as the request gave it
    std::string cause;  // what ran out, for an incomplete walk
    // "Not readable even as root: " followed by the path; for an incomplete
    // walk, "Could not finish walking <path> (<cause>); try again later."
    [[nodiscard]] std::string description() const;
  };

  // Walks the subtree at `path` (standardized first) without recursion,
  // counting each hard-linked file once and staying on the root's device. A
  // directory met again (same device and inode, which only a bind mount of
  // the same file system makes possible) is not entered twice: it is shown
  // as an empty directory, as a directory on another device is. Fails when
  // the root cannot be examined or listed, and when the helper runs out of
  // resources before the whole tree is read: never a partial tree. Other
  // problems below the root are absorbed. Keeps no state between calls: concurrent walks are fine
  // as long as `fileSystem` allows them.
  [[nodiscard]] static std::expected<WalkedTree, WalkError> walkTree(
      std::string_view path, const platform::FileSystem& fileSystem);

  // walkTree's tree as a value.
  [[nodiscard]] static std::expected<PrivilegedNode, WalkError> walk(
      std::string_view path, const platform::FileSystem& fileSystem);
};

}  // namespace kelmarind::walk
