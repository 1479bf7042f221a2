// The main thread's last job: waiting while other threads serve.
#pragma once

namespace kelmarind::platform {

// Blocks the calling thread for the rest of the process's life.
[[noreturn]] void runMainLoop();

}  // namespace kelmarind::platform
