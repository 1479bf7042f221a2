// Ownership of file descriptors: every descriptor the program opens is held by
// exactly one UniqueFd and closed when that owner goes away.
#pragma once

#include <utility>

namespace kelmarind::platform {

// Move-only owner of one file descriptor (or of none, -1). Not thread-safe;
// owned by one thread at a time like any value.
class UniqueFd final {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool isValid() const { return fd_ >= 0; }
  explicit operator bool() const { return isValid(); }

  // Gives up ownership without closing.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor, if any, and takes `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace kelmarind::platform
