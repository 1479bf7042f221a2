#include "client/received_document.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/fresh_pages.h"
#include "platform/linux/released_send.h"
#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/sealed_memory_file.h"
#include "protocol/wire_protocol.h"

namespace kelmarind::client {
namespace {

std::unexpected<platform::OsError> failure(const char* operation, int code = errno) {
  return std::unexpected(platform::OsError{.code = code, .operation = operation});
}

std::size_t pageSize() {
  static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// Address space first reserved for a document in parts: four of the
// helper's parts. Doubled as the document grows, up to the largest a reply
// holds.
constexpr std::size_t firstReservation = 4 * protocol::replyPartSize;

// The pipe a part goes through on its way to a file or a socket.
constexpr int splicePipeSize = 1 << 20;

// Moves `size` bytes of the memory file `from` to `to` inside the kernel:
// straight into a pipe, which then holds the file's own pages, and into
// anything else through a pipe of this process's own. That pipe takes a
// megabyte at a time where sendfile's takes 64 KiB, and each turn is a
// call into the output's file system. Returns how much went, short of
// `size` when `to` takes no splice (a file opened to append, a terminal).
std::expected<std::size_t, platform::OsError> spliceOut(int from, std::size_t size, int to) {
  struct stat output;
  if (::fstat(to, &output) != 0) return failure("fstat");
  platform::UniqueFd ends[2];
  int pipeEnd = to;
  if (!S_ISFIFO(output.st_mode)) {
    int descriptors[2];
    if (::pipe2(descriptors, O_CLOEXEC) != 0) return failure("pipe2");
    ends[0] = platform::UniqueFd(descriptors[0]);
    ends[1] = platform::UniqueFd(descriptors[1]);
    // At the default size when the system's limit is lower.
    ::fcntl(ends[1].get(), F_SETPIPE_SZ, splicePipeSize);
    pipeEnd = ends[1].get();
  }
  loff_t offset = 0;
  std::size_t written = 0;
  while (written < size) {
    const auto take = [&] { return ::splice(from, &offset, pipeEnd, nullptr, size - written, 0); };
    const ssize_t taken = platform::linux::retryOnInterrupt(take);
    if (taken <= 0) return failure("splice", taken == 0 ? EIO : errno);
    if (pipeEnd == to) {
      written += static_cast<std::size_t>(taken);
      continue;
    }
    for (ssize_t left = taken; left > 0;) {
      const auto give = [&] { return ::splice(ends[0].get(), nullptr, to, nullptr, left, 0); };
      const ssize_t given = platform::linux::retryOnInterrupt(give);
      // What is still in the pipe goes with it: the caller writes from `written`.
      if (given < 0 && errno == EINVAL) return written;
      if (given <= 0) return failure("splice");
      left -= given;
      written += static_cast<std::size_t>(given);
    }
  }
  return written;
}

}  // namespace

ReceivedDocument::ReceivedDocument(std::string bytes)
    : bytes_(std::move(bytes)), size_(bytes_.size()) {}

ReceivedDocument::ReceivedDocument(platform::UniqueFd file, char* mapping, std::size_t size,
                                   std::size_t mappedLength)
    : file_(std::move(file)), mapping_(mapping), size_(size), mappedLength_(mappedLength) {}

std::expected<ReceivedDocument, platform::OsError> ReceivedDocument::fromSealedFile(
    platform::UniqueFd file, std::size_t size) {
  if (auto sealed = platform::linux::checkSealedMemoryFile(file.get(), size); !sealed) {
    return std::unexpected(sealed.error());
  }
  if (size == 0) return ReceivedDocument(std::move(file), nullptr, 0, 0);
  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.get(), 0);
  if (mapping == MAP_FAILED) return failure("mmap");
  return ReceivedDocument(std::move(file), static_cast<char*>(mapping), size, size);
}

ReceivedDocument::ReceivedDocument(ReceivedDocument&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      file_(std::move(other.file_)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mappedLength_(std::exchange(other.mappedLength_, 0)) {}

ReceivedDocument& ReceivedDocument::operator=(ReceivedDocument&& other) noexcept {
  if (this != &other) {
    unmap();
    bytes_ = std::move(other.bytes_);
    file_ = std::move(other.file_);
    mapping_ = std::exchange(other.mapping_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mappedLength_ = std::exchange(other.mappedLength_, 0);
  }
  return *this;
}

ReceivedDocument::~ReceivedDocument() { unmap(); }

void ReceivedDocument::unmap() {
  if (mapping_ != nullptr) ::munmap(mapping_, mappedLength_);
  mapping_ = nullptr;
}

std::string_view ReceivedDocument::text() const {
  if (mapping_ == nullptr) return bytes_;
  return {mapping_, size_};
}

std::expected<void, platform::OsError> ReceivedDocument::writeTo(int descriptor) const {
  if (!file_) return platform::linux::writeAll(descriptor, text());
  auto spliced = spliceOut(file_.get(), size_, descriptor);
  if (!spliced) return std::unexpected(spliced.error());
  return platform::linux::writeAll(descriptor, text().substr(*spliced));
}

DocumentAssembly::DocumentAssembly(DocumentAssembly&& other) noexcept
    : sink_(std::move(other.sink_)),
      region_(std::exchange(other.region_, nullptr)),
      reserved_(std::exchange(other.reserved_, 0)),
      size_(std::exchange(other.size_, 0)),
      partSizes_(std::move(other.partSizes_)) {}

DocumentAssembly::~DocumentAssembly() {
  if (region_ != nullptr) ::munmap(region_, reserved_);
}

std::expected<void, platform::OsError> DocumentAssembly::reserve(std::size_t needed) {
  if (needed <= reserved_) return {};
  std::size_t length = std::max(2 * reserved_, firstReservation);
  while (length < needed) length *= 2;
  // Only reserved: nothing is committed or touched until a part is mapped.
  void* reserved =
      ::mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) return failure("mmap");
  char* const larger = static_cast<char*>(reserved);
  std::size_t offset = 0;
  for (const std::size_t part : partSizes_) {
    if (::mremap(region_ + offset, part, part, MREMAP_MAYMOVE | MREMAP_FIXED, larger + offset) ==
        MAP_FAILED) {
      // The parts moved so far go with the new range, the others with the
      // old one when the assembly is dropped.
      ::munmap(larger, length);
      return failure("mremap");
    }
    offset += part;
  }
  if (region_ != nullptr) ::munmap(region_, reserved_);
  region_ = larger;
  reserved_ = length;
  return {};
}

std::expected<void, platform::OsError> DocumentAssembly::add(platform::UniqueFd file,
                                                             std::size_t size) {
  if (size == 0 || size % pageSize() != 0 || size > protocol::maxReplyFrameSize - size_) {
    return failure("a part of the document", EMSGSIZE);
  }
  if (sink_) {
    auto part = ReceivedDocument::fromSealedFile(std::move(file), size);
    if (!part) return std::unexpected(part.error());
    if (!sink_(*part)) return failure("the document's reader", ECANCELED);
    size_ += size;
    return {};
  }
  if (auto sealed = platform::linux::checkSealedMemoryFile(file.get(), size); !sealed) {
    return std::unexpected(sealed.error());
  }
  if (auto reserved = reserve(size_ + size); !reserved) return reserved;
  if (::mmap(region_ + size_, size, PROT_READ, MAP_SHARED | MAP_FIXED, file.get(), 0) ==
      MAP_FAILED) {
    return failure("mmap");
  }
  size_ += size;
  partSizes_.push_back(size);
  return {};
}

std::expected<ReceivedDocument, platform::OsError> DocumentAssembly::finish(
    ReceivedDocument last) && {
  const std::string_view tail = last.text();
  if (tail.size() > protocol::maxReplyFrameSize - size_) {
    return failure("the document", EMSGSIZE);
  }
  if (region_ == nullptr) return last;
  const std::size_t size = size_ + tail.size();
  const std::size_t mapped = platform::roundUp(size, pageSize());
  if (auto reserved = reserve(mapped); !reserved) return std::unexpected(reserved.error());
  char* const end = region_ + size_;
  if (last.file_) {
    if (!tail.empty() && ::mmap(end, tail.size(), PROT_READ, MAP_SHARED | MAP_FIXED,
                                last.file_.get(), 0) == MAP_FAILED) {
      return failure("mmap");
    }
  } else if (!tail.empty()) {
    const std::size_t length = platform::roundUp(tail.size(), pageSize());
    if (::mmap(end, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
               0) == MAP_FAILED) {
      return failure("mmap");
    }
    std::memcpy(end, tail.data(), tail.size());
    if (::mprotect(end, length, PROT_READ) != 0) return failure("mprotect");
  }
  // The reservation beyond the document goes back.
  if (reserved_ > mapped) ::munmap(region_ + mapped, reserved_ - mapped);
  reserved_ = 0;
  return ReceivedDocument(platform::UniqueFd(), std::exchange(region_, nullptr), size, mapped);
}

}  // namespace kelmarind::client
