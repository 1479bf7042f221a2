#include "platform/linux/linux_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_location.h"
#include "platform/linux/far_end_examiner.h"
#include "platform/linux/read_ahead.h"
#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/status_lookahead.h"
#include "platform/unicode_text.h"
#include "platform/unique_fd.h"

namespace kelmarind::platform::linux {
namespace {

// Ancestors beyond this many levels above the deepest open directory have
// their descriptors closed, and reopened on the way back up if they still
// have entries to report.
constexpr std::size_t openDirectoryLimit = 24;
// Levels climbed with one relative path of ".." components, well inside
// PATH_MAX; a longer way up is taken from the top instead.
constexpr std::size_t longestClimb = 1000;
// Directories with at least this many entries have their entries' status
// read on two threads; below it, handing work over costs more than it saves.
constexpr std::size_t sharedListingMinimum = 32;
// Shared listings alive at once (each holds up to 66 KiB of status records
// until it is left); wide directories nested deeper are read on one thread.
constexpr std::size_t sharedListingLimit = 8;
// An open that fails for want of descriptors or memory is tried again this
// often, for about five seconds, before the walk gives up: other walks and
// connections of the process end meanwhile and free theirs.
constexpr auto shortageRetryDelay = std::chrono::milliseconds(20);
constexpr int shortageAttemptLimit = 250;
// A listing served from the cache takes a few microseconds and well under
// one more per entry; one that took longer than this waited for the disk
// (or for the processor, on a busy machine, hence more than one). After a
// few such listings a walk has the rest of its directories read ahead: on a
// warm cache, handing small directories to other threads costs more than it
// saves (1.45 x the floor's time on a warm /usr, against 1.0 x alone).
constexpr auto slowListing = std::chrono::microseconds(500);
constexpr auto slowListingPerEntry = std::chrono::microseconds(2);
constexpr int slowListingsBeforeReadingAhead = 3;
// Seconds from 1970-01-01 to 2001-01-01, the epoch of modification dates.
constexpr std::int64_t referenceDateOffset = 978307200;

std::uint64_t deviceOf(const struct statx& stx) {
  return makedev(stx.stx_dev_major, stx.stx_dev_minor);
}

FileStatus statusOf(const struct statx& stx) {
  return {.device = deviceOf(stx), .linkCount = stx.stx_nlink, .inode = stx.stx_ino};
}

// Overlay file systems report files of their lower layers with those layers'
// devices and inode numbers; mixing the device in keeps such files apart from
// the root device's own inodes.
std::uint64_t fileIdentifier(const struct statx& stx, std::uint64_t rootDevice) {
  const std::uint64_t device = deviceOf(stx);
  if (device == rootDevice) return stx.stx_ino;
  std::uint64_t mixed = device + 0x9e3779b97f4a7c15ULL;
  mixed = (mixed ^ (mixed >> 30)) * 0xbf58476d1ce4e5b9ULL;
  mixed = (mixed ^ (mixed >> 27)) * 0x94d049bb133111ebULL;
  return stx.stx_ino ^ mixed ^ (mixed >> 31);
}

EntryProperties propertiesOf(const struct statx& stx, std::uint64_t rootDevice) {
  EntryProperties out;
  if (stx.stx_mask & STATX_TYPE) {
    out.isDirectory = S_ISDIR(stx.stx_mode);
    out.isSymbolicLink = S_ISLNK(stx.stx_mode);
  }
  if (stx.stx_mask & STATX_BLOCKS) {
    out.totalFileAllocatedSize = static_cast<std::int64_t>(stx.stx_blocks * 512);
  }
  if (stx.stx_mask & STATX_SIZE) out.fileSize = static_cast<std::int64_t>(stx.stx_size);
  if (stx.stx_mask & STATX_MTIME) {
    out.contentModificationDate = static_cast<double>(stx.stx_mtime.tv_sec - referenceDateOffset) +
                                  static_cast<double>(stx.stx_mtime.tv_nsec) / 1e9;
  }
  if (stx.stx_mask & STATX_NLINK) out.linkCount = stx.stx_nlink;
  if (stx.stx_mask & STATX_INO) out.fileIdentifier = fileIdentifier(stx, rootDevice);
  return out;
}

// `open` (a call returning a std::expected<UniqueFd, OsError>) until
// it succeeds, fails for another reason than a shortage, or the shortage has
// lasted too long; a lasting shortage is the error whose isShortage() holds.
// `relieve` is called once, at the first shortage, to give back what the
// caller can do without.
template <typename Open, typename Relieve>
std::expected<UniqueFd, OsError> openDespiteShortage(Open open, Relieve relieve) {
  for (int attempt = 1;; ++attempt) {
    auto fd = open();
    if (fd || !fd.error().isShortage() || attempt == shortageAttemptLimit) return fd;
    if (attempt == 1) {
      relieve();
    } else {
      std::this_thread::sleep_for(shortageRetryDelay);
    }
  }
}

struct OpenDirectory {
  // Its descriptor, closed while the directory is far above the deepest
  // level; its listing, non-directories first, so that when the walk goes
  // below a directory, what is left of it is only directories; its entries'
  // status, when it was read ahead; the read-ahead of its subdirectories.
  std::unique_ptr<PreparedDirectory> contents{};
  std::size_t nextName = 0;   // offset in the names of the next entry to report
  std::size_t nextIndex = 0;  // and its index
  // For a wide directory not read ahead: its entries' status, read on two
  // threads.
  std::unique_ptr<SharedListing> shared{};
  std::size_t nameInParent = 0;  // offset of this directory's name in the parent's names
  std::size_t pathLength = 0;    // length of its path text
  // Its place in what the far-end examiner shares; none below a directory
  // the walk goes through alone.
  SharedDirectory* node = nullptr;
};

class LinuxDirectoryEnumerator final : public DirectoryEnumerator {
 public:
  // `rootAnchor` is a descriptor of the root (O_PATH is enough), borrowed:
  // the root is reopened through it when no other directory is open.
  LinuxDirectoryEnumerator(std::string_view rootPath, int rootAnchor, UniqueFd rootFd,
                           const struct stat& root, ReadAheadUse readAheadUse)
      : examiner_(rootAnchor, root.st_dev),
        path_(rootPath),
        rootAnchor_(rootAnchor),
        buffer_(new char[listingBufferSize]),
        rootDevice_(root.st_dev),
        isReadingAhead_(readAheadUse == ReadAheadUse::always) {
    OpenDirectory top{.contents = std::make_unique<PreparedDirectory>(),
                      .pathLength = path_.size()};
    top.contents->fd = std::move(rootFd);
    top.contents->device = root.st_dev;
    top.contents->inode = root.st_ino;
    list(top);
    top.node = examiner_.start(top.contents->listing, root.st_ino);
    stack_.push_back(std::move(top));
    share(stack_.back());
    if (isReadingAhead_) readAhead_.publish(*stack_.back().contents, rootDevice_, nullptr, 0);
  }

  bool next() override {
    if (std::exchange(isDescentPending_, false)) descend();
    while (!failure_ && !stack_.empty()) {
      OpenDirectory& top = stack_.back();
      if (top.nextName >= top.contents->listing.names.size()) {
        ascend();
        continue;
      }
      if (!top.contents->fd && top.contents->statuses.empty() && !reopen(stack_.size() - 1)) {
        top.nextName = top.contents->listing.names.size();
        continue;
      }
      const char* raw = top.contents->listing.names.data() + top.nextName;
      const std::string_view name(raw);
      currentNameOffset_ = top.nextName;
      top.nextName += name.size() + 1;
      setPath(top.pathLength, name);
      const std::size_t index = currentIndex_ = top.nextIndex++;
      if (!top.contents->statuses.empty()) {
        currentError_ = unpackStatus(top.contents->statuses[index], current_);
      } else if (top.shared) {
        currentError_ = lookahead_.take(*top.shared, index, top.contents->fd.get(), current_);
      } else {
        currentError_ = statusAt(top.contents->fd.get(), raw, current_);
      }
      if (currentError_ == ENOMEM) failure_ = OsError{currentError_, "statx"};
      level_ = stack_.size();
      isDescentPending_ = currentError_ == 0 && S_ISDIR(current_.stx_mode);
      if (!failure_) return true;
    }
    return false;
  }

  std::optional<OsError> failure() const override { return failure_; }

  std::size_t level() const override { return level_; }
  std::string_view name() const override { return std::string_view(path_).substr(nameStart_); }
  std::string_view path() const override { return path_; }

  std::expected<EntryProperties, OsError> properties() const override {
    if (currentError_ != 0) return std::unexpected(OsError{currentError_, "statx"});
    return propertiesOf(current_, rootDevice_);
  }
  std::expected<FileStatus, OsError> status() const override {
    if (currentError_ != 0) return std::unexpected(OsError{currentError_, "statx"});
    return statusOf(current_);
  }

  std::size_t entryCountHint() const override {
    return stack_.empty() ? 0 : stack_.back().contents->listing.entryCount;
  }

  void skipDescendants() override { isDescentPending_ = false; }

 private:
  void setPath(std::size_t parentLength, std::string_view name) {
    path_.resize(parentLength);
    if (!path_.ends_with('/')) path_ += '/';
    nameStart_ = path_.size();
    appendUtf8Lossy(name, path_);
  }

  // Enters the directory just reported. One that cannot be opened, or that
  // is no longer the directory examined (renamed, replaced, mounted over), is
  // reported without contents.
  void descend() {
    const std::size_t parentIndex = stack_.size() - 1;
    const std::uint64_t device = deviceOf(current_);
    const std::uint64_t inode = current_.stx_ino;
    OpenDirectory child{.nameInParent = currentNameOffset_, .pathLength = path_.size()};
    SharedDirectory* node =
        FarEndExaminer::child(stack_.back().node, stack_.back().contents->listing, currentIndex_);
    bool isTaken = false;
    if (node != nullptr) {
      auto entering = examiner_.enter(*node, device, inode);
      child.contents = std::move(entering.prepared);
      child.node = entering.node;
      isTaken = entering.isTaken;
    }
    if (!child.contents) child.contents = takePrepared(device, inode);
    if (!child.contents && !openAndList(parentIndex, device, child)) {
      if (isTaken) examiner_.listed(*node, nullptr, device, inode);
      return;
    }
    if (isTaken) examiner_.listed(*node, &child.contents->listing, device, inode);
    stack_.push_back(std::move(child));
    if (stack_.size() > openDirectoryLimit + 1) {
      OpenDirectory& far = stack_[stack_.size() - 1 - openDirectoryLimit];
      if (far.shared) lookahead_.withdraw(*far.shared);
      if (far.contents->batch) readAhead_.withdraw(*far.contents->batch, false);
      far.contents->fd.reset();
    }
    share(stack_.back());
    if (isReadingAhead_ && !stack_.back().contents->batch && stack_.back().contents->fd) {
      readAhead_.publish(*stack_.back().contents, rootDevice_,
                         stack_[parentIndex].contents->batch.get(), currentIndex_);
    }
  }

  // The directory about to be entered, from the read-ahead, when it was
  // prepared there and is the directory examined.
  std::unique_ptr<PreparedDirectory> takePrepared(std::uint64_t device, std::uint64_t inode) {
    OpenDirectory& parent = stack_.back();
    if (!parent.contents->batch) return nullptr;
    auto prepared = readAhead_.take(*parent.contents->batch, currentIndex_, buffer_.get());
    if (!prepared || prepared->device != device || prepared->inode != inode) return nullptr;
    return prepared;
  }

  // Opens and lists the directory about to be entered; false when it is to
  // be reported without contents.
  bool openAndList(std::size_t parentIndex, std::uint64_t device, OpenDirectory& child) {
    // A directory prepared by the far-end examiner comes without a descriptor.
    if (!stack_[parentIndex].contents->fd && !reopen(parentIndex)) return false;
    const int parentFd = stack_[parentIndex].contents->fd.get();
    const char* name = stack_[parentIndex].contents->listing.names.data() + currentNameOffset_;
    auto fd = openDespiteShortage([&] { return openDirectoryAt(parentFd, name); },
                                  [&] { releaseDescriptorsExcept(parentIndex); });
    if (!fd) {
      if (fd.error().isShortage()) failure_ = fd.error();
      return false;
    }
    if (!isSameDirectory(fd->get(), device, current_.stx_ino)) return false;
    child.contents = std::make_unique<PreparedDirectory>();
    child.contents->fd = std::move(*fd);
    child.contents->device = device;
    child.contents->inode = current_.stx_ino;
    list(child);
    return true;
  }

  // Hands a wide directory just listed to the lookahead. Its names stay in
  // place: the stack is a deque, and the names are not touched again.
  void share(OpenDirectory& directory) {
    const DirectoryListing& listing = directory.contents->listing;
    if (!directory.contents->statuses.empty() || !examiner_.isDone() ||
        listing.entryCount < sharedListingMinimum || sharedCount_ >= sharedListingLimit ||
        listing.names.size() > std::numeric_limits<std::uint32_t>::max() / 2) {
      return;
    }
    directory.shared = std::make_unique<SharedListing>(directory.contents->fd.get(),
                                                       listing.names.data(), listing.entryCount);
    ++sharedCount_;
    lookahead_.publish(*directory.shared);
  }

  // Leaves the deepest directory. A parent whose descriptor was closed gets
  // it back only if it still has entries to report: through "..", or
  // "../..", and so on when the directories passed on the way up had nothing
  // left and were not reopened. That holds while nothing is renamed; the
  // device and inode check catches a rename and falls back to the way down.
  void ascend() {
    stack_.back().contents->batch.reset();
    if (UniqueFd child = std::move(stack_.back().contents->fd)) {
      climb_ = std::move(child);
      climbLevels_ = 1;
    } else if (climb_) {
      ++climbLevels_;
    }
    if (stack_.back().shared) {
      lookahead_.withdraw(*stack_.back().shared);
      --sharedCount_;
    }
    stack_.pop_back();
    if (stack_.empty()) return;
    OpenDirectory& parent = stack_.back();
    if (parent.contents->fd) {
      climb_.reset();
      return;
    }
    // Passed without a descriptor: nothing left in it, or prepared by the
    // far-end examiner, and then reopened only if the walk must open one of
    // its subdirectories itself.
    if (parent.nextName >= parent.contents->listing.names.size() ||
        !parent.contents->statuses.empty()) {
      return;
    }
    if (climb_ && climbLevels_ <= longestClimb) {
      std::string up = "..";
      for (std::size_t i = 1; i < climbLevels_; ++i) up += "/..";
      auto fd = openDirectoryAt(climb_.get(), up.c_str());
      climb_.reset();
      if (fd && isSameDirectory(fd->get(), parent.contents->device, parent.contents->inode)) {
        parent.contents->fd = std::move(*fd);
        return;
      }
    }
    climb_.reset();
    if (!reopen(stack_.size() - 1)) parent.nextName = parent.contents->listing.names.size();
  }

  // Reopens stack_[index] from its nearest open ancestor, or from the root's
  // anchor when none is open, one component at a time, checking each directory
  // against the one recorded on the way down. False when the tree changed on
  // the way, or when a shortage lasted (failure_ is then set).
  bool reopen(std::size_t index) {
    std::size_t open = index;
    while (open > 0 && !stack_[open].contents->fd) --open;
    UniqueFd fd;
    const std::size_t none = stack_.size();
    if (!stack_[open].contents->fd) {
      auto root = openDespiteShortage([&] { return openDirectoryAt(rootAnchor_, "."); },
                                      [&] { releaseDescriptorsExcept(none); });
      if (!root && root.error().isShortage()) failure_ = root.error();
      if (!root ||
          !isSameDirectory(root->get(), stack_[0].contents->device, stack_[0].contents->inode)) {
        return false;
      }
      fd = std::move(*root);
    }
    for (std::size_t i = open + 1; i <= index; ++i) {
      const int from = fd ? fd.get() : stack_[open].contents->fd.get();
      auto step = openDespiteShortage(
          [&] {
            return openDirectoryAt(
                from, stack_[i - 1].contents->listing.names.data() + stack_[i].nameInParent);
          },
          [&] { releaseDescriptorsExcept(fd ? none : open); });
      if (!step && step.error().isShortage()) failure_ = step.error();
      if (!step ||
          !isSameDirectory(step->get(), stack_[i].contents->device, stack_[i].contents->inode)) {
        return false;
      }
      fd = std::move(*step);
    }
    if (fd) stack_[index].contents->fd = std::move(fd);
    return true;
  }

  // Gives back every descriptor the enumerator can reopen later: the open
  // directories but stack_[keep] (none when `keep` is past the end), and the
  // one kept for climbing, and those of every directory read ahead. The
  // lookahead and the read-ahead stop using a directory first.
  void releaseDescriptorsExcept(std::size_t keep) {
    climb_.reset();
    for (std::size_t i = 0; i < stack_.size(); ++i) {
      OpenDirectory& directory = stack_[i];
      if (directory.contents->batch) readAhead_.withdraw(*directory.contents->batch, true);
      if (i == keep || !directory.contents->fd) continue;
      if (directory.shared) lookahead_.withdraw(*directory.shared);
      directory.contents->fd.reset();
    }
  }

  // Lists a directory, and notes when the listing had to wait for the disk.
  void list(OpenDirectory& directory) {
    const auto start = std::chrono::steady_clock::now();
    listDirectory(directory.contents->fd.get(), buffer_.get(), directory.contents->listing);
    if (!isReadingAhead_) {
      const auto cachedTime =
          slowListing + slowListingPerEntry * directory.contents->listing.entryCount;
      if (std::chrono::steady_clock::now() - start > cachedTime &&
          ++slowListingCount_ == slowListingsBeforeReadingAhead) {
        isReadingAhead_ = true;
      }
    }
    if (const auto& shortage = directory.contents->listing.shortage) failure_ = *shortage;
  }

  // Declared first: the directories it prepared are freed into it.
  FarEndExaminer examiner_;
  // A deque, so that a directory's names stay where the lookahead reads them.
  std::deque<OpenDirectory> stack_;
  std::string path_;
  const int rootAnchor_;
  std::unique_ptr<char[]> buffer_;
  // The descriptor of a directory left on the way up, `climbLevels_` below
  // the deepest open one, while the directories between have none.
  UniqueFd climb_;
  std::size_t climbLevels_ = 0;
  const std::uint64_t rootDevice_;
  // Whether directories are read ahead for this walk; and how many listings
  // took longer than a cached one can.
  bool isReadingAhead_;
  int slowListingCount_ = 0;
  struct statx current_ = {};
  int currentError_ = ENOENT;  // of current_'s statx; 0 when it succeeded
  std::size_t currentNameOffset_ = 0;
  std::size_t currentIndex_ = 0;  // of the current entry in its directory
  std::size_t nameStart_ = 0;
  std::size_t level_ = 0;
  bool isDescentPending_ = false;
  // Set when a shortage of descriptors or memory lasted: the enumeration
  // ends, and says so, rather than report a tree with directories missing.
  std::optional<OsError> failure_;
  std::size_t sharedCount_ = 0;  // directories on the stack with a shared listing
  // Declared last, so that its thread stops before the listings it reads go.
  StatusLookahead lookahead_;
  ReadAhead& readAhead_ = ReadAhead::forThisProcess();
};

}  // namespace

namespace {

// The root of a walk: the entry the request's path reached, held by an
// O_PATH descriptor, which reads no content and follows nothing.
class LinuxRootEntry final : public RootEntry {
 public:
  LinuxRootEntry(UniqueFd entry, std::string reachedPath, ReadAheadUse readAheadUse)
      : entry_(std::move(entry)),
        reachedPath_(std::move(reachedPath)),
        readAheadUse_(readAheadUse) {}

  std::string_view reachedPath() const override { return reachedPath_; }

  std::expected<EntryProperties, OsError> properties() const override {
    auto stx = statusOfDescriptor(entry_.get());
    if (!stx) return std::unexpected(stx.error());
    return propertiesOf(*stx, deviceOf(*stx));
  }

  std::expected<FileStatus, OsError> status() const override {
    auto stx = statusOfDescriptor(entry_.get());
    if (!stx) return std::unexpected(stx.error());
    return statusOf(*stx);
  }

  std::expected<std::unique_ptr<DirectoryEnumerator>, OsError> enumerate(
      std::string_view path) const override {
    auto fd = openDespiteShortage([&] { return openDirectoryAt(entry_.get(), "."); }, [] {});
    if (!fd) return std::unexpected(fd.error());
    struct stat st;
    if (::fstat(fd->get(), &st) != 0) return std::unexpected(OsError{errno, "fstat"});
    return std::make_unique<LinuxDirectoryEnumerator>(path, entry_.get(), std::move(*fd), st,
                                                      readAheadUse_);
  }

 private:
  const UniqueFd entry_;
  const std::string reachedPath_;
  const ReadAheadUse readAheadUse_;
};

// More links than this on the way to one root is taken for a loop, as the
// kernel does.
constexpr int linkLimit = 40;

std::expected<UniqueFd, OsError> openPath(int dirFd, const char* name) {
  return openDespiteShortage(
      [&]() -> std::expected<UniqueFd, OsError> {
        const int fd = retryOnInterrupt(
            [&] { return ::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC); });
        if (fd < 0) return std::unexpected(OsError{errno, "openat"});
        return UniqueFd(fd);
      },
      [] {});
}

std::expected<std::string, OsError> linkText(int linkFd) {
  std::string text(256, '\0');
  for (;;) {
    const ssize_t length = ::readlinkat(linkFd, "", text.data(), text.size());
    if (length < 0) return std::unexpected(OsError{errno, "readlinkat"});
    if (static_cast<std::size_t>(length) < text.size()) {
      text.resize(static_cast<std::size_t>(length));
      return text;
    }
    text.resize(text.size() * 2);
  }
}

bool isOnProcessFileSystem(int fd) {
  struct statfs fs;
  return ::fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// Pushes the components of `path` onto `pending` so that the first comes
// off first.
void pushComponents(std::string_view path, std::vector<std::string>& pending) {
  std::vector<std::string> components;
  forEachComponent(path, [&](std::string_view component) { components.emplace_back(component); });
  pending.insert(pending.end(), std::make_move_iterator(components.rbegin()),
                 std::make_move_iterator(components.rend()));
}

}  // namespace

// One component at a time, each opened with O_PATH | O_NOFOLLOW relative to
// the last, so the kernel follows nothing on its own: every link on the way
// is read and its text taken apart here, which is what lets links on /proc
// be refused, and what keeps track of the path actually reached.
std::expected<std::unique_ptr<RootEntry>, OsError> LinuxFileSystem::resolve(
    std::string_view path) const {
  std::vector<std::string> pending;
  pushComponents(path, pending);
  std::vector<std::string> reached;
  auto current = openPath(AT_FDCWD, "/");
  if (!current) return std::unexpected(current.error());
  int linkCount = 0;
  while (!pending.empty()) {
    const std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == ".") continue;
    if (name == "..") {
      // At the root ".." is the root itself, as in the kernel's own walk.
      auto parent = openPath(current->get(), "..");
      if (!parent) return std::unexpected(parent.error());
      current = std::move(parent);
      if (!reached.empty()) reached.pop_back();
      continue;
    }
    auto next = openPath(current->get(), name.c_str());
    if (!next) return std::unexpected(next.error());
    struct stat st;
    if (::fstat(next->get(), &st) != 0) return std::unexpected(OsError{errno, "fstat"});
    if (pending.empty()) {
      reached.push_back(name);
      current = std::move(next);
      break;
    }
    if (S_ISLNK(st.st_mode)) {
      if (++linkCount > linkLimit) return std::unexpected(OsError{ELOOP, "readlinkat"});
      // A process file system's links lead into other processes' roots,
      // working directories and open files, outside this process's view.
      if (isOnProcessFileSystem(next->get())) return std::unexpected(OsError{EXDEV, "openat"});
      auto target = linkText(next->get());
      if (!target) return std::unexpected(target.error());
      pushComponents(*target, pending);
      if (target->starts_with('/')) {
        current = openPath(AT_FDCWD, "/");
        if (!current) return std::unexpected(current.error());
        reached.clear();
      }
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return std::unexpected(OsError{ENOTDIR, "openat"});
    reached.push_back(name);
    current = std::move(next);
  }
  // "/" alone for the root itself.
  std::string reachedPath(reached.empty() ? 1 : 0, '/');
  for (const std::string& name : reached) {
    reachedPath += '/';
    reachedPath += name;
  }
  return std::make_unique<LinuxRootEntry>(std::move(*current), std::move(reachedPath),
                                          readAheadUse_);
}

}  // namespace kelmarind::platform::linux
