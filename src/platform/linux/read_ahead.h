// Directories opened, listed and examined ahead of the walks that will enter
// them, on a few threads shared by every walk of the process: on a cold disk
// their reads overlap, and on a warm cache the system calls leave the walk's
// thread. The walks still decide everything themselves, in their own order;
// what is read ahead is only used when it is the directory they examined.
#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace kelmarind::platform::linux {

// What the walk reads of an entry's statx, in a quarter of its room, or the
// errno of the statx that failed.
struct EntryStatus {
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::uint64_t blocks = 0;
  std::int64_t modificationSeconds = 0;
  std::uint32_t modificationNanoseconds = 0;
  std::uint32_t linkCount = 0;
  std::uint32_t mask = 0;
  std::uint32_t deviceMajor = 0;
  std::uint32_t deviceMinor = 0;
  std::uint16_t mode = 0;
  std::uint16_t error = 0;
};

[[nodiscard]] EntryStatus packStatus(const struct statx& stx, int error);
// Fills the fields packStatus keeps; returns the error.
int unpackStatus(const EntryStatus& status, struct statx& out);

// Opens a directory for listing only, never following a final link.
[[nodiscard]] std::expected<platform::UniqueFd, OsError> openDirectoryAt(int dirFd,
                                                                         const char* name);
// The directory open on `fd` is the one with this device and inode.
[[nodiscard]] bool isSameDirectory(int fd, std::uint64_t device, std::uint64_t inode);

// A directory's whole listing: every entry's raw name, each ending in NUL,
// first those the listing says are not directories, then the others (a type
// the listing does not know may be a directory), each in listing order.
struct DirectoryListing {
  std::pmr::string names{};
  std::size_t entryCount = 0;
  std::size_t directoryStart = 0;     // index of the first entry that may be a directory
  std::optional<OsError> shortage{};  // when reading stopped for want of memory
};

// Reads the listing of the directory open on `fd` into `out`, which is
// empty; `buffer` holds listingBufferSize bytes. A directory that cannot be
// read keeps what was read.
constexpr std::size_t listingBufferSize = std::size_t{64} * 1024;
void listDirectory(int fd, char* buffer, DirectoryListing& out);

class ReadAhead;
struct PreparedDirectory;

// Why a directory was not prepared. Most reasons are the walk's to find
// again when it comes there (not a directory of its device, unreadable,
// changed since it was examined); a shortage of descriptors or memory is the
// preparing thread's own to act on, since the walks need them more.
struct NotPrepared {
  std::optional<OsError> shortage;
};

// Descriptors held at once by directories prepared and not yet entered, for
// the whole process: 64, or a quarter of what the process may open when that
// is less, so that the walks, whose own opening waits while descriptors are
// short, keep most of them.
[[nodiscard]] std::size_t readAheadDescriptorLimit();

// Opens the directory `name` below `parentFd`, which must be the one with
// this device and inode, lists it into `out` and, when it has at most
// `examineUpTo` entries, reads every entry's status; `out.fd` keeps it open.
[[nodiscard]] std::expected<void, NotPrepared> openListAndExamine(
    int parentFd, const char* name, std::uint64_t device, std::uint64_t inode,
    std::size_t examineUpTo, char* buffer, PreparedDirectory& out);

// The subdirectories a walk may enter next: the entries from
// `directoryStart` of a listing, opened through `dirFd`. Owned by the
// directory it is about, whose descriptor, names and statuses must stay in
// place until it is destroyed; `parent`, the batch of the directory above
// (none at the top), where it is entry `indexInParent`, must outlive it.
// Destroying it withdraws it.
class ReadAheadBatch {
 public:
  ReadAheadBatch(int dirFd, const DirectoryListing& listing, const EntryStatus* statuses,
                 std::uint64_t rootDevice, const ReadAheadBatch* parent, std::size_t indexInParent);
  ReadAheadBatch(const ReadAheadBatch&) = delete;
  ReadAheadBatch& operator=(const ReadAheadBatch&) = delete;
  ~ReadAheadBatch();

 private:
  friend class ReadAhead;
  friend bool comesBefore(const ReadAheadBatch& a, std::size_t i, const ReadAheadBatch& b,
                          std::size_t j);

  enum class State : std::uint8_t { pending, working, ready, given };
  struct Candidate {
    std::uint32_t nameOffset = 0;
    State state = State::pending;
    std::unique_ptr<PreparedDirectory> prepared{};
  };

  const int fd_;
  const char* const names_;
  const EntryStatus* const statuses_;  // of the listing's entries, by index
  const std::size_t firstIndex_;
  const std::uint64_t rootDevice_;
  // Where the directory is in its walk's order.
  const ReadAheadBatch* const parent_;
  const std::size_t indexInParent_;
  const std::size_t depth_;
  // Guarded by the read-ahead's mutex.
  std::vector<Candidate> candidates_;
  std::size_t nextToStart_ = 0;  // candidates below it are taken on or given up
  std::size_t taken_ = 0;        // candidates below it the walk is past
  std::size_t inFlight_ = 0;     // being prepared
  bool isOpen_ = false;          // published, and fd_ may still be used
  ReadAhead* owner_ = nullptr;   // once published, until withdrawn and dropped
};

// A directory open and listed, by the walk itself or ahead of it: then,
// unless it is wide, every entry examined too, and its own subdirectories
// read ahead in turn. Kept where it was made, since its batch points into it.
struct PreparedDirectory {
  PreparedDirectory() = default;
  // Its listing and statuses in `memory`.
  explicit PreparedDirectory(std::pmr::memory_resource* memory)
      : listing{.names = std::pmr::string(memory)}, statuses(memory) {}

  platform::UniqueFd fd{};
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  DirectoryListing listing{};
  std::pmr::vector<EntryStatus> statuses{};  // one per entry, or none
  // Declared last, so that it is withdrawn before what it reads goes.
  std::unique_ptr<ReadAheadBatch> batch{};
};

// The threads and the descriptors they hold, for the whole process; the
// threads start with the first walk to publish and end when they have had
// nothing to do for half a second.
// Thread-safe; each batch is used by its enumerator's thread only.
class ReadAhead {
 public:
  // The process's read-ahead; a child made by fork gets one of its own.
  [[nodiscard]] static ReadAhead& forThisProcess();

  ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Lets the threads prepare the subdirectories of `directory`, and theirs
  // in turn, each walk's in the order it enters them; `parent` and
  // `indexInParent` as for ReadAheadBatch. Nothing is read ahead when no
  // thread can be started.
  void publish(PreparedDirectory& directory, std::uint64_t rootDevice, const ReadAheadBatch* parent,
               std::size_t indexInParent);
  // Nothing more is opened through the batch's descriptor, which may be
  // closed once this returns; with `isDropping`, what was prepared is closed
  // and freed too.
  void withdraw(ReadAheadBatch& batch, bool isDropping);
  // The directory prepared for the batch's entry `index`, waiting while a
  // thread prepares it; none when it was not prepared, and it will not be.
  // The entries before `index` are given up. Meanwhile the caller's thread
  // prepares the batch's next directories itself, with `buffer` as
  // listDirectory's.
  [[nodiscard]] std::unique_ptr<PreparedDirectory> take(ReadAheadBatch& batch, std::size_t index,
                                                        char* buffer);

 private:
  void run(char* buffer);
  // With the mutex held: whether a thread may take on the batch's next
  // candidate; the batch whose next candidate its walk reaches first.
  [[nodiscard]] bool hasWorkIn(const ReadAheadBatch& batch) const;
  [[nodiscard]] ReadAheadBatch* nextWork();
  // With the mutex held, and released meanwhile: takes on the batch's next
  // candidate and prepares it.
  void prepareNext(ReadAheadBatch& batch, std::unique_lock<std::mutex>& lock, char* buffer);
  // With the mutex held: the candidate, when prepared, is closed and freed,
  // with everything prepared below it.
  void release(ReadAheadBatch::Candidate& candidate, std::unique_lock<std::mutex>& lock);
  void withdrawLocked(ReadAheadBatch& batch, bool isDropping, std::unique_lock<std::mutex>& lock);
  void publishLocked(ReadAheadBatch& batch);
  [[nodiscard]] bool hasThreads(std::unique_lock<std::mutex>& lock);
  // With the mutex held: the batch leaves the published ones.
  void retire(ReadAheadBatch& batch);

  std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable candidateDone_;
  std::vector<ReadAheadBatch*> published_;  // the last published at the end
  const std::size_t heldLimit_;             // the most heldCount_ may reach
  std::size_t heldCount_ = 0;               // descriptors held by prepared or working candidates
  std::size_t waitingCount_ = 0;            // threads waiting for work
  std::size_t threadCount_ = 0;
  bool hasNoThread_ = false;  // starting one failed
};

}  // namespace kelmarind::platform::linux
