// The service's logger on Linux: the systemd journal with structured fields,
// or one escaped line per message on standard error where no journal runs.
#pragma once

#include <string>
#include <string_view>

#include "platform/logger.h"

namespace kelmarind::platform::linux {

// Journal entries carry MESSAGE, PRIORITY (default 5, error 3, fault 2),
// SYSLOG_IDENTIFIER=KelmarindHelper, KELMARIND_SUBSYSTEM and
// KELMARIND_CATEGORY. Stream lines read
//   KelmarindHelper <level> [<subsystem>:<category>] <message>
// with backslash, control bytes and line breaks escaped (\\, \n, \r, \t,
// \xHH), so every message is exactly one line, written with one write() so
// lines of concurrent writers do not interleave. A line the journal refuses
// goes to the stream instead. Thread-safe; immutable after construction.
class JournalLogger final : public Logger {
 public:
  // Uses the journal when its socket exists at construction, standard error
  // otherwise. The process should ignore SIGPIPE, as a closed stream would
  // otherwise end it.
  JournalLogger(std::string subsystem, std::string category);
  // Writes every line to `streamFd`, never to the journal. The descriptor is
  // borrowed and must stay open for the logger's life.
  JournalLogger(std::string subsystem, std::string category, int streamFd);

  [[nodiscard]] bool isWritingToJournal() const { return isWritingToJournal_; }

 private:
  void writeMessage(LogLevel level, std::string_view message) override;
  [[nodiscard]] bool sendToJournal(LogLevel level, std::string_view message) const;
  void writeStreamLine(LogLevel level, std::string_view message) const;

  const bool isWritingToJournal_;
  const int streamFd_;
};

}  // namespace kelmarind::platform::linux
