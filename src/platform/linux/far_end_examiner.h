// A second thread that examines a walk's tree from its far end: the last
// directory in the walk's order first, then backwards, while the walk goes
// forwards from the first. Each directory is opened, listed and its entries'
// status read by exactly one of the two, whichever takes it first; where
// they meet, the helper stops. The walk still reports every entry itself, in
// its own order, so a hard-linked file is still charged to the link reported
// first; only where the system calls run changes.
//
// A directory changes hands with one compare-and-swap and no lock, so small
// directories, half of a typical system tree, are shared as cheaply as wide
// ones.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <memory_resource>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/read_ahead.h"
#include "platform/page_arena.h"

namespace kelmarind::platform::linux {

// An entry of a listed directory that may be a directory, as both threads
// see it. Its fields are written by the thread that took it and read by the
// other only after the state that publishes them.
class SharedDirectory {
 public:
  enum class State : std::uint8_t {
    open,         // taken by neither
    walkTaken,    // the walk is opening and listing it
    walkListed,   // the walk listed it (or found it could not be listed)
    helperTaken,  // the helper is opening, listing and examining it
    helperReady,  // the helper prepared it, for the walk to take
    dropped,      // not a directory to enter, or the helper could not prepare it
  };

  // Its children's list is kept in `memory`.
  SharedDirectory(std::string name, State state, std::uint64_t device, std::uint64_t inode,
                  std::pmr::memory_resource* memory)
      : state_(state), name_(std::move(name)), device_(device), inode_(inode), children_(memory) {}

 private:
  friend class FarEndExaminer;

  std::atomic<State> state_;
  const std::string name_;  // its raw name in its parent
  std::uint64_t device_;    // the directory it must be, once known
  std::uint64_t inode_;
  // Its entries from the listing's `directoryStart`, in listing order.
  std::pmr::vector<SharedDirectory*> children_;
  std::unique_ptr<PreparedDirectory> prepared_{};  // once helperReady, until the walk takes it
};

// Memory for what the far-end examiner prepares, in pools used again as the
// walk frees what it took, so that it stays within the bound on prepared
// entries.
class PreparedMemory final : public std::pmr::memory_resource {
 private:
  // Blocks larger than this (the status records of a directory of more than
  // about 4,600 entries) get mappings of their own.
  static constexpr std::size_t largestPooledBlock = std::size_t{256} << 10;

  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void* data, std::size_t bytes, std::size_t alignment) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  // The pools' chunks, which the pools use again; a block too large for a
  // pool is mapped on its own and given back when freed.
  platform::PageArena chunks_;
  std::pmr::synchronized_pool_resource pools_{
      std::pmr::pool_options{.max_blocks_per_chunk = 0,
                             .largest_required_pool_block = largestPooledBlock},
      &chunks_};
};

class FarEndExaminer {
 public:
  // `rootAnchor` (borrowed) reaches the walk's root; only directories of
  // `rootDevice` are entered, as the walk does.
  FarEndExaminer(int rootAnchor, std::uint64_t rootDevice);
  FarEndExaminer(const FarEndExaminer&) = delete;
  FarEndExaminer& operator=(const FarEndExaminer&) = delete;
  // Stops the helper, which ends within one directory.
  ~FarEndExaminer();

  // The walk's root, listed by the walk: the helper starts on it. Returns
  // the root's node, or none when no helper runs (no subdirectory, or no
  // thread could be started): the walk then goes alone.
  SharedDirectory* start(const DirectoryListing& rootListing, std::uint64_t rootInode);

  // The node of entry `index` of a directory whose node is `parent`; none
  // when the entry is not one the two share.
  [[nodiscard]] static SharedDirectory* child(const SharedDirectory* parent,
                                              const DirectoryListing& listing, std::size_t index);

  // The walk is about to enter `directory`, examined with this device and
  // inode. Either the helper prepared it (`prepared`, and `node` for its
  // own entries), or the walk has now taken it (`isTaken`: it must open and
  // list it and call `listed`), or neither (the walk enters it alone, and
  // the helper does not come below it).
  struct Entering {
    std::unique_ptr<PreparedDirectory> prepared{};
    SharedDirectory* node = nullptr;
    bool isTaken = false;
  };
  [[nodiscard]] Entering enter(SharedDirectory& directory, std::uint64_t device,
                               std::uint64_t inode);
  // The walk listed a directory it took; `listing` is none when it could
  // not. When the helper has stopped, the directory's entries get no nodes
  // and the walk goes alone below it.
  void listed(SharedDirectory& directory, const DirectoryListing* listing, std::uint64_t device,
              std::uint64_t inode);

  // The helper has stopped: the walk may use the other core for something
  // else.
  [[nodiscard]] bool isDone() const { return isDone_.load(std::memory_order_relaxed); }

 private:
  struct Frame;
  enum class Outcome : std::uint8_t { prepared, dropped, stop };
  void run();
  // Opens, lists and examines a directory the helper took below the top
  // frame, and makes it the top; `stop` when the helper must end (a shortage
  // of descriptors or memory, which the walk needs more).
  Outcome prepare(SharedDirectory& directory, std::vector<Frame>& frames, char* buffer);
  // The helper's descriptor of the top frame's directory, reopened from the
  // nearest open one below when it was closed (from the root when none is
  // open); -1 when that failed.
  int topDescriptor(std::vector<Frame>& frames) const;
  // Closes every frame's descriptor: the helper holds none while it waits on
  // the walk, which may be waiting for a descriptor itself.
  static void releaseDescriptors(std::vector<Frame>& frames);
  static void push(std::vector<Frame>& frames, Frame frame);
  void makeChildren(SharedDirectory& directory, const DirectoryListing& listing,
                    const EntryStatus* statuses, std::pmr::deque<SharedDirectory>& nodes);
  // Publishes a state and wakes the other thread if it sleeps.
  void publish(SharedDirectory& directory, SharedDirectory::State state,
               const std::atomic<bool>& otherSleeps);
  template <typename Condition>
  void waitUntil(Condition condition, std::atomic<bool>& sleeps);
  void wakeIf(const std::atomic<bool>& sleeps);

  const int rootAnchor_;
  const std::uint64_t rootDevice_;
  // Declared before the nodes, which are made in it. The prepared
  // directories the walk took are freed into it too, so the examiner must
  // outlive them.
  PreparedMemory memory_;
  // Nodes, each thread making its own; freed with the examiner.
  std::pmr::deque<SharedDirectory> walkNodes_{&memory_};
  std::pmr::deque<SharedDirectory> helperNodes_{&memory_};
  SharedDirectory* root_ = nullptr;
  // Entries of directories prepared and not yet taken by the walk: the
  // helper pauses while they are many.
  std::atomic<std::size_t> heldEntries_{0};
  std::atomic<bool> isStopping_{false};
  std::atomic<bool> isDone_{true};
  std::atomic<bool> walkSleeps_{false};
  std::atomic<bool> helperSleeps_{false};
  std::atomic<std::uint32_t> wakeUps_{0};
  std::thread helper_;
};

}  // namespace kelmarind::platform::linux
