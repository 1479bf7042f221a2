// Writing a large document out while it is still being made: it is handed on
// a chunk at a time from a few buffers taken in turn, so it never lies whole
// in memory, and a second thread writes the chunks handed on while the next
// fills.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>

#include "platform/os_error.h"

namespace kelmarind::walk {

// Takes a document's bytes in order, a chunk at a time; a failure ends the
// writing. Called on a thread of its own when one is free.
using ChunkWriter = std::function<std::expected<void, platform::OsError>(std::string_view chunk)>;

class ChunkedOutput {
 public:
  // The size a chunk is handed on at: large enough that handing on costs
  // nothing next to the copy the writer makes, small enough that the
  // buffers stay in the cache.
  static constexpr std::size_t chunkSize = std::size_t{1} << 20;
  // How many chunks there is room for. With two, the encoder waited
  // whenever the writer fell behind for a moment, as one writing into the
  // helper's memory files does while the client takes a part on the same
  // cores; with four it goes on, and the writer catches up afterwards. The
  // buffer written last is filled next, so a writer that keeps up leaves
  // the others untouched.
  static constexpr std::size_t bufferCount = 4;

  explicit ChunkedOutput(const ChunkWriter& write);
  ChunkedOutput(const ChunkedOutput&) = delete;
  ChunkedOutput& operator=(const ChunkedOutput&) = delete;
  // Waits for the chunk being written, if any; what was not handed on is lost.
  ~ChunkedOutput();

  // The buffer to write into first.
  [[nodiscard]] std::span<char> first() const { return buffers_[0].bytes(); }
  // Hands on the buffer being filled up to `filledEnd` and gives the next,
  // with room for at least `size` bytes; an empty one once a write failed.
  [[nodiscard]] std::span<char> handOn(const char* filledEnd, std::size_t size);
  // Hands on the rest and waits until all is written: the document's size,
  // or the first write's failure.
  [[nodiscard]] std::expected<std::size_t, platform::OsError> finish(const char* filledEnd);

 private:
  struct Buffer {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    [[nodiscard]] std::span<char> bytes() const { return {data.get(), capacity}; }
    void reserve(std::size_t size);
  };

  void writeHandedOn();  // the writer thread
  void stopWriter();
  // Hands the filled part of the buffer on, the last when `isLast`; false
  // once a write has failed.
  bool pass(const char* filledEnd, bool isLast);
  void startWriter();
  void fail(platform::OsError error);

  // A chunk handed on, and the buffer it is in.
  struct HandedOn {
    std::size_t buffer;
    std::string_view chunk;
  };

  const ChunkWriter& write_;
  std::array<Buffer, bufferCount> buffers_;
  std::size_t filling_ = 0;
  std::size_t usedCount_ = 1;  // buffers taken into use, from the first
  std::size_t handedOnSize_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_: the chunks handed to the thread and not yet written,
  // oldest first; the buffers in use written out since, the last written
  // last; whether the thread is to stop once they are; the first failure.
  std::deque<HandedOn> pending_;
  std::array<std::size_t, bufferCount> written_{};
  std::size_t writtenCount_ = 0;
  bool isStopping_ = false;
  std::optional<platform::OsError> failure_;
  // Started with the second chunk, and not when every core has a writer
  // already: chunks are then written as they are handed on.
  std::thread thread_;
  bool isWriterTried_ = false;
};

}  // namespace kelmarind::walk
