// Repeating a system call that a signal interrupted: the one place where
// EINTR is retried, for the service, the client and the tools alike.
#pragma once

#include <cerrno>

namespace kelmarind::platform::linux {

// Calls `call` (a system call, or anything failing as one does: a negative
// result with errno set) again for as long as it fails with EINTR, and returns
// its last result, errno as that call left it. Only for calls that took
// nothing when interrupted; never for close(), whose descriptor is gone
// whatever it reports.
template <typename Call>
[[nodiscard]] auto retryOnInterrupt(Call call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

}  // namespace kelmarind::platform::linux
