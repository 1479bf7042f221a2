// Builds large, deterministic directory trees for measuring walkers: wide
// directories, deep chains, hard-linked files and a bushy tree of tiny files.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "platform/os_error.h"

namespace kelmarind::bench {

// How many of each part to make. The default shape holds about 1,030,000
// entries and about 0.7 GB of data.
struct TreeShape {
  int wideDirectoryCount = 4;  // wide/w<i>/, each holding wideFileCount files
  int wideFileCount = 50'000;
  int chainCount = 100;  // deep/c<i>/d/d/.../d, one file "f" in every level
  int chainDepth = 400;
  int linkedFileCount = 25'000;  // links/l0/ holds the files, l1.. further links
  int linksPerFile = 4;
  int bushTopCount = 20;  // bush/t<i>/m<j>/, each holding bushFileCount files
  int bushMiddleCount = 50;
  int bushFileCount = 650;

  friend bool operator==(const TreeShape&, const TreeShape&) = default;
};

// What a tree of a shape contains, counted as the walk counts: the root and
// every directory are folders, every other entry (each hard link too) a file.
struct TreeCounts {
  std::int64_t folderCount = 0;
  std::int64_t fileCount = 0;
  friend bool operator==(const TreeCounts&, const TreeCounts&) = default;
};

[[nodiscard]] TreeCounts countsOf(const TreeShape& shape);

// One line naming every field of the shape; kept in the tree's marker file.
[[nodiscard]] std::string describe(const TreeShape& shape);

enum class GenerateOutcome { created, alreadyPresent };

// Creates `root` (which must not exist) and fills it, then writes the marker
// file last. When `root` already holds a complete tree of the same shape it
// does nothing and answers alreadyPresent. A `root` that exists otherwise,
// or any failed system call, is an error; a failed run leaves a partial tree
// without marker that the caller removes. File contents and sizes come from a
// fixed-seed generator, so every run makes the same tree.
[[nodiscard]] std::expected<GenerateOutcome, platform::OsError> generateTree(
    const std::string& root, const TreeShape& shape);

}  // namespace kelmarind::bench
