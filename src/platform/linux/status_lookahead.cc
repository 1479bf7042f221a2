#include "platform/linux/status_lookahead.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/spin_wait.h"
#include "platform/unique_fd.h"

namespace kelmarind::platform::linux {
namespace {

constexpr unsigned statxMask =
    STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_SIZE | STATX_BLOCKS | STATX_MTIME;
constexpr int statxFlags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_SYNC_AS_STAT;

// Entries claimed at once: the lock is taken once per chunk, and a chunk is
// short enough that the end of a listing finds the two threads finishing
// together.
constexpr std::size_t claimedChunk = 16;
// How far the helper may run ahead of the enumerator, in entries; bounds the
// slots a listing needs (a statx record each).
constexpr std::size_t slotLimit = 256;
std::uint32_t readyValue(std::size_t index) { return static_cast<std::uint32_t>(index + 1); }

}  // namespace

int statusAt(int dirFd, const char* name, struct statx& out) {
  const int result =
      retryOnInterrupt([&] { return ::statx(dirFd, name, statxFlags, statxMask, &out); });
  return result == 0 ? 0 : errno;
}

std::expected<struct statx, OsError> statusOfDescriptor(int fd) {
  struct statx out;
  const int result = retryOnInterrupt(
      [&] { return ::statx(fd, "", statxFlags | AT_EMPTY_PATH, statxMask, &out); });
  if (result != 0) return std::unexpected(OsError{errno, "statx"});
  return out;
}

SharedListing::SharedListing(int fd, const char* names, std::size_t count)
    : fd_(fd),
      names_(names),
      slotCount_(std::min(count, slotLimit)),
      slots_(new Slot[std::max<std::size_t>(slotCount_, 1)]) {
  offsets_.reserve(count);
  std::size_t offset = 0;
  for (std::size_t i = 0; i < count; ++i) {
    offsets_.push_back(static_cast<std::uint32_t>(offset));
    offset += std::strlen(names + offset) + 1;
  }
}

StatusLookahead::~StatusLookahead() {
  {
    const std::lock_guard lock(mutex_);
    isStopping_ = true;
  }
  workAvailable_.notify_one();
  if (helper_.joinable()) helper_.join();
}

void StatusLookahead::publish(SharedListing& listing) {
  if (hasNoHelper_) return;
  if (!helper_.joinable()) {
    try {
      helper_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      // Out of threads: the walk reads every status itself, as it would
      // without this class.
      hasNoHelper_ = true;
      return;
    }
  }
  std::unique_lock lock(mutex_);
  if (published_ != nullptr && published_ != &listing) closeLocked(*published_, lock);
  published_ = &listing;
  listing.id_ = ++lastListingId_;
  if (isHelperWaiting_) workAvailable_.notify_one();
}

void StatusLookahead::withdraw(SharedListing& listing) {
  std::unique_lock lock(mutex_);
  closeLocked(listing, lock);
}

void StatusLookahead::closeLocked(SharedListing& listing, std::unique_lock<std::mutex>& lock) {
  listing.isOpen_ = false;
  if (published_ == &listing) published_ = nullptr;
  chunkDone_.wait(lock, [&] { return listing.chunksInFlight_ == 0; });
}

int StatusLookahead::take(SharedListing& listing, std::size_t index, int dirFd, struct statx& out) {
  SharedListing::Slot& slot = listing.slot(index);
  const std::uint32_t ready = readyValue(index);
  // Rather than wait for the helper's chunk, read the next free one: both
  // threads stay busy, and the entry is usually written by the time this
  // thread comes back to it.
  while (slot.ready.load(std::memory_order_acquire) != ready) {
    std::size_t begin;
    std::size_t end;
    {
      const std::lock_guard lock(mutex_);
      if (!hasRoomIn(listing)) break;
      begin = listing.claimed_;
      end = listing.claimed_ = chunkEnd(listing);
      if (isHelperWaiting_ && published_ == &listing && hasWorkFor(listing)) {
        workAvailable_.notify_one();
      }
    }
    examineChunk(listing, begin, end, dirFd);
  }
  awaitSlot(slot, ready);
  std::memcpy(&out, &slot.status, sizeof out);
  const int error = slot.error;
  listing.taken_.store(index + 1, std::memory_order_release);
  return error;
}

void StatusLookahead::awaitSlot(SharedListing::Slot& slot, std::uint32_t ready) {
  for (int i = 0; i < spinsBeforeSleeping; ++i) {
    if (slot.ready.load(std::memory_order_acquire) == ready) return;
    pauseBriefly();
  }
  // Sequentially consistent with the helper's store and load: either it
  // sees the value awaited and wakes this thread, or this thread sees the
  // slot written.
  awaited_.store(ready);
  for (std::uint32_t seen; (seen = slot.ready.load()) != ready;) slot.ready.wait(seen);
  awaited_.store(0, std::memory_order_relaxed);
}

std::size_t StatusLookahead::chunkEnd(const SharedListing& listing) {
  return std::min(listing.claimed_ + claimedChunk, listing.size());
}

bool StatusLookahead::hasRoomIn(const SharedListing& listing) {
  return listing.claimed_ < listing.size() &&
         chunkEnd(listing) <= listing.taken_.load(std::memory_order_acquire) + listing.slotCount_;
}

bool StatusLookahead::hasWorkFor(const SharedListing& listing) {
  return listing.isOpen_ && hasRoomIn(listing);
}

void StatusLookahead::run() {
  // The helper's own descriptor of the listing it works on: each statx takes
  // and drops a reference to the open directory it starts from, and two
  // threads doing so on one open directory keep its counter's cache line
  // moving between their cores.
  UniqueFd ownFd;
  std::uint64_t ownFdListing = 0;
  std::unique_lock lock(mutex_);
  while (!isStopping_) {
    SharedListing* listing = published_;
    if (listing == nullptr || !hasWorkFor(*listing)) {
      isHelperWaiting_ = true;
      workAvailable_.wait(lock);
      isHelperWaiting_ = false;
      continue;
    }
    const std::size_t begin = listing->claimed_;
    const std::size_t end = listing->claimed_ = chunkEnd(*listing);
    ++listing->chunksInFlight_;
    lock.unlock();
    if (ownFdListing != listing->id_) {
      ownFd.reset(::openat(listing->fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      ownFdListing = listing->id_;
    }
    examineChunk(*listing, begin, end, ownFd ? ownFd.get() : listing->fd_);
    lock.lock();
    if (--listing->chunksInFlight_ == 0 && !listing->isOpen_) chunkDone_.notify_all();
  }
}

void StatusLookahead::examineChunk(SharedListing& listing, std::size_t begin, std::size_t end,
                                   int dirFd) {
  for (std::size_t index = begin; index < end; ++index) {
    SharedListing::Slot& slot = listing.slot(index);
    slot.error = statusAt(dirFd, listing.name(index), slot.status);
    const std::uint32_t ready = readyValue(index);
    slot.ready.store(ready);
    if (awaited_.load() == ready) slot.ready.notify_all();
  }
}

}  // namespace kelmarind::platform::linux
