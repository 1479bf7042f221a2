#include "bench/floor_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include "platform/linux/retry_on_interrupt.h"
#include "platform/unique_fd.h"

namespace kelmarind::bench {
namespace {

using platform::OsError;
using platform::UniqueFd;

constexpr std::size_t bufferSize = std::size_t{32} * 1024;
constexpr unsigned statxMask =
    STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_SIZE | STATX_BLOCKS | STATX_MTIME;
constexpr int statxFlags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_SYNC_AS_STAT;
constexpr int directoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Frame {
  UniqueFd fd;
  std::uint64_t inode = 0;
  std::unique_ptr<char[]> buffer;
  std::size_t position = 0;
  std::size_t length = 0;
  // Directory offset just past the last entry taken; a reopened descriptor
  // seeks here so the listing goes on where it stopped.
  std::int64_t resumeOffset = 0;
  bool isEnded = false;
};

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

class FloorWalker final {
 public:
  FloorWalker(const struct statx& root, FloorOptions options)
      : options_(options), deviceMajor_(root.stx_dev_major), deviceMinor_(root.stx_dev_minor) {}

  FloorTotals run(UniqueFd rootFd, std::uint64_t rootInode) {
    totals_.folderCount = 1;
    push(std::move(rootFd), rootInode);
    while (!stack_.empty()) {
      Frame& top = stack_.back();
      const dirent64* entry = next(top);
      if (entry == nullptr) {
        pop();
      } else if (!isDotOrDotDot(entry->d_name)) {
        visit(top, entry->d_name);
      }
    }
    return totals_;
  }

 private:
  const dirent64* next(Frame& frame) {
    if (frame.isEnded) return nullptr;
    if (frame.position == frame.length) {
      const ssize_t n = platform::linux::retryOnInterrupt(
          [&] { return ::getdents64(frame.fd.get(), frame.buffer.get(), bufferSize); });
      if (n <= 0) {
        frame.isEnded = true;
        return nullptr;
      }
      frame.position = 0;
      frame.length = static_cast<std::size_t>(n);
    }
    auto* entry = reinterpret_cast<const dirent64*>(frame.buffer.get() + frame.position);
    frame.position += entry->d_reclen;
    frame.resumeOffset = entry->d_off;
    return entry;
  }

  void visit(const Frame& parent, const char* name) {
    struct statx st;
    if (::statx(parent.fd.get(), name, statxFlags, statxMask, &st) != 0) {
      ++totals_.skippedCount;
      return;
    }
    if (S_ISDIR(st.stx_mode)) {
      ++totals_.folderCount;
      if (st.stx_dev_major != deviceMajor_ || st.stx_dev_minor != deviceMinor_) return;
      UniqueFd child(::openat(parent.fd.get(), name, directoryOpenFlags));
      if (!child) {
        ++totals_.skippedCount;
        return;
      }
      push(std::move(child), st.stx_ino);
      return;
    }
    ++totals_.fileCount;
    if (st.stx_nlink > 1 && !seen_.insert(st.stx_ino).second) return;
    totals_.allocatedSize += static_cast<std::int64_t>(st.stx_blocks) * 512;
  }

  void push(UniqueFd fd, std::uint64_t inode) {
    if (stack_.size() - firstOpen_ >= options_.maxOpenDirectories) {
      // Over budget: the shallowest open directory gives up its descriptor
      // and buffer; it is reopened from its child when that child finishes.
      Frame& oldest = stack_[firstOpen_++];
      oldest.fd.reset();
      oldest.buffer.reset();
      oldest.position = oldest.length = 0;
    }
    Frame frame;
    frame.fd = std::move(fd);
    frame.inode = inode;
    frame.buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
    stack_.push_back(std::move(frame));
  }

  void pop() {
    const std::size_t depth = stack_.size() - 1;
    if (depth > 0 && depth == firstOpen_) {
      reopen(stack_[depth - 1], stack_[depth].fd);
      --firstOpen_;
    }
    stack_.pop_back();
  }

  // ".." from the child leads back to the parent without resolving a path
  // from the root, which a deep chain could not afford. The inode check
  // catches a child that was moved elsewhere meanwhile.
  void reopen(Frame& parent, const UniqueFd& child) {
    UniqueFd fd(::openat(child.get(), "..", directoryOpenFlags));
    struct statx st;
    if (!fd || ::statx(fd.get(), "", AT_EMPTY_PATH, STATX_INO, &st) != 0 ||
        st.stx_ino != parent.inode || ::lseek(fd.get(), parent.resumeOffset, SEEK_SET) < 0) {
      ++totals_.skippedCount;
      parent.isEnded = true;
      return;
    }
    parent.fd = std::move(fd);
    parent.buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
  }

  const FloorOptions options_;
  const std::uint32_t deviceMajor_;
  const std::uint32_t deviceMinor_;
  std::vector<Frame> stack_;
  std::size_t firstOpen_ = 0;
  std::unordered_set<std::uint64_t> seen_;
  FloorTotals totals_;
};

}  // namespace

std::expected<FloorTotals, OsError> floorWalk(const std::string& root, FloorOptions options) {
  if (options.maxOpenDirectories == 0) options.maxOpenDirectories = 1;
  struct statx st;
  if (::statx(AT_FDCWD, root.c_str(), statxFlags, statxMask, &st) != 0) {
    return std::unexpected(OsError{errno, "statx"});
  }
  if (!S_ISDIR(st.stx_mode)) {
    return FloorTotals{.fileCount = 1,
                       .allocatedSize = static_cast<std::int64_t>(st.stx_blocks) * 512};
  }
  UniqueFd fd(::openat(AT_FDCWD, root.c_str(), directoryOpenFlags));
  if (!fd) return std::unexpected(OsError{errno, "openat"});
  return FloorWalker(st, options).run(std::move(fd), st.stx_ino);
}

}  // namespace kelmarind::bench
