// A second thread that reads the status of a wide directory's entries (one
// statx each) ahead of the enumerator, so that a walk whose time goes to the
// kernel's per-entry work uses two cores. The enumerator's thread still
// reports every entry itself, in listing order; only where the statx runs
// changes.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os_error.h"

namespace kelmarind::platform::linux {

// 0, or the errno of a failed statx; `out` is filled in place, since the
// record is large and this runs once per entry. Never follows a final link
// nor triggers an automount.
int statusAt(int dirFd, const char* name, struct statx& out);
// The status of the entry open on `fd` itself (an O_PATH descriptor will do).
[[nodiscard]] std::expected<struct statx, OsError> statusOfDescriptor(int fd);

// The entries of one listed directory, shared between the enumerator and the
// lookahead's thread. Made and owned by the enumerator; its names must stay
// in place for the listing's whole life.
class SharedListing {
 public:
  // `names` holds `count` NUL-terminated names one after another.
  SharedListing(int fd, const char* names, std::size_t count);

  [[nodiscard]] std::size_t size() const { return offsets_.size(); }

 private:
  friend class StatusLookahead;

  struct Slot {
    // The index + 1 of the entry whose status the slot holds, once written.
    std::atomic<std::uint32_t> ready{0};
    int error = 0;
    struct statx status;  // written before `ready`, read after it
  };

  [[nodiscard]] const char* name(std::size_t index) const { return names_ + offsets_[index]; }
  [[nodiscard]] Slot& slot(std::size_t index) { return slots_[index % slotCount_]; }

  const int fd_;          // the helper's to use while the listing is published
  std::uint64_t id_ = 0;  // given when published, never reused
  const char* const names_;
  std::vector<std::uint32_t> offsets_;
  std::size_t slotCount_;
  std::unique_ptr<Slot[]> slots_;
  // Guarded by the lookahead's mutex. Entries below `claimed_` have been
  // taken on by one of the two threads, a chunk at a time.
  std::size_t claimed_ = 0;
  std::size_t chunksInFlight_ = 0;  // claimed by the helper and not yet written
  bool isOpen_ = true;              // the helper may still claim entries
  // Entries the enumerator has taken; their slots may be written again.
  std::atomic<std::size_t> taken_{0};
};

// One per enumerator, used from the enumerator's thread only; it starts its
// helper thread on the first listing published and stops it when destroyed.
// When no thread can be started every status is read on the caller's thread.
class StatusLookahead {
 public:
  StatusLookahead() = default;
  StatusLookahead(const StatusLookahead&) = delete;
  StatusLookahead& operator=(const StatusLookahead&) = delete;
  ~StatusLookahead();

  // Lets the helper work on `listing`, and no longer on the listing
  // published before (see withdraw).
  void publish(SharedListing& listing);

  // The helper claims no more of `listing` and has finished what it
  // claimed: the listing's descriptor may then be closed or the listing
  // destroyed.
  void withdraw(SharedListing& listing);

  // The status of entry `index` of `listing`, the entry after the one taken
  // last; read through `dirFd` (the directory's descriptor now) unless the
  // helper has read it. Returns 0 or the statx's errno, like statusAt.
  [[nodiscard]] int take(SharedListing& listing, std::size_t index, int dirFd, struct statx& out);

 private:
  void run();
  // Reads the status of entries [begin, end) into their slots.
  void examineChunk(SharedListing& listing, std::size_t begin, std::size_t end, int dirFd);
  // With the mutex held: where the next chunk would end; whether its slots
  // are free; whether the helper may claim it.
  [[nodiscard]] static std::size_t chunkEnd(const SharedListing& listing);
  [[nodiscard]] static bool hasRoomIn(const SharedListing& listing);
  [[nodiscard]] static bool hasWorkFor(const SharedListing& listing);
  void awaitSlot(SharedListing::Slot& slot, std::uint32_t ready);
  void closeLocked(SharedListing& listing, std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable workAvailable_;  // the helper waits here
  std::condition_variable chunkDone_;      // withdraw waits here
  SharedListing* published_ = nullptr;
  std::uint64_t lastListingId_ = 0;
  bool isHelperWaiting_ = false;
  bool isStopping_ = false;
  bool hasNoHelper_ = false;  // starting the thread failed
  // The `ready` value the enumerator sleeps on, 0 when it does not.
  std::atomic<std::uint32_t> awaited_{0};
  std::thread helper_;
};

}  // namespace kelmarind::platform::linux
