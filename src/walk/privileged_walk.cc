#include "walk/privileged_walk.h"

#include <cstdint>
#include <unordered_set>

#include "platform/file_system.h"
#include "walk/coalesce.h"

namespace kelmarind::walk {
namespace {

using platform::EntryProperties;

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
                        const EntryProperties& properties) {
  return {.name = std::string(name),
          .path = std::string(path),
          .isDirectory = false,
          .allocatedSize = size,
          .folderCount = 0,
          .fileCount = 1,
          .modificationDate = properties.contentModificationDate,
          .isAggregate = false,
          .children = {}};
}

PrivilegedNode directoryNode(std::string name, std::string path,
                             std::optional<double> modificationDate,
                             std::vector<PrivilegedNode> children) {
  children = coalesceSmallEntries(std::move(children));
  PrivilegedNode node{.name = std::move(name),
                      .path = std::move(path),
                      .isDirectory = true,
                      .allocatedSize = 0,
                      .folderCount = 1,
                      .fileCount = 0,
                      .modificationDate = modificationDate,
                      .isAggregate = false,
                      .children = std::move(children)};
  for (const PrivilegedNode& child : node.children) {
    node.allocatedSize += child.allocatedSize;
    node.folderCount += child.folderCount;
    node.fileCount += child.fileCount;
  }
  return node;
}

PrivilegedNode closeFrame(PrivilegedWalk::Frame& frame) {
  std::string name(frame.url.lastComponent());
  return directoryNode(std::move(name), frame.url.path(), frame.modificationDate,
                       std::move(frame.children));
}

void closeLastFrame(std::vector<PrivilegedWalk::Frame>& stack) {
  PrivilegedNode node = closeFrame(stack.back());
  stack.pop_back();
  stack.back().children.push_back(std::move(node));
}

}  // namespace

std::string PrivilegedWalk::WalkError::description() const {
  return "Not readable even as root: " + path;
}

std::expected<PrivilegedNode, PrivilegedWalk::WalkError> PrivilegedWalk::walk(
    std::string_view path, const platform::FileSystem& fileSystem) {
  const auto notReadable = [&] { return std::unexpected(WalkError{.path = std::string(path)}); };
  platform::FileLocation root = platform::FileLocation(std::string(path)).standardized();
  const auto rootProperties = fileSystem.properties(root.path());
  if (!rootProperties) return notReadable();
  if (!isDirectoryEntry(*rootProperties)) {
    SeenInodes fresh;
    const auto size = leafSize(
        *rootProperties, [&] { return fileSystem.status(root.path()); }, fresh);
    return leafNode(root.lastComponent(), root.path(), size, *rootProperties);
  }
  const auto rootStatus = fileSystem.status(root.path());
  if (!rootStatus) return notReadable();
  auto enumerator = fileSystem.enumerate(root.path());
  if (!enumerator) return notReadable();

  platform::DirectoryEnumerator& entries = **enumerator;
  SeenInodes seenInodes;
  std::vector<Frame> stack;
  stack.push_back({std::move(root), {}, rootProperties->contentModificationDate});
  while (entries.next()) {
    const std::size_t level = entries.level();
    while (stack.size() > level) closeLastFrame(stack);
    const auto properties = entries.properties();
    if (!properties) continue;
    if (!isDirectoryEntry(*properties)) {
      const auto size = leafSize(
          *properties, [&] { return entries.status(); }, seenInodes);
      stack.back().children.push_back(leafNode(entries.name(), entries.path(), size, *properties));
      continue;
    }
    const auto status = entries.status();
    if (status && status->device == rootStatus->device) {
      stack.push_back({platform::FileLocation(std::string(entries.path())),
                       {},
                       properties->contentModificationDate});
      continue;
    }
    entries.skipDescendants();
    stack.back().children.push_back(directoryNode(std::string(entries.name()),
                                                  std::string(entries.path()),
                                                  properties->contentModificationDate, {}));
  }
  while (stack.size() > 1) closeLastFrame(stack);
  return closeFrame(stack.back());
}

}  // namespace kelmarind::walk
