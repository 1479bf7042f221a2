#include "platform/linux/read_ahead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/status_lookahead.h"
#include "platform/os_error.h"

namespace kelmarind::platform::linux {
namespace {

// Threads for the whole process. With a walk's own thread, which prepares
// directories too while it waits, they keep three reads of a cold disk in
// flight; on /usr that took a cold walk from 3.4-5.2 s to 2.6-2.7 s, while
// four threads gave 2.7-4.1 s and, on a warm cache of two busy cores, spent
// more time waking each other.
constexpr std::size_t threadCount = 2;
// A thread with nothing to do for this long ends.
constexpr auto idleLifetime = std::chrono::milliseconds(500);
// How many of one directory's subdirectories may be prepared ahead of the
// one its walk is at.
constexpr std::size_t window = 8;
// Directories with more entries are opened and listed ahead, not examined:
// their entries are read on two threads by the enumerator's status
// lookahead, in slots of bounded size.
constexpr std::size_t examinedLimit = 512;

std::expected<void, NotPrepared> prepareDirectory(int parentFd, const char* name,
                                                  std::optional<EntryStatus> known,
                                                  std::uint64_t rootDevice, char* buffer,
                                                  PreparedDirectory& out) {
  if (!known) {
    struct statx stx;
    const int error = statusAt(parentFd, name, stx);
    known = packStatus(stx, error);
  }
  // Only what the walk would enter is opened: no other device, so no
  // automount point, is ever opened here.
  if (known->error != 0 || !S_ISDIR(known->mode) ||
      makedev(known->deviceMajor, known->deviceMinor) != rootDevice) {
    return std::unexpected(NotPrepared{});
  }
  return openListAndExamine(parentFd, name, rootDevice, known->inode, examinedLimit, buffer, out);
}

}  // namespace

std::expected<void, NotPrepared> openListAndExamine(int parentFd, const char* name,
                                                    std::uint64_t device, std::uint64_t inode,
                                                    std::size_t examineUpTo, char* buffer,
                                                    PreparedDirectory& out) {
  auto fd = openDirectoryAt(parentFd, name);
  if (!fd) {
    if (fd.error().isShortage()) return std::unexpected(NotPrepared{fd.error()});
    return std::unexpected(NotPrepared{});
  }
  out.device = device;
  out.inode = inode;
  if (!isSameDirectory(fd->get(), out.device, out.inode)) return std::unexpected(NotPrepared{});
  listDirectory(fd->get(), buffer, out.listing);
  if (out.listing.shortage) return std::unexpected(NotPrepared{out.listing.shortage});
  if (out.listing.entryCount <= examineUpTo) {
    out.statuses.resize(out.listing.entryCount);
    const char* entry = out.listing.names.data();
    struct statx stx;
    for (EntryStatus& status : out.statuses) {
      status = packStatus(stx, statusAt(fd->get(), entry, stx));
      entry += std::strlen(entry) + 1;
    }
  }
  out.fd = std::move(*fd);
  return {};
}

EntryStatus packStatus(const struct statx& stx, int error) {
  if (error != 0) return {.error = static_cast<std::uint16_t>(error)};
  return {.inode = stx.stx_ino,
          .size = stx.stx_size,
          .blocks = stx.stx_blocks,
          .modificationSeconds = stx.stx_mtime.tv_sec,
          .modificationNanoseconds = stx.stx_mtime.tv_nsec,
          .linkCount = stx.stx_nlink,
          .mask = stx.stx_mask,
          .deviceMajor = stx.stx_dev_major,
          .deviceMinor = stx.stx_dev_minor,
          .mode = stx.stx_mode,
          .error = 0};
}

int unpackStatus(const EntryStatus& status, struct statx& out) {
  out.stx_ino = status.inode;
  out.stx_size = status.size;
  out.stx_blocks = status.blocks;
  out.stx_mtime.tv_sec = status.modificationSeconds;
  out.stx_mtime.tv_nsec = status.modificationNanoseconds;
  out.stx_nlink = status.linkCount;
  out.stx_mask = status.mask;
  out.stx_dev_major = status.deviceMajor;
  out.stx_dev_minor = status.deviceMinor;
  out.stx_mode = status.mode;
  return status.error;
}

// O_NOATIME is refused (EPERM) on directories the caller neither owns nor
// has CAP_FOWNER for.
std::expected<UniqueFd, OsError> openDirectoryAt(int dirFd, const char* name) {
  constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = retryOnInterrupt([&] { return ::openat(dirFd, name, flags | O_NOATIME); });
  if (fd < 0 && errno == EPERM) fd = retryOnInterrupt([&] { return ::openat(dirFd, name, flags); });
  if (fd < 0) return std::unexpected(OsError{errno, "openat"});
  return UniqueFd(fd);
}

// The open went by name, and the name may have been renamed, replaced or
// mounted over since it was examined. Only a plain open is used, never
// openat2: a service manager's seccomp filter may refuse openat2, and the
// walk must be the same under it as anywhere.
bool isSameDirectory(int fd, std::uint64_t device, std::uint64_t inode) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == device && st.st_ino == inode;
}

// The whole listing at once, so that the descriptor can be closed and
// reopened later without losing the place.
void listDirectory(int fd, char* buffer, DirectoryListing& out) {
  thread_local std::string directories;  // kept for its capacity
  directories.clear();
  std::size_t directoryCount = 0;
  for (;;) {
    const long count =
        retryOnInterrupt([&] { return ::syscall(SYS_getdents64, fd, buffer, listingBufferSize); });
    if (count < 0 && OsError{.code = errno}.isShortage()) {
      out.shortage = OsError{errno, "getdents64"};
    }
    if (count <= 0) break;  // an unreadable directory keeps what was read
    // Names take less room than the records holding them.
    out.names.reserve(out.names.size() + static_cast<std::size_t>(count));
    for (long offset = 0; offset < count;) {
      const char* record = buffer + offset;
      unsigned short length;
      std::memcpy(&length, record + offsetof(struct dirent64, d_reclen), sizeof length);
      unsigned char type;
      std::memcpy(&type, record + offsetof(struct dirent64, d_type), sizeof type);
      const char* raw = record + offsetof(struct dirent64, d_name);
      offset += length;
      if (raw[0] == '.' && (raw[1] == '\0' || (raw[1] == '.' && raw[2] == '\0'))) continue;
      const bool isMaybeDirectory = type == DT_DIR || type == DT_UNKNOWN;
      if (isMaybeDirectory) {
        directories.append(raw, std::strlen(raw) + 1);
      } else {
        out.names.append(raw, std::strlen(raw) + 1);
      }
      directoryCount += isMaybeDirectory ? 1 : 0;
      ++out.entryCount;
    }
  }
  out.directoryStart = out.entryCount - directoryCount;
  out.names.append(directories);
}

ReadAheadBatch::ReadAheadBatch(int dirFd, const DirectoryListing& listing,
                               const EntryStatus* statuses, std::uint64_t rootDevice,
                               const ReadAheadBatch* parent, std::size_t indexInParent)
    : fd_(dirFd),
      names_(listing.names.data()),
      statuses_(statuses),
      firstIndex_(listing.directoryStart),
      rootDevice_(rootDevice),
      parent_(parent),
      indexInParent_(indexInParent),
      depth_(parent == nullptr ? 0 : parent->depth_ + 1),
      candidates_(listing.entryCount - listing.directoryStart) {
  std::size_t offset = 0;
  for (std::size_t i = 0; i < listing.entryCount; ++i) {
    if (i >= firstIndex_) {
      candidates_[i - firstIndex_].nameOffset = static_cast<std::uint32_t>(offset);
    }
    offset += std::strlen(names_ + offset) + 1;
  }
}

ReadAheadBatch::~ReadAheadBatch() {
  if (owner_ != nullptr) owner_->withdraw(*this, true);
}

std::size_t readAheadDescriptorLimit() {
  // The memory the prepared directories hold is bounded with them.
  constexpr std::size_t mostHeld = 64;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return mostHeld;
  return std::min<std::size_t>(mostHeld, limit.rlim_cur / 4);
}

ReadAhead::ReadAhead() : heldLimit_(readAheadDescriptorLimit()) {}

ReadAhead& ReadAhead::forThisProcess() {
  // Never destroyed: its threads run until the process ends. A child made
  // by fork has none of them, so it starts afresh.
  static std::mutex mutex;
  static ReadAhead* instance = nullptr;
  static pid_t owner = 0;
  const std::lock_guard lock(mutex);
  if (instance == nullptr || owner != ::getpid()) {
    instance = new ReadAhead();
    owner = ::getpid();
  }
  return *instance;
}

bool ReadAhead::hasThreads(std::unique_lock<std::mutex>& /*lock*/) {
  while (!hasNoThread_ && threadCount_ < threadCount) {
    try {
      std::thread([this] {
        const std::unique_ptr<char[]> buffer(new char[listingBufferSize]);
        run(buffer.get());
      }).detach();
      ++threadCount_;
    } catch (const std::system_error&) {
      // Out of threads: walks go on with those started, or on their own.
      hasNoThread_ = true;
    }
  }
  return threadCount_ > 0;
}

void ReadAhead::publish(PreparedDirectory& directory, std::uint64_t rootDevice,
                        const ReadAheadBatch* parent, std::size_t indexInParent) {
  const DirectoryListing& listing = directory.listing;
  if (listing.directoryStart == listing.entryCount) return;
  auto batch = std::make_unique<ReadAheadBatch>(
      directory.fd.get(), listing, directory.statuses.empty() ? nullptr : directory.statuses.data(),
      rootDevice, parent, indexInParent);
  std::unique_lock lock(mutex_);
  if (!hasThreads(lock)) return;
  publishLocked(*batch);
  directory.batch = std::move(batch);
}

void ReadAhead::publishLocked(ReadAheadBatch& batch) {
  batch.owner_ = this;
  batch.isOpen_ = true;
  published_.push_back(&batch);
  if (heldCount_ >= heldLimit_) return;
  for (std::size_t i = 0; i < std::min(waitingCount_, batch.candidates_.size()); ++i) {
    workAvailable_.notify_one();
  }
}

void ReadAhead::withdraw(ReadAheadBatch& batch, bool isDropping) {
  std::unique_lock lock(mutex_);
  withdrawLocked(batch, isDropping, lock);
}

void ReadAhead::withdrawLocked(ReadAheadBatch& batch, bool isDropping,
                               std::unique_lock<std::mutex>& lock) {
  retire(batch);
  candidateDone_.wait(lock, [&] { return batch.inFlight_ == 0; });
  if (!isDropping) return;
  for (ReadAheadBatch::Candidate& candidate : batch.candidates_) release(candidate, lock);
  batch.owner_ = nullptr;
}

std::unique_ptr<PreparedDirectory> ReadAhead::take(ReadAheadBatch& batch, std::size_t index,
                                                   char* buffer) {
  if (index < batch.firstIndex_ || index - batch.firstIndex_ >= batch.candidates_.size()) {
    return nullptr;
  }
  const std::size_t at = index - batch.firstIndex_;
  std::unique_lock lock(mutex_);
  for (std::size_t i = batch.taken_; i < at; ++i) release(batch.candidates_[i], lock);
  batch.taken_ = std::max(batch.taken_, at + 1);
  batch.nextToStart_ = std::max(batch.nextToStart_, at + 1);
  if (batch.nextToStart_ == batch.candidates_.size()) retire(batch);
  ReadAheadBatch::Candidate& candidate = batch.candidates_[at];
  while (candidate.state == ReadAheadBatch::State::working) {
    // Rather than sleep until a thread has prepared it, prepare the
    // directories this walk enters after it.
    if (hasWorkIn(batch)) {
      prepareNext(batch, lock, buffer);
    } else {
      candidateDone_.wait(lock);
    }
  }
  std::unique_ptr<PreparedDirectory> out;
  if (candidate.state == ReadAheadBatch::State::ready) {
    out = std::move(candidate.prepared);
    --heldCount_;
  }
  candidate.state = ReadAheadBatch::State::given;
  // The room freed is filled at once with what the walk needs next, so that
  // the threads stay ahead of it rather than wait for more room.
  if (waitingCount_ > 0 && heldCount_ < heldLimit_) workAvailable_.notify_one();
  return out;
}

void ReadAhead::release(ReadAheadBatch::Candidate& candidate, std::unique_lock<std::mutex>& lock) {
  if (candidate.state == ReadAheadBatch::State::working) return;
  candidate.state = ReadAheadBatch::State::given;
  if (!candidate.prepared) return;
  const std::unique_ptr<PreparedDirectory> prepared = std::move(candidate.prepared);
  --heldCount_;
  if (prepared->batch) withdrawLocked(*prepared->batch, true, lock);
}

void ReadAhead::retire(ReadAheadBatch& batch) {
  if (!std::exchange(batch.isOpen_, false)) return;
  const auto it = std::find(published_.rbegin(), published_.rend(), &batch);
  if (it != published_.rend()) published_.erase(std::next(it).base());
}

// Whether a walk reaches entry `i` of `a`'s directory before entry `j` of
// `b`'s: compared where their ways from the top part, a directory coming
// before what is below it. Batches of different walks compare by address.
bool comesBefore(const ReadAheadBatch& a, std::size_t i, const ReadAheadBatch& b, std::size_t j) {
  const ReadAheadBatch* x = &a;
  const ReadAheadBatch* y = &b;
  bool isXLifted = false;
  bool isYLifted = false;
  while (x->depth_ > y->depth_) {
    i = std::exchange(x, x->parent_)->indexInParent_;
    isXLifted = true;
  }
  while (y->depth_ > x->depth_) {
    j = std::exchange(y, y->parent_)->indexInParent_;
    isYLifted = true;
  }
  while (x != y && x->parent_ != nullptr && y->parent_ != nullptr) {
    i = std::exchange(x, x->parent_)->indexInParent_;
    j = std::exchange(y, y->parent_)->indexInParent_;
  }
  if (x != y) return x < y;
  if (i != j) return i < j;
  return isYLifted && !isXLifted;
}

bool ReadAhead::hasWorkIn(const ReadAheadBatch& batch) const {
  return batch.isOpen_ && heldCount_ < heldLimit_ && batch.nextToStart_ < batch.taken_ + window;
}

ReadAheadBatch* ReadAhead::nextWork() {
  // Each walk uses what is prepared in the order it enters directories, and
  // the room for prepared directories is shared: what it needs first is
  // prepared first, so that the room never fills with what it needs last.
  ReadAheadBatch* first = nullptr;
  for (ReadAheadBatch* batch : published_) {
    if (!hasWorkIn(*batch)) continue;
    if (first == nullptr || comesBefore(*batch, batch->firstIndex_ + batch->nextToStart_, *first,
                                        first->firstIndex_ + first->nextToStart_)) {
      first = batch;
    }
  }
  return first;
}

void ReadAhead::run(char* buffer) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (ReadAheadBatch* const batch = nextWork()) {
      prepareNext(*batch, lock, buffer);
      continue;
    }
    ++waitingCount_;
    const bool isIdle = workAvailable_.wait_for(lock, idleLifetime) == std::cv_status::timeout;
    --waitingCount_;
    // A helper between walks holds no thread; the next walk starts them
    // again.
    if (isIdle && nextWork() == nullptr) {
      --threadCount_;
      return;
    }
  }
}

void ReadAhead::prepareNext(ReadAheadBatch& batch, std::unique_lock<std::mutex>& lock,
                            char* buffer) {
  const std::size_t at = batch.nextToStart_++;
  if (batch.nextToStart_ == batch.candidates_.size()) retire(batch);
  ReadAheadBatch::Candidate& candidate = batch.candidates_[at];
  candidate.state = ReadAheadBatch::State::working;
  ++batch.inFlight_;
  ++heldCount_;
  const int parentFd = batch.fd_;
  const char* const name = batch.names_ + candidate.nameOffset;
  std::optional<EntryStatus> known;
  if (batch.statuses_ != nullptr) known = batch.statuses_[batch.firstIndex_ + at];
  const std::uint64_t rootDevice = batch.rootDevice_;
  lock.unlock();
  auto prepared = std::make_unique<PreparedDirectory>();
  const auto outcome = prepareDirectory(parentFd, name, known, rootDevice, buffer, *prepared);
  std::unique_ptr<ReadAheadBatch> below;
  if (outcome && prepared->listing.directoryStart < prepared->listing.entryCount) {
    below = std::make_unique<ReadAheadBatch>(
        prepared->fd.get(), prepared->listing,
        prepared->statuses.empty() ? nullptr : prepared->statuses.data(), rootDevice, &batch,
        batch.firstIndex_ + at);
  }
  lock.lock();
  if (outcome) {
    if (below) {
      publishLocked(*below);
      prepared->batch = std::move(below);
    }
    candidate.prepared = std::move(prepared);
    candidate.state = ReadAheadBatch::State::ready;
  } else {
    candidate.state = ReadAheadBatch::State::given;
    --heldCount_;
    // Out of descriptors or memory: the walk needs them more.
    if (outcome.error().shortage) retire(batch);
  }
  --batch.inFlight_;
  candidateDone_.notify_all();
}

}  // namespace kelmarind::platform::linux
