// A document as the helper handed it over: bytes that came inside the reply
// frame, or a sealed memory file mapped read-only.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

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
  // Writes the whole text to `descriptor`, from the file in the kernel where
  // it can (a file or a pipe), without bringing it into this process.
  [[nodiscard]] std::expected<void, platform::OsError> writeTo(int descriptor) const;

  friend bool operator==(const ReceivedDocument& document, std::string_view text) {
    return document.text() == text;
  }

 private:
  ReceivedDocument(platform::UniqueFd file, void* mapping, std::size_t size);
  void unmap();

  std::string bytes_;
  platform::UniqueFd file_;
  void* mapping_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kelmarind::client
