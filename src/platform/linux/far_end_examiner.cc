#include "platform/linux/far_end_examiner.h"

#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>
#include <utility>

#include "platform/fresh_pages.h"
#include "platform/linux/spin_wait.h"
#include "platform/linux/status_lookahead.h"
#include "platform/linux/thread_sanitizer.h"

namespace kelmarind::platform::linux {
namespace {

using State = SharedDirectory::State;

// Entries of prepared directories their walks have not reached yet, about 70
// bytes each, for the whole process: at most some 70 MiB. Until a walk and
// its helper meet, all the helper has prepared is held, and a helper is
// faster than its walk, which also builds the tree: on a tree of a million
// entries it prepares more than half before they meet.
constexpr std::size_t heldEntryLimit = std::size_t{1} << 20;
std::atomic<std::size_t> processHeldEntries{0};
// Helpers running at once in the process: more than there are cores would
// only take turns with the walks.
std::atomic<unsigned> runningHelpers{0};
unsigned helperLimit() {
  static const unsigned limit = std::max(1U, std::thread::hardware_concurrency());
  return limit;
}
// Descriptors the helper holds at once, those of the deepest directories on
// its way; the others are reopened by name when it climbs back to them.
constexpr std::size_t helperDescriptorLimit = 16;

// Gives the calling thread a descriptor table of its own, holding only
// `keep` and the standard streams. While a table is shared, the kernel takes
// and drops a reference on the directory for every call that names a file
// relative to one; a table of its own spares the helper that (the walk tool
// took 3 % less processor time on a warm /usr, 10 % on the generated tree).
// The helper's descriptors then no longer count against the walk's either. Kept shared when the
// call is refused, and under ThreadSanitizer, which would take the two tables' equal numbers for
// one descriptor.
void useOwnDescriptorTable(int keep) {
  if (isUnderThreadSanitizer) return;
  if (::close_range(static_cast<unsigned>(keep) + 1, ~0U, CLOSE_RANGE_UNSHARE) != 0) return;
  if (keep > STDERR_FILENO + 1) {
    ::close_range(STDERR_FILENO + 1, static_cast<unsigned>(keep) - 1, 0);
  }
}

}  // namespace

void* PreparedMemory::do_allocate(std::size_t bytes, std::size_t alignment) {
  if (bytes <= largestPooledBlock) return pools_.allocate(bytes, alignment);
  char* block = mapPages(roundUp(bytes, mappingGranule));
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void PreparedMemory::do_deallocate(void* data, std::size_t bytes, std::size_t alignment) {
  if (bytes <= largestPooledBlock) return pools_.deallocate(data, bytes, alignment);
  unmapPages(static_cast<char*>(data), roundUp(bytes, mappingGranule));
}

struct FarEndExaminer::Frame {
  SharedDirectory* directory;
  UniqueFd fd;
  std::size_t next;  // its children below this are still to be looked at, the last first
  bool isPrepared;   // by the helper, so its children's device and inode are known
};

FarEndExaminer::FarEndExaminer(int rootAnchor, std::uint64_t rootDevice)
    : rootAnchor_(rootAnchor), rootDevice_(rootDevice) {}

FarEndExaminer::~FarEndExaminer() {
  isStopping_.store(true);
  wakeUps_.fetch_add(1);
  wakeUps_.notify_all();
  if (helper_.joinable()) {
    helper_.join();
    runningHelpers.fetch_sub(1);
  }
  processHeldEntries.fetch_sub(heldEntries_.load());
}

SharedDirectory* FarEndExaminer::start(const DirectoryListing& rootListing,
                                       std::uint64_t rootInode) {
  if (rootListing.entryCount == rootListing.directoryStart) return nullptr;
  if (runningHelpers.fetch_add(1) >= helperLimit()) {
    runningHelpers.fetch_sub(1);
    return nullptr;
  }
  root_ =
      &walkNodes_.emplace_back(std::string(), State::walkListed, rootDevice_, rootInode, &memory_);
  makeChildren(*root_, rootListing, nullptr, walkNodes_);
  isDone_.store(false, std::memory_order_relaxed);
  try {
    helper_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // Out of threads: the walk goes alone, as it would without this class.
    runningHelpers.fetch_sub(1);
    isDone_.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  return root_;
}

SharedDirectory* FarEndExaminer::child(const SharedDirectory* parent,
                                       const DirectoryListing& listing, std::size_t index) {
  if (parent == nullptr || index < listing.directoryStart) return nullptr;
  const std::size_t position = index - listing.directoryStart;
  return position < parent->children_.size() ? parent->children_[position] : nullptr;
}

FarEndExaminer::Entering FarEndExaminer::enter(SharedDirectory& directory, std::uint64_t device,
                                               std::uint64_t inode) {
  State state = State::open;
  if (directory.state_.compare_exchange_strong(state, State::walkTaken)) {
    return {.node = &directory, .isTaken = true};
  }
  if (state == State::helperTaken) {
    waitUntil([&] { return directory.state_.load() != State::helperTaken; }, walkSleeps_);
    state = directory.state_.load();
  }
  if (state != State::helperReady) return {};
  std::unique_ptr<PreparedDirectory> prepared = std::move(directory.prepared_);
  heldEntries_.fetch_sub(prepared->listing.entryCount);
  processHeldEntries.fetch_sub(prepared->listing.entryCount);
  wakeIf(helperSleeps_);
  // Renamed or replaced between the helper's look and the walk's.
  if (prepared->device != device || prepared->inode != inode) return {};
  return {.prepared = std::move(prepared), .node = &directory};
}

void FarEndExaminer::listed(SharedDirectory& directory, const DirectoryListing* listing,
                            std::uint64_t device, std::uint64_t inode) {
  directory.device_ = device;
  directory.inode_ = inode;
  if (listing != nullptr && !isDone()) makeChildren(directory, *listing, nullptr, walkNodes_);
  publish(directory, State::walkListed, helperSleeps_);
}

void FarEndExaminer::makeChildren(SharedDirectory& directory, const DirectoryListing& listing,
                                  const EntryStatus* statuses,
                                  std::pmr::deque<SharedDirectory>& nodes) {
  const char* name = listing.names.data();
  for (std::size_t i = 0; i < listing.directoryStart; ++i) name += std::strlen(name) + 1;
  directory.children_.reserve(listing.entryCount - listing.directoryStart);
  for (std::size_t i = listing.directoryStart; i < listing.entryCount; ++i) {
    const std::size_t length = std::strlen(name);
    State state = State::open;
    std::uint64_t inode = 0;
    if (statuses != nullptr) {
      const EntryStatus& status = statuses[i];
      const bool isEntered = status.error == 0 && S_ISDIR(status.mode) &&
                             makedev(status.deviceMajor, status.deviceMinor) == rootDevice_;
      state = isEntered ? State::open : State::dropped;
      inode = status.inode;
    }
    directory.children_.push_back(
        &nodes.emplace_back(std::string(name, length), state, rootDevice_, inode, &memory_));
    name += length + 1;
  }
}

void FarEndExaminer::run() {
  useOwnDescriptorTable(rootAnchor_);
  const std::unique_ptr<char[]> buffer(new char[listingBufferSize]);
  std::vector<Frame> frames;
  if (auto fd = openDirectoryAt(rootAnchor_, ".");
      fd && isSameDirectory(fd->get(), rootDevice_, root_->inode_)) {
    frames.push_back({root_, std::move(*fd), root_->children_.size(), false});
  }
  // Frames up to `floor` only lead to the directory the helper went below
  // where it met the walk; their other children are the walk's.
  std::size_t floor = 0;
  while (frames.size() > floor && !isStopping_.load(std::memory_order_relaxed)) {
    Frame& top = frames.back();
    if (top.next == 0) {
      frames.pop_back();
      continue;
    }
    SharedDirectory& next = *top.directory->children_[--top.next];
    if (processHeldEntries.load(std::memory_order_relaxed) > heldEntryLimit) {
      // Only this walk taking what was prepared for it frees room that this
      // helper will hear of.
      const std::size_t held = heldEntries_.load();
      if (held == 0) break;
      releaseDescriptors(frames);
      waitUntil([&] { return heldEntries_.load() < held || isStopping_.load(); }, helperSleeps_);
      if (isStopping_.load()) break;
    }
    State state = State::open;
    if (next.state_.compare_exchange_strong(state, State::helperTaken)) {
      if (prepare(next, frames, buffer.get()) == Outcome::stop) break;
      continue;
    }
    if (state != State::walkTaken && state != State::walkListed) continue;
    // The walk is in this directory or below it, so every directory before
    // it in the walk's order is the walk's: what is left is below it. The
    // walk may be waiting for a descriptor to open it.
    releaseDescriptors(frames);
    waitUntil([&] { return next.state_.load() != State::walkTaken || isStopping_.load(); },
              helperSleeps_);
    if (isStopping_.load() || next.children_.empty()) break;
    for (Frame& frame : frames) frame.next = 0;
    floor = frames.size();
    const int parentFd = topDescriptor(frames);
    if (parentFd < 0) break;
    auto fd = openDirectoryAt(parentFd, next.name_.c_str());
    if (!fd || !isSameDirectory(fd->get(), next.device_, next.inode_)) break;
    push(frames, {&next, std::move(*fd), next.children_.size(), false});
  }
  isDone_.store(true, std::memory_order_relaxed);
}

FarEndExaminer::Outcome FarEndExaminer::prepare(SharedDirectory& directory,
                                                std::vector<Frame>& frames, char* buffer) {
  const auto drop = [&](Outcome outcome) {
    publish(directory, State::dropped, walkSleeps_);
    return outcome;
  };
  const bool isParentPrepared = frames.back().isPrepared;
  const int parentFd = topDescriptor(frames);
  if (parentFd < 0) return drop(Outcome::stop);
  const char* name = directory.name_.c_str();
  if (!isParentPrepared) {
    struct statx stx;
    if (statusAt(parentFd, name, stx) != 0 || !S_ISDIR(stx.stx_mode) ||
        makedev(stx.stx_dev_major, stx.stx_dev_minor) != rootDevice_) {
      return drop(Outcome::dropped);
    }
    directory.inode_ = stx.stx_ino;
  }
  auto prepared = std::make_unique<PreparedDirectory>(&memory_);
  const auto outcome =
      openListAndExamine(parentFd, name, rootDevice_, directory.inode_,
                         std::numeric_limits<std::size_t>::max(), buffer, *prepared);
  if (!outcome) return drop(outcome.error().shortage ? Outcome::stop : Outcome::dropped);
  const DirectoryListing& listing = prepared->listing;
  UniqueFd fd = std::move(prepared->fd);
  makeChildren(directory, listing, prepared->statuses.data(), helperNodes_);
  heldEntries_.fetch_add(listing.entryCount);
  processHeldEntries.fetch_add(listing.entryCount);
  const std::size_t childCount = directory.children_.size();
  directory.prepared_ = std::move(prepared);
  publish(directory, State::helperReady, walkSleeps_);
  push(frames, {&directory, std::move(fd), childCount, true});
  return Outcome::prepared;
}

void FarEndExaminer::push(std::vector<Frame>& frames, Frame frame) {
  frames.push_back(std::move(frame));
  // The bottom frame keeps its descriptor: the others are reopened from it.
  if (frames.size() > helperDescriptorLimit) {
    frames[frames.size() - helperDescriptorLimit].fd.reset();
  }
}

int FarEndExaminer::topDescriptor(std::vector<Frame>& frames) const {
  Frame& top = frames.back();
  if (top.fd) return top.fd.get();
  std::size_t open = frames.size() - 1;
  while (open > 0 && !frames[open].fd) --open;
  if (!frames[open].fd) {
    auto root = openDirectoryAt(rootAnchor_, ".");
    if (!root || !isSameDirectory(root->get(), rootDevice_, frames[0].directory->inode_)) return -1;
    frames[0].fd = std::move(*root);
  }
  UniqueFd fd;
  for (std::size_t i = open + 1; i < frames.size(); ++i) {
    const SharedDirectory& directory = *frames[i].directory;
    auto step = openDirectoryAt(fd ? fd.get() : frames[open].fd.get(), directory.name_.c_str());
    if (!step || !isSameDirectory(step->get(), directory.device_, directory.inode_)) return -1;
    fd = std::move(*step);
  }
  if (fd) top.fd = std::move(fd);
  return top.fd.get();
}

void FarEndExaminer::releaseDescriptors(std::vector<Frame>& frames) {
  for (Frame& frame : frames) frame.fd.reset();
}

void FarEndExaminer::publish(SharedDirectory& directory, State state,
                             const std::atomic<bool>& otherSleeps) {
  directory.state_.store(state);
  wakeIf(otherSleeps);
}

void FarEndExaminer::wakeIf(const std::atomic<bool>& sleeps) {
  if (sleeps.load()) {
    wakeUps_.fetch_add(1);
    wakeUps_.notify_all();
  }
}

// Sequentially consistent throughout: either the publishing thread sees this
// one's flag and wakes it, or this one sees what was published.
template <typename Condition>
void FarEndExaminer::waitUntil(Condition condition, std::atomic<bool>& sleeps) {
  for (int i = 0; i < spinsBeforeSleeping; ++i) {
    if (condition()) return;
    pauseBriefly();
  }
  for (;;) {
    sleeps.store(true);
    const std::uint32_t seen = wakeUps_.load();
    if (condition()) break;
    wakeUps_.wait(seen);
  }
  sleeps.store(false, std::memory_order_relaxed);
}

}  // namespace kelmarind::platform::linux
