#include "platform/linux/journal_logger.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace kelmarind::platform::linux {
namespace {

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

Pipe makePipe() {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::string readAll(UniqueFd& fd) {
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  return out;
}

struct StreamRow {
  std::string name;
  LogLevel level;
  std::string argument;
  std::string expected;
};

void PrintTo(const StreamRow& row, std::ostream* out) { *out << row.name; }

class JournalLoggerStreamTest : public testing::TestWithParam<StreamRow> {};

TEST_P(JournalLoggerStreamTest, WritesOneEscapedLine) {
  Pipe pipe = makePipe();
  {
    JournalLogger logger("com.kelmarind.helper", "xpc", pipe.writeEnd.get());
    ASSERT_FALSE(logger.isWritingToJournal());
    logger.write(GetParam().level, "Refused ineligible path: %{public}s", {GetParam().argument});
  }
  pipe.writeEnd.reset();
  EXPECT_EQ(readAll(pipe.readEnd), "KelmarindHelper " + GetParam().expected + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, JournalLoggerStreamTest,
    testing::Values(StreamRow{"Default", LogLevel::notice, "/a b",
                              "default [com.kelmarind.helper:xpc] Refused ineligible path: /a b"},
                    StreamRow{"Fault", LogLevel::fault, "x",
                              "fault [com.kelmarind.helper:xpc] Refused ineligible path: x"},
                    StreamRow{
                        "LineBreaksAndBackslashAreEscaped", LogLevel::error, "a\nb\r\\n",
                        "error [com.kelmarind.helper:xpc] Refused ineligible path: a\\nb\\r\\\\n"},
                    StreamRow{"ControlBytesAreEscaped", LogLevel::notice,
                              std::string("\t\x01\x7f\0%\xC3\xA9", 7),
                              "default [com.kelmarind.helper:xpc] Refused ineligible path: "
                              "\\t\\x01\\x7f\\x00%\xC3\xA9"}),
    [](const auto& row) { return row.param.name; });

TEST(JournalLoggerConcurrencyTest, LinesFromManyThreadsNeverInterleave) {
  constexpr int writerThreadCount = 8;
  constexpr int lineCount = 300;
  Pipe pipe = makePipe();
  std::string output;
  std::thread reader([&] { output = readAll(pipe.readEnd); });
  {
    JournalLogger logger("s", "c", pipe.writeEnd.get());
    std::vector<std::jthread> writers(writerThreadCount);
    for (int t = 0; t < writerThreadCount; ++t) {
      writers[t] = std::jthread([&logger, t] {
        const std::string line(200, static_cast<char>('a' + t));
        for (int i = 0; i < lineCount; ++i) logger.write(LogLevel::notice, "%{public}s\n", {line});
      });
    }
  }
  pipe.writeEnd.reset();
  reader.join();

  std::map<std::string, int> countByLine;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    ++countByLine[output.substr(start, end - start)];
  }
  EXPECT_EQ(start, output.size()) << "output ends mid-line";
  ASSERT_EQ(countByLine.size(), static_cast<std::size_t>(writerThreadCount));
  for (int t = 0; t < writerThreadCount; ++t) {
    const std::string line =
        "KelmarindHelper default [s:c] " + std::string(200, static_cast<char>('a' + t)) + "\\n";
    EXPECT_EQ(countByLine[line], lineCount) << line;
  }
}

}  // namespace
}  // namespace kelmarind::platform::linux
