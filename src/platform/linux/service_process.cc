#include "platform/linux/service_process.h"

#include <malloc.h>

#include <csignal>

namespace kelmarind::platform::linux {

void prepareServiceProcess() {
  // Every write that could meet a vanished reader already reports EPIPE
  // (sockets are written with MSG_NOSIGNAL); stderr is the one that could not.
  (void)std::signal(SIGPIPE, SIG_IGN);
  // Documents run to tens of megabytes. A fixed threshold keeps every large
  // buffer in a mapping of its own, given back to the system when freed;
  // glibc's sliding threshold would move them into the heap after the first
  // one, where a busy moment's peak would stay resident for good.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

}  // namespace kelmarind::platform::linux
