#include "platform/linux/journal_logger.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>

// Without this the journal would tag every entry with this file and function,
// which say where the logger lives, not who logged.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include "platform/linux/retry_on_interrupt.h"

namespace kelmarind::platform::linux {
namespace {

constexpr const char* journalSocket = "/run/systemd/journal/socket";
constexpr std::string_view journalIdentifier = "KelmarindHelper";

bool isJournalListening() {
  struct stat status = {};
  return ::stat(journalSocket, &status) == 0 && S_ISSOCK(status.st_mode);
}

struct LevelText {
  std::string_view priority;  // syslog's: notice, error, critical
  std::string_view name;
};

LevelText textOf(LogLevel level) {
  switch (level) {
    case LogLevel::error:
      return {"3", "error"};
    case LogLevel::fault:
      return {"2", "fault"};
    case LogLevel::notice:
      break;
  }
  return {"5", "default"};
}

void appendEscaped(std::string_view text, std::string& out) {
  constexpr std::string_view hexDigits = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out.append("\\\\");
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c == '\t') {
      out.append("\\t");
    } else if (byte < 0x20 || byte == 0x7F) {
      out.append("\\x").push_back(hexDigits[byte >> 4]);
      out.push_back(hexDigits[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
}

}  // namespace

JournalLogger::JournalLogger(std::string subsystem, std::string category)
    : Logger(std::move(subsystem), std::move(category)),
      isWritingToJournal_(isJournalListening()),
      streamFd_(STDERR_FILENO) {}

JournalLogger::JournalLogger(std::string subsystem, std::string category, int streamFd)
    : Logger(std::move(subsystem), std::move(category)),
      isWritingToJournal_(false),
      streamFd_(streamFd) {}

void JournalLogger::writeMessage(LogLevel level, std::string_view message) {
  if (isWritingToJournal_ && sendToJournal(level, message)) return;
  writeStreamLine(level, message);
}

bool JournalLogger::sendToJournal(LogLevel level, std::string_view message) const {
  // sd_journal_sendv rather than sd_journal_send: the message is data, not a
  // format, and may hold newlines or NUL bytes, which the vector form carries.
  const std::array<std::string, 5> fields{
      std::string("MESSAGE=").append(message),
      std::string("PRIORITY=").append(textOf(level).priority),
      std::string("SYSLOG_IDENTIFIER=").append(journalIdentifier),
      "KELMARIND_SUBSYSTEM=" + subsystem(),
      "KELMARIND_CATEGORY=" + category(),
  };
  std::array<iovec, fields.size()> vector{};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    vector[i] = {const_cast<char*>(fields[i].data()), fields[i].size()};
  }
  return sd_journal_sendv(vector.data(), static_cast<int>(vector.size())) >= 0;
}

void JournalLogger::writeStreamLine(LogLevel level, std::string_view message) const {
  std::string line(journalIdentifier);
  line.append(" ").append(textOf(level).name).append(" [");
  appendEscaped(subsystem(), line);
  line.append(":");
  appendEscaped(category(), line);
  line.append("] ");
  appendEscaped(message, line);
  line.push_back('\n');

  // The whole line in one write(): pipes keep writes of up to PIPE_BUF bytes
  // whole, so lines from concurrent threads never interleave. Only a longer
  // line may come back short, and then the rest follows.
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written =
        retryOnInterrupt([&] { return ::write(streamFd_, rest.data(), rest.size()); });
    if (written <= 0) return;  // the line is lost: a logger has nowhere to report it
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace kelmarind::platform::linux
