#include "walk/chunked_output.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

namespace kelmarind::walk {
namespace {

// Writer threads of the whole process: one per core at most, so that many
// large documents at once do not each take a thread.
std::atomic<unsigned> runningWriters{0};

bool claimWriter() {
  const unsigned limit = std::max(1U, std::thread::hardware_concurrency());
  unsigned running = runningWriters.load(std::memory_order_relaxed);
  while (running < limit) {
    if (runningWriters.compare_exchange_weak(running, running + 1)) return true;
  }
  return false;
}

}  // namespace

void ChunkedOutput::Buffer::reserve(std::size_t size) {
  if (capacity >= size) return;
  // Only a node with a path of megabytes needs more than a chunk.
  data = std::make_unique_for_overwrite<char[]>(size);
  capacity = size;
}

ChunkedOutput::ChunkedOutput(const ChunkWriter& write) : write_(write) {
  try {
    buffers_[0].reserve(chunkSize);
  } catch (const std::bad_alloc&) {
    fail(platform::OsError{.code = ENOMEM, .operation = "new"});
  }
}

void ChunkedOutput::startWriter() {
  isWriterTried_ = true;
  if (!claimWriter()) return;
  try {
    thread_ = std::thread([this] { writeHandedOn(); });
  } catch (const std::system_error&) {
    runningWriters.fetch_sub(1);
  }
}

ChunkedOutput::~ChunkedOutput() { stopWriter(); }

void ChunkedOutput::stopWriter() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    isStopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
  runningWriters.fetch_sub(1);
}

void ChunkedOutput::writeHandedOn() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !pending_.empty() || isStopping_; });
    if (pending_.empty()) return;
    const HandedOn handed = pending_.front();
    // After a failure the chunks still handed on are dropped unwritten.
    if (!failure_) {
      lock.unlock();
      auto written = write_(handed.chunk);
      lock.lock();
      if (!written && !failure_) failure_ = written.error();
    }
    pending_.pop_front();
    written_[writtenCount_++] = handed.buffer;
    changed_.notify_all();
  }
}

void ChunkedOutput::fail(platform::OsError error) {
  const std::lock_guard lock(mutex_);
  if (!failure_) failure_ = error;
}

bool ChunkedOutput::pass(const char* filledEnd, bool isLast) {
  {
    const std::lock_guard lock(mutex_);
    if (failure_) return false;
  }
  const char* const start = buffers_[filling_].data.get();
  const std::string_view chunk(start, static_cast<std::size_t>(filledEnd - start));
  if (chunk.empty()) return true;
  handedOnSize_ += chunk.size();
  // A document of one chunk, the most common, is written without a thread.
  if (!isWriterTried_ && !isLast) startWriter();
  if (!thread_.joinable()) {
    auto written = write_(chunk);
    if (!written) fail(written.error());
    return written.has_value();
  }
  std::unique_lock lock(mutex_);
  pending_.push_back({filling_, chunk});
  changed_.notify_all();
  if (isLast) return true;
  // The buffer written out last, its pages still in the cache; a new one
  // only while every buffer in use still waits to be written.
  changed_.wait(lock, [&] { return writtenCount_ > 0 || usedCount_ < bufferCount || failure_; });
  if (failure_) return false;
  filling_ = writtenCount_ > 0 ? written_[--writtenCount_] : usedCount_++;
  return true;
}

std::span<char> ChunkedOutput::handOn(const char* filledEnd, std::size_t size) {
  if (!pass(filledEnd, false)) return {};
  Buffer& next = buffers_[filling_];
  try {
    next.reserve(std::max(chunkSize, size));
  } catch (const std::bad_alloc&) {
    fail(platform::OsError{.code = ENOMEM, .operation = "new"});
    return {};
  }
  return next.bytes();
}

std::expected<std::size_t, platform::OsError> ChunkedOutput::finish(const char* filledEnd) {
  (void)pass(filledEnd, true);
  stopWriter();
  if (failure_) return std::unexpected(*failure_);
  return handedOnSize_;
}

}  // namespace kelmarind::walk
