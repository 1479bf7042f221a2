// Writes log lines through JournalLogger, for the journal test that runs it
// beside a private journald:
//   journal_log_writer SUBSYSTEM CATEGORY {default|error|fault} ARGUMENT ...
// Each pair writes "Journal test: %{public}s" with ARGUMENT at that level.
// Exits 2 when no journal socket is found, since the lines would go to stderr.
#include <cstdio>
#include <string_view>

#include "platform/linux/journal_logger.h"

int main(int argc, char** argv) {
  using kelmarind::platform::LogLevel;
  if (argc < 3 || argc % 2 != 1) {
    (void)std::fputs("usage: journal_log_writer SUBSYSTEM CATEGORY [LEVEL ARGUMENT]...\n", stderr);
    return 1;
  }
  kelmarind::platform::linux::JournalLogger logger(argv[1], argv[2]);
  if (!logger.isWritingToJournal()) return 2;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string_view level = argv[i];
    logger.write(level == "fault"   ? LogLevel::fault
                 : level == "error" ? LogLevel::error
                                    : LogLevel::notice,
                 "Journal test: %{public}s", {argv[i + 1]});
  }
  return 0;
}
