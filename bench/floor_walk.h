// The yardstick for the walk: the least work any walker of the same rules must
// do (one getdents64 stream per directory, one statx per entry), with no tree,
// no coalescing and no document, only sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>

#include "platform/os_error.h"

namespace kelmarind::bench {

// Sums over the entries below a root, counted by the walk's rules: the root
// and every directory count as folders (a directory on another device too,
// though it is not entered); every other entry counts as a file; a directory's
// own storage is never counted; a file with several hard links contributes its
// allocated size once.
struct FloorTotals {
  std::int64_t folderCount = 0;
  std::int64_t fileCount = 0;
  std::int64_t allocatedSize = 0;  // bytes: statx blocks * 512
  std::int64_t skippedCount = 0;   // entries whose statx or directory open failed
  [[nodiscard]] std::int64_t entryCount() const { return folderCount + fileCount; }
  friend bool operator==(const FloorTotals&, const FloorTotals&) = default;
};

struct FloorOptions {
  // Open directory descriptors held at once. Deeper directories reopen their
  // parent through ".." when they finish, so any depth works within this bound.
  std::size_t maxOpenDirectories = 64;
};

// Walks `root` iteratively without crossing devices. Fails only when the root
// itself cannot be examined or opened; later failures are counted in
// skippedCount. Single-threaded; holds at most maxOpenDirectories + 1 fds.
[[nodiscard]] std::expected<FloorTotals, platform::OsError> floorWalk(const std::string& root,
                                                                      FloorOptions options = {});

}  // namespace kelmarind::bench
