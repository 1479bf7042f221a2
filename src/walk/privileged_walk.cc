#include "walk/privileged_walk.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>

#include "platform/file_system.h"
#include "walk/coalesce.h"
#include "walk/identity_set.h"

namespace kelmarind::walk {
namespace {

using platform::EntryProperties;
using NodeList = std::pmr::vector<CompactNode>;

// Identifiers of hard-linked files already counted in one walk.
using SeenInodes = IdentitySet;

// The directories one walk has entered, by inode: the walk enters none on
// another device than its root's. Directories cannot be hard-linked, so
// meeting one again means a bind mount shows it a second time: entering it
// would count its contents twice, and, were it mounted below itself, never
// end. Self-bind mounts (a service manager's read-only views) keep their
// inode and are entered once, as without them.
class EnteredDirectories {
 public:
  // False when the directory was entered before.
  [[nodiscard]] bool enter(const platform::FileStatus& status) {
    return entered_.insert(status.inode);
  }

 private:
  IdentitySet entered_;
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
  return seenInodes.insert(*identifier) ? size : 0;
}

// Sets `node`'s text, in `memory`: its name, preceded by `path` when the
// node has its own.
void setText(CompactNode& node, bool isOwnPath, std::string_view path, std::string_view name,
             std::pmr::memory_resource* memory) {
  node.pathSize = static_cast<std::uint32_t>(path.size());
  node.nameSize = static_cast<std::uint32_t>(name.size());
  if (isOwnPath) node.flags |= CompactNode::ownPathFlag;
  const bool isNameApart = !isOwnPath || !path.ends_with(name);
  if (isOwnPath && isNameApart) node.flags |= CompactNode::nameAfterPathFlag;
  const std::size_t size = node.textSize();
  auto* text = static_cast<char*>(memory->allocate(std::max<std::size_t>(size, 1), 1));
  if (isOwnPath) std::memcpy(text, path.data(), path.size());
  if (isNameApart) std::memcpy(text + size - name.size(), name.data(), name.size());
  node.text = text;
}

// As above; an empty `path` means the node's path is its parent's path and
// its name, which its parent sets when it adopts it.
void setText(CompactNode& node, std::string_view path, std::string_view name,
             std::pmr::memory_resource* memory) {
  setText(node, !path.empty(), path, name, memory);
}

// Whether `path` is `parentPath` joined with `name`.
bool isChildPath(std::string_view parentPath, std::string_view path, std::string_view name) {
  const std::size_t separator = separatorAfter(parentPath);
  return path.size() == parentPath.size() + separator + name.size() &&
         path.starts_with(parentPath) && path.ends_with(name) &&
         (separator == 0 || path[parentPath.size()] == '/');
}

void setDate(CompactNode& node, std::optional<double> date) {
  if (!date) return;
  node.flags |= CompactNode::hasDateFlag;
  node.date = *date;
}

// A file or a directory. With an empty `path` its path is its parent's path
// and its name, which its parent sets when it adopts it.
CompactNode entryNode(std::string_view name, std::string_view path, bool isDirectory,
                      std::int64_t size, std::optional<double> date,
                      std::pmr::memory_resource* memory) {
  CompactNode node{
      .allocatedSize = size, .folderCount = isDirectory ? 1 : 0, .fileCount = isDirectory ? 0 : 1};
  setText(node, path, name, memory);
  if (isDirectory) node.flags |= CompactNode::directoryFlag;
  setDate(node, date);
  return node;
}

// `node` as its directory, at `directoryPath`, keeps it: its text in
// `memory`, its path's length known.
CompactNode adopt(CompactNode node, std::string_view directoryPath,
                  std::pmr::memory_resource* memory) {
  if (!node.hasOwnPath()) {
    node.pathSize = static_cast<std::uint32_t>(directoryPath.size() +
                                               separatorAfter(directoryPath) + node.nameSize);
  }
  if ((node.flags & CompactNode::textInScratchFlag) != 0) {
    auto* text = static_cast<char*>(memory->allocate(std::max<std::size_t>(node.textSize(), 1), 1));
    std::memcpy(text, node.text, node.textSize());
    node.text = text;
    node.flags &= ~CompactNode::textInScratchFlag;
  }
  return node;
}

// The open directories. Their children are made in a scratch arena that is
// used in stack order: a closing directory's surviving children are copied
// into the tree's memory, and everything it held in scratch is reused, so
// entries that coalescing merges never reach the tree's memory. A node keeps
// only its name when its path is its directory's path and its name, as it is
// for every entry but those reached below a directory that could not be
// examined.
class FrameStack final {
 public:
  explicit FrameStack(platform::PageArena& memory) : memory_(&memory) {}

  [[nodiscard]] std::size_t size() const { return frames_.size(); }

  void push(platform::FileLocation url, std::optional<double> modificationDate) {
    marks_.push_back(scratch_.mark());
    frames_.push_back({std::move(url), NodeList(&scratch_), modificationDate});
  }

  // `countHint` guesses the last frame's final number of children.
  void append(const CompactNode& node, std::size_t countHint) {
    NodeList& children = frames_.back().children;
    if (children.capacity() == 0) children.reserve(std::max<std::size_t>(countHint, 1));
    children.push_back(node);
  }

  // A leaf or an unentered directory, in scratch memory until its directory
  // closes.
  void appendEntry(std::string_view name, std::string_view path, bool isDirectory,
                   std::int64_t size, std::optional<double> date, std::size_t countHint) {
    CompactNode node = entryNode(name, path, isDirectory, size, date, &scratch_);
    node.flags |= CompactNode::textInScratchFlag;
    append(node, countHint);
  }

  // Coalesces the last frame's children and makes its directory's node, in
  // the tree's memory down to the last child.
  [[nodiscard]] CompactNode closeLast() {
    PrivilegedWalk::Frame& frame = frames_.back();
    const std::span<const CompactNode> children = frame.children;
    const std::string_view path = frame.url.path();
    const std::string_view name = frame.url.lastComponent();
    CompactNode node = entryNode(name, isInParentFrame(path, name) ? std::string_view() : path,
                                 true, 0, frame.modificationDate, memory_);
    for (const CompactNode& child : children) {
      node.allocatedSize += child.allocatedSize;
      node.folderCount += child.folderCount;
      node.fileCount += child.fileCount;
    }
    const std::span<const CompactNode> kept = coalesceSmallEntries(
        children, *memory_, [&](const CompactNode& child) { return adopt(child, path, memory_); });
    node.firstChild = kept.data();
    node.childCount = static_cast<std::uint32_t>(kept.size());

    frames_.pop_back();
    scratch_.rewind(marks_.back());
    marks_.pop_back();
    return node;
  }

 private:
  // Whether the directory at `path` is an entry of the directory of the
  // frame below the last one.
  [[nodiscard]] bool isInParentFrame(std::string_view path, std::string_view name) const {
    return frames_.size() >= 2 && isChildPath(frames_[frames_.size() - 2].url.path(), path, name);
  }

  platform::PageArena* const memory_;
  // Declared before the frames, which hold memory from it.
  platform::PageArena scratch_;
  std::vector<PrivilegedWalk::Frame> frames_;
  std::vector<platform::PageArena::Mark> marks_;
};

}  // namespace

std::string PrivilegedWalk::WalkError::description() const {
  if (kind == Kind::incomplete) {
    return "Could not finish walking " + path + " (" + cause + "); try again later.";
  }
  return "Not readable even as root: " + path;
}

PrivilegedWalk::WalkError PrivilegedWalk::WalkError::of(std::string_view path,
                                                        const platform::OsError& error) {
  if (!error.isShortage()) return WalkError{.path = std::string(path), .cause = {}};
  return WalkError{.kind = Kind::incomplete, .path = std::string(path), .cause = error.message()};
}

std::expected<std::unique_ptr<platform::RootEntry>, PrivilegedWalk::WalkError>
PrivilegedWalk::resolveRoot(std::string_view path, const platform::FileSystem& fileSystem) {
  auto root = fileSystem.resolve(platform::FileLocation(std::string(path)).standardized().path());
  if (!root) return std::unexpected(WalkError::of(path, root.error()));
  return std::move(*root);
}

std::expected<WalkedTree, PrivilegedWalk::WalkError> PrivilegedWalk::walkTree(
    std::string_view path, const platform::FileSystem& fileSystem) {
  auto root = resolveRoot(path, fileSystem);
  if (!root) return std::unexpected(std::move(root.error()));
  return walkTree(**root, path);
}

std::expected<WalkedTree, PrivilegedWalk::WalkError> PrivilegedWalk::walkTree(
    const platform::RootEntry& rootEntry, std::string_view path) {
  const auto fail = [&](const platform::OsError& error) {
    return std::unexpected(WalkError::of(path, error));
  };
  platform::FileLocation root = platform::FileLocation(std::string(path)).standardized();
  auto memory = std::make_unique<platform::PageArena>();
  const auto rootProperties = rootEntry.properties();
  if (!rootProperties) return fail(rootProperties.error());
  if (!isDirectoryEntry(*rootProperties)) {
    SeenInodes fresh;
    const auto status = [&] { return rootEntry.status(); };
    const auto size = leafSize(*rootProperties, status, fresh);
    const CompactNode leaf = entryNode(root.lastComponent(), root.path(), false, size,
                                       rootProperties->contentModificationDate, memory.get());
    return WalkedTree(std::move(memory), leaf);
  }
  const auto rootStatus = rootEntry.status();
  if (!rootStatus) return fail(rootStatus.error());
  auto enumerator = rootEntry.enumerate(root.path());
  if (!enumerator) return fail(enumerator.error());

  platform::DirectoryEnumerator& entries = **enumerator;
  SeenInodes seenInodes;
  EnteredDirectories enteredDirectories;
  (void)enteredDirectories.enter(*rootStatus);
  FrameStack stack(*memory);
  stack.push(std::move(root), rootProperties->contentModificationDate);
  while (entries.next()) {
    const std::size_t level = entries.level();
    while (stack.size() > level) {
      const CompactNode closed = stack.closeLast();
      // Only the entry's own directory is the one the hint is about.
      stack.append(closed, stack.size() == level ? entries.entryCountHint() : 0);
    }
    const auto properties = entries.properties();
    if (!properties) continue;
    // Below a directory whose properties could not be read, entries belong
    // to a frame further up and keep their own paths.
    const std::string_view waitingPath =
        level == stack.size() ? std::string_view() : entries.path();
    if (!isDirectoryEntry(*properties)) {
      const auto status = [&] { return entries.status(); };
      const auto size = leafSize(*properties, status, seenInodes);
      stack.appendEntry(entries.name(), waitingPath, false, size,
                        properties->contentModificationDate, entries.entryCountHint());
      continue;
    }
    const auto status = entries.status();
    if (status && status->device == rootStatus->device && enteredDirectories.enter(*status)) {
      stack.push(platform::FileLocation(std::string(entries.path())),
                 properties->contentModificationDate);
      continue;
    }
    entries.skipDescendants();
    stack.appendEntry(entries.name(), waitingPath, true, 0, properties->contentModificationDate,
                      entries.entryCountHint());
  }
  if (const auto failure = entries.failure()) return fail(*failure);
  while (stack.size() > 1) stack.append(stack.closeLast(), 0);
  const CompactNode top = stack.closeLast();
  return WalkedTree(std::move(memory), top);
}

std::expected<PrivilegedNode, PrivilegedWalk::WalkError> PrivilegedWalk::walk(
    std::string_view path, const platform::FileSystem& fileSystem) {
  auto tree = walkTree(path, fileSystem);
  if (!tree) return std::unexpected(std::move(tree.error()));
  return tree->toValue();
}

PrivilegedNode WalkedTree::toValue() const {
  const auto valueOf = [](const CompactNode& node, std::string_view parentPath) {
    PrivilegedNode value{.name = std::pmr::string(node.name()),
                         .path = std::pmr::string(childPath(parentPath, node)),
                         .isDirectory = node.isDirectory(),
                         .allocatedSize = node.allocatedSize,
                         .folderCount = node.folderCount,
                         .fileCount = node.fileCount,
                         .modificationDate = node.modificationDate(),
                         .isAggregate = node.isAggregate(),
                         .children = {}};
    value.children.reserve(node.childCount);
    return value;
  };
  // Iterative, since trees can be thousands of levels deep; each children
  // list is reserved in full, so the values held on the stack stay put.
  struct Open {
    const CompactNode* node;
    PrivilegedNode* value;
    std::size_t next;
  };
  PrivilegedNode root = valueOf(root_, {});
  std::vector<Open> stack{{&root_, &root, 0}};
  while (!stack.empty()) {
    Open& top = stack.back();
    if (top.next == top.node->childCount) {
      stack.pop_back();
      continue;
    }
    const CompactNode& child = top.node->children()[top.next++];
    PrivilegedNode& value = top.value->children.emplace_back(valueOf(child, top.value->path));
    stack.push_back({&child, &value, 0});
  }
  return root;
}

WalkedTree WalkedTree::fromValue(const PrivilegedNode& value) {
  auto memory = std::make_unique<platform::PageArena>();
  // `node` in compact form, and its children's records, allocated but not
  // filled yet.
  const auto compact =
      [&](const PrivilegedNode& node,
          std::optional<std::string_view> parentPath) -> std::pair<CompactNode, CompactNode*> {
    CompactNode out{.allocatedSize = node.allocatedSize,
                    .folderCount = node.folderCount,
                    .fileCount = node.fileCount};
    const bool isDerived =
        !node.isAggregate && parentPath && isChildPath(*parentPath, node.path, node.name);
    setText(out, !isDerived, node.path, node.name, memory.get());
    if (node.isDirectory) out.flags |= CompactNode::directoryFlag;
    if (node.isAggregate) out.flags |= CompactNode::aggregateFlag;
    setDate(out, node.modificationDate);
    auto* children = static_cast<CompactNode*>(
        memory->allocate(std::max<std::size_t>(node.children.size(), 1) * sizeof(CompactNode),
                         alignof(CompactNode)));
    out.firstChild = children;
    out.childCount = static_cast<std::uint32_t>(node.children.size());
    return {out, children};
  };
  struct Open {
    const PrivilegedNode* value;
    CompactNode* children;  // the compact node's, being filled
    std::size_t next;
  };
  const auto [root, rootChildren] = compact(value, std::nullopt);
  std::vector<Open> stack{{&value, rootChildren, 0}};
  while (!stack.empty()) {
    Open& top = stack.back();
    if (top.next == top.value->children.size()) {
      stack.pop_back();
      continue;
    }
    const PrivilegedNode& child = top.value->children[top.next];
    CompactNode* grandchildren = nullptr;
    std::tie(top.children[top.next++], grandchildren) = compact(child, top.value->path);
    stack.push_back({&child, grandchildren, 0});
  }
  return WalkedTree(std::move(memory), root);
}

}  // namespace kelmarind::walk
