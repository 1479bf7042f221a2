#include "platform/fake/recording_logger.h"

namespace kelmarind::platform::fake {

std::vector<LogRecord> RecordingLogger::records() const {
  const std::scoped_lock lock(mutex_);
  return records_;
}

void RecordingLogger::writeMessage(LogLevel level, std::string_view message) {
  LogRecord record{level, subsystem(), category(), std::string(message)};
  const std::scoped_lock lock(mutex_);
  records_.push_back(std::move(record));
}

}  // namespace kelmarind::platform::fake
