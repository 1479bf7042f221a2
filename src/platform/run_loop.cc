#include "platform/run_loop.h"

#include <chrono>
#include <thread>

namespace kelmarind::platform {

void runMainLoop() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace kelmarind::platform
