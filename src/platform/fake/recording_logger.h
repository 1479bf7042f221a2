// A logger for tests that keeps every line in memory, so a test can check what
// was logged, at which level and under which subsystem and category.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/logger.h"

namespace kelmarind::platform::fake {

struct LogRecord {
  LogLevel level = LogLevel::notice;
  std::string subsystem;
  std::string category;
  std::string message;  // with arguments substituted
  friend bool operator==(const LogRecord&, const LogRecord&) = default;
};

// Thread-safe: lines written from many threads are all kept, in the order the
// writes completed.
class RecordingLogger final : public Logger {
 public:
  RecordingLogger(std::string subsystem, std::string category)
      : Logger(std::move(subsystem), std::move(category)) {}

  // A copy of the lines written so far.
  [[nodiscard]] std::vector<LogRecord> records() const;

 private:
  void writeMessage(LogLevel level, std::string_view message) override;

  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

}  // namespace kelmarind::platform::fake
