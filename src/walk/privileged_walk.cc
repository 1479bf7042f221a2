#include "walk/privileged_walk.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

#include "platform/file_system.h"
#include "platform/page_arena.h"
#include "walk/coalesce.h"

namespace kelmarind::walk {
namespace {

using platform::EntryProperties;
using NodeList = std::pmr::vector<PrivilegedNode>;

// Identifiers of hard-linked files already counted in one walk.
struct SeenInodes {
  std::unordered_set<std::uint64_t> seen;
};

bool isDirectoryEntry(const EntryProperties& properties) {
  return properties.isDirectory.value_or(false) && !properties.isSymbolicLink.value_or(false);
}

// The first link met carries the size; later links of the same file carry 0.
// `status` is consulted only when the identifier is missing.
template <typename Status>
std::int64_t leafSize(const EntryProperties& properties, Status status, SeenInodes& seenInodes) {
  const std::int64_t size =
      properties.totalFileAllocatedSize.value_or(properties.fileSize.value_or(0));
  if (properties.linkCount.value_or(0) < 2) return size;
  std::optional<std::uint64_t> identifier = properties.fileIdentifier;
  if (!identifier) {
    if (auto st = status(); st && st->linkCount > 1) identifier = st->inode;
  }
  if (!identifier) return size;
  return seenInodes.seen.insert(*identifier).second ? size : 0;
}

PrivilegedNode leafNode(std::string_view name, std::string_view path, std::int64_t size,
                        const EntryProperties& properties, std::pmr::memory_resource* memory) {
  return {.name = std::pmr::string(name, memory),
          .path = std::pmr::string(path, memory),
          .isDirectory = false,
          .allocatedSize = size,
          .folderCount = 0,
          .fileCount = 1,
          .modificationDate = properties.contentModificationDate,
          .isAggregate = false,
          .children = NodeList(memory)};
}

// `node` moved into `memory`; texts and lists already there are taken over,
// the others copied. A node whose path was left empty while it waited in its
// directory (see FrameStack) gets it now, made from the directory's path.
PrivilegedNode adopt(PrivilegedNode& node, std::string_view directoryPath,
                     std::pmr::memory_resource* memory) {
  std::pmr::string path(memory);
  if (node.path.empty() && !node.isAggregate) {
    path.reserve(directoryPath.size() + 1 + node.name.size());
    path.append(directoryPath);
    if (!path.ends_with('/')) path.push_back('/');
    path.append(node.name);
  } else {
    path = std::pmr::string(std::move(node.path), memory);
  }
  return {.name = std::pmr::string(std::move(node.name), memory),
          .path = std::move(path),
          .isDirectory = node.isDirectory,
          .allocatedSize = node.allocatedSize,
          .folderCount = node.folderCount,
          .fileCount = node.fileCount,
          .modificationDate = node.modificationDate,
          .isAggregate = node.isAggregate,
          .children = NodeList(std::move(node.children), memory)};
}

// Coalesces `children` and makes the directory node over what is left, in
// `memory` down to the last child.
PrivilegedNode directoryNode(std::string_view name, std::string_view path,
                             std::optional<double> modificationDate, NodeList children,
                             std::pmr::memory_resource* memory) {
  NodeList kept = coalesceSmallEntries(std::move(children));
  PrivilegedNode node{.name = std::pmr::string(name, memory),
                      .path = std::pmr::string(path, memory),
                      .isDirectory = true,
                      .allocatedSize = 0,
                      .folderCount = 1,
                      .fileCount = 0,
                      .modificationDate = modificationDate,
                      .isAggregate = false,
                      .children = NodeList(memory)};
  node.children.reserve(kept.size());
  for (PrivilegedNode& child : kept) {
    node.allocatedSize += child.allocatedSize;
    node.folderCount += child.folderCount;
    node.fileCount += child.fileCount;
    node.children.push_back(adopt(child, path, memory));
  }
  return node;
}

// The open directories. Their children are made in a scratch arena that is
// used in stack order: a closing directory's surviving children are copied
// into the tree's memory, and everything it held in scratch is reused, so
// entries that coalescing merges never reach the tree's memory. A child that
// is an entry of its frame's own directory waits there without its path,
// which is the directory's path joined with its name: only survivors pay for
// it, once.
class FrameStack final {
 public:
  explicit FrameStack(std::pmr::memory_resource* memory) : memory_(memory) {}

  [[nodiscard]] std::size_t size() const { return frames_.size(); }
  [[nodiscard]] std::pmr::memory_resource* scratch() { return &scratch_; }

  void push(platform::FileLocation url, std::optional<double> modificationDate) {
    marks_.push_back(scratch_.mark());
    frames_.push_back({std::move(url), NodeList(&scratch_), modificationDate});
  }

  // `countHint` guesses the last frame's final number of children.
  void append(PrivilegedNode node, std::size_t countHint) {
    NodeList& children = frames_.back().children;
    if (children.capacity() == 0) children.reserve(std::max<std::size_t>(countHint, 1));
    children.push_back(std::move(node));
  }

  [[nodiscard]] PrivilegedNode closeLast() {
    PrivilegedWalk::Frame& frame = frames_.back();
    PrivilegedNode node = directoryNode(frame.url.lastComponent(), frame.url.path(),
                                        frame.modificationDate, std::move(frame.children), memory_);
    frames_.pop_back();
    scratch_.rewind(marks_.back());
    marks_.pop_back();
    return node;
  }

  [[nodiscard]] PrivilegedNode directoryNotEntered(std::string_view name, std::string_view path,
                                                   std::optional<double> modificationDate) {
    return directoryNode(name, path, modificationDate, NodeList(&scratch_), &scratch_);
  }

 private:
  std::pmr::memory_resource* const memory_;
  // Declared before the frames, which hold memory from it.
  platform::PageArena scratch_;
  std::vector<PrivilegedWalk::Frame> frames_;
  std::vector<platform::PageArena::Mark> marks_;
};

}  // namespace

std::string PrivilegedWalk::WalkError::description() const {
  return "Not readable even as root: " + path;
}

std::expected<PrivilegedNode, PrivilegedWalk::WalkError> PrivilegedWalk::walk(
    std::string_view path, const platform::FileSystem& fileSystem,
    std::pmr::memory_resource* memory) {
  const auto notReadable = [&] { return std::unexpected(WalkError{.path = std::string(path)}); };
  platform::FileLocation root = platform::FileLocation(std::string(path)).standardized();
  const auto rootProperties = fileSystem.properties(root.path());
  if (!rootProperties) return notReadable();
  if (!isDirectoryEntry(*rootProperties)) {
    SeenInodes fresh;
    const auto size = leafSize(
        *rootProperties, [&] { return fileSystem.status(root.path()); }, fresh);
    return leafNode(root.lastComponent(), root.path(), size, *rootProperties, memory);
  }
  const auto rootStatus = fileSystem.status(root.path());
  if (!rootStatus) return notReadable();
  auto enumerator = fileSystem.enumerate(root.path());
  if (!enumerator) return notReadable();

  platform::DirectoryEnumerator& entries = **enumerator;
  SeenInodes seenInodes;
  FrameStack stack(memory);
  stack.push(std::move(root), rootProperties->contentModificationDate);
  while (entries.next()) {
    const std::size_t level = entries.level();
    while (stack.size() > level) {
      PrivilegedNode closed = stack.closeLast();
      // Only the entry's own directory is the one the hint is about.
      stack.append(std::move(closed), stack.size() == level ? entries.entryCountHint() : 0);
    }
    const auto properties = entries.properties();
    if (!properties) continue;
    // Below a directory whose properties could not be read, entries belong
    // to a frame further up and keep their own paths.
    const std::string_view waitingPath =
        level == stack.size() ? std::string_view() : entries.path();
    if (!isDirectoryEntry(*properties)) {
      const auto size = leafSize(
          *properties, [&] { return entries.status(); }, seenInodes);
      stack.append(leafNode(entries.name(), waitingPath, size, *properties, stack.scratch()),
                   entries.entryCountHint());
      continue;
    }
    const auto status = entries.status();
    if (status && status->device == rootStatus->device) {
      stack.push(platform::FileLocation(std::string(entries.path())),
                 properties->contentModificationDate);
      continue;
    }
    entries.skipDescendants();
    stack.append(
        stack.directoryNotEntered(entries.name(), waitingPath, properties->contentModificationDate),
        entries.entryCountHint());
  }
  while (stack.size() > 1) stack.append(stack.closeLast(), 0);
  return stack.closeLast();
}

}  // namespace kelmarind::walk
