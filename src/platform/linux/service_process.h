// Process-wide settings a long-running root service needs before it serves.
#pragma once

namespace kelmarind::platform::linux {

// Ignores SIGPIPE: a log line written to a stderr nobody reads any more (no
// journal, the reader gone) must cost that line, not the service. And keeps
// every large buffer in a mapping of its own, so a busy moment's documents
// go back to the system once freed. Call once, first thing in main.
void prepareServiceProcess();

}  // namespace kelmarind::platform::linux
