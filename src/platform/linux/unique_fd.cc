#include "platform/unique_fd.h"

#include <unistd.h>

namespace kelmarind::platform {

void UniqueFd::reset(int fd) {
  // close() is not retried on EINTR: on Linux the descriptor is released
  // whatever close() reports, and a retry could close a reused number.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace kelmarind::platform
