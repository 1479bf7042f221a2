// A document as the helper handed it over: bytes that came inside the reply
// frame, or sealed memory files mapped read-only, one after another.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace kelmarind::client {

// Move-only; its text stays valid and unchanged for its whole life (a mapped
// file is sealed, so not even the helper can change it). Not thread-safe to
// move while another thread reads it; reading from several threads is fine.
class ReceivedDocument final {
 public:
  // Bytes that came in the frame.
  explicit ReceivedDocument(std::string bytes);
  // A descriptor that came with a frame announcing `size` bytes. Refused
  // (EBADFD, EMSGSIZE) unless it is a memory file sealed against every
  // change and exactly that long; nothing of it is read before.
  [[nodiscard]] static std::expected<ReceivedDocument, platform::OsError> fromSealedFile(
      platform::UniqueFd file, std::size_t size);

  ReceivedDocument(ReceivedDocument&& other) noexcept;
  ReceivedDocument& operator=(ReceivedDocument&& other) noexcept;
  ReceivedDocument(const ReceivedDocument&) = delete;
  ReceivedDocument& operator=(const ReceivedDocument&) = delete;
  ~ReceivedDocument();

  [[nodiscard]] std::string_view text() const;
  // Writes the whole text to `descriptor`; a memory file goes from the file
  // inside the kernel where the output takes it (a file, a pipe, a socket),
  // without being brought into this process.
  [[nodiscard]] std::expected<void, platform::OsError> writeTo(int descriptor) const;

  friend bool operator==(const ReceivedDocument& document, std::string_view text) {
    return document.text() == text;
  }

 private:
  friend class DocumentAssembly;
  ReceivedDocument(platform::UniqueFd file, char* mapping, std::size_t size,
                   std::size_t mappedLength);
  void unmap();

  std::string bytes_;
  platform::UniqueFd file_;  // when it came as one memory file
  char* mapping_ = nullptr;  // where a document that came in files is mapped
  std::size_t size_ = 0;
  std::size_t mappedLength_ = 0;
};

// Takes the leading parts of a large document as they come, each checked
// and mapped; returning false gives the reply up.
using DocumentPartSink = std::function<bool(const ReceivedDocument& part)>;

// A document that arrives in parts: each leading part, a sealed memory file
// of a whole number of pages, is checked and mapped right after the one
// before as it comes, and its descriptor closed, so the parts read as one
// text without being copied and however many there are. The address space
// they are mapped in is reserved ahead, doubling as the document grows, so
// it stays within twice the document's size. With a sink, each part goes to
// it instead and is not kept. Move-only.
class DocumentAssembly final {
 public:
  explicit DocumentAssembly(DocumentPartSink sink = {}) : sink_(std::move(sink)) {}
  DocumentAssembly(DocumentAssembly&& other) noexcept;
  DocumentAssembly& operator=(DocumentAssembly&&) = delete;
  DocumentAssembly(const DocumentAssembly&) = delete;
  DocumentAssembly& operator=(const DocumentAssembly&) = delete;
  ~DocumentAssembly();

  // Refused as fromSealedFile refuses, and also (EMSGSIZE) when `size` is
  // not a whole number of pages or the document would grow past what a
  // reply may hold; ECANCELED when the sink gave the reply up.
  [[nodiscard]] std::expected<void, platform::OsError> add(platform::UniqueFd file,
                                                           std::size_t size);
  [[nodiscard]] bool isEmpty() const { return size_ == 0; }
  // The whole document, `last` (as it came in the reply's last frame) after
  // the parts, or `last` alone when they went to the sink; refused when it
  // would make the document too large.
  [[nodiscard]] std::expected<ReceivedDocument, platform::OsError> finish(ReceivedDocument last) &&;

 private:
  // Makes room for `needed` bytes from the region's start: reserves a larger
  // range and moves every part mapped so far to the same offset there.
  [[nodiscard]] std::expected<void, platform::OsError> reserve(std::size_t needed);

  DocumentPartSink sink_;
  char* region_ = nullptr;              // reserved address space, the parts mapped from its start
  std::size_t reserved_ = 0;            // its length
  std::size_t size_ = 0;                // of the parts so far
  std::vector<std::size_t> partSizes_;  // each its own mapping, moved one by one
};

}  // namespace kelmarind::client
