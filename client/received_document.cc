#include "client/received_document.h"

#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/linux/released_send.h"
#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/sealed_memory_file.h"

namespace kelmarind::client {
namespace {

std::unexpected<platform::OsError> failure(const char* operation, int code = errno) {
  return std::unexpected(platform::OsError{.code = code, .operation = operation});
}

}  // namespace

ReceivedDocument::ReceivedDocument(std::string bytes)
    : bytes_(std::move(bytes)), size_(bytes_.size()) {}

ReceivedDocument::ReceivedDocument(platform::UniqueFd file, void* mapping, std::size_t size)
    : file_(std::move(file)), mapping_(mapping), size_(size) {}

std::expected<ReceivedDocument, platform::OsError> ReceivedDocument::fromSealedFile(
    platform::UniqueFd file, std::size_t size) {
  if (auto sealed = platform::linux::checkSealedMemoryFile(file.get(), size); !sealed) {
    return std::unexpected(sealed.error());
  }
  if (size == 0) return ReceivedDocument(std::move(file), nullptr, 0);
  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.get(), 0);
  if (mapping == MAP_FAILED) return failure("mmap");
  return ReceivedDocument(std::move(file), mapping, size);
}

ReceivedDocument::ReceivedDocument(ReceivedDocument&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      file_(std::move(other.file_)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

ReceivedDocument& ReceivedDocument::operator=(ReceivedDocument&& other) noexcept {
  if (this != &other) {
    unmap();
    bytes_ = std::move(other.bytes_);
    file_ = std::move(other.file_);
    mapping_ = std::exchange(other.mapping_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

ReceivedDocument::~ReceivedDocument() { unmap(); }

void ReceivedDocument::unmap() {
  if (mapping_ != nullptr) ::munmap(mapping_, size_);
  mapping_ = nullptr;
}

std::string_view ReceivedDocument::text() const {
  if (!file_) return bytes_;
  return {static_cast<const char*>(mapping_), size_};
}

std::expected<void, platform::OsError> ReceivedDocument::writeTo(int descriptor) const {
  if (!file_) return platform::linux::writeAll(descriptor, bytes_);
  off_t offset = 0;
  while (static_cast<std::size_t>(offset) < size_) {
    const ssize_t sent = platform::linux::retryOnInterrupt([&] {
      return ::sendfile(descriptor, file_.get(), &offset, size_ - static_cast<std::size_t>(offset));
    });
    // Some outputs (a terminal, some sockets) take no sendfile: write the rest.
    if (sent < 0 && (errno == EINVAL || errno == ENOSYS)) {
      return platform::linux::writeAll(descriptor, text().substr(static_cast<std::size_t>(offset)));
    }
    if (sent <= 0) return failure("sendfile");
  }
  return {};
}

}  // namespace kelmarind::client
