// The process-wide log: lines at three levels, tagged with the subsystem and
// category of the logger that writes them, arguments always shown in full.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace kelmarind::platform {

// The three levels of the log: notice is the everyday one.
enum class LogLevel { notice, error, fault };

// The placeholder that marks where an argument goes; arguments are public
// texts, never redacted.
inline constexpr std::string_view publicPlaceholder = "%{public}s";

// `format` with its placeholders replaced, in order, by `arguments`. Nothing
// else in `format` is special, and an argument is inserted as it is, never
// read as a format itself. A placeholder with no argument left stays as
// written; arguments with no placeholder left are dropped.
[[nodiscard]] std::string formatLogMessage(std::string_view format,
                                           std::span<const std::string_view> arguments);

// A log handle with a fixed subsystem and category. Implementations must be
// safe to call from many threads at once with no lock of the caller's, and
// never fail visibly: a line that cannot be written is lost.
class Logger {
 public:
  Logger(std::string subsystem, std::string category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}
  virtual ~Logger() = default;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Writes one line: `format` with `arguments` substituted (formatLogMessage).
  void write(LogLevel level, std::string_view format,
             std::initializer_list<std::string_view> arguments = {}) {
    writeMessage(level, formatLogMessage(format, {arguments.begin(), arguments.size()}));
  }

  [[nodiscard]] const std::string& subsystem() const { return subsystem_; }
  [[nodiscard]] const std::string& category() const { return category_; }

 protected:
  // Writes `message`, already formatted, at `level`.
  virtual void writeMessage(LogLevel level, std::string_view message) = 0;

 private:
  const std::string subsystem_;
  const std::string category_;
};

}  // namespace kelmarind::platform
