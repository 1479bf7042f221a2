// The journal path of JournalLogger, for real: a private journald in a mount
// namespace of its own receives the lines, and journalctl reads them back.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <simdjson.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace kelmarind {
namespace {

// Exit status of the program, or -1 when it could not be started or died.
int run(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// MESSAGE, PRIORITY, SYSLOG_IDENTIFIER, KELMARIND_SUBSYSTEM, KELMARIND_CATEGORY.
using JournalEntry = std::array<std::string, 5>;

// One entry per line of journalctl's JSON output; a field that is missing or
// not a text (journalctl writes binary values as arrays) stays empty.
std::vector<JournalEntry> readEntries(const std::string& path) {
  std::vector<JournalEntry> entries;
  std::ifstream in(path);
  simdjson::dom::parser parser;
  for (std::string line; std::getline(in, line);) {
    simdjson::dom::element document;
    if (parser.parse(simdjson::padded_string(line)).get(document) != simdjson::SUCCESS) {
      ADD_FAILURE() << "not JSON: " << line;
      continue;
    }
    auto text = [&](const char* field) {
      std::string_view value;
      return document[field].get(value) == simdjson::SUCCESS ? std::string(value) : std::string();
    };
    entries.push_back({text("MESSAGE"), text("PRIORITY"), text("SYSLOG_IDENTIFIER"),
                       text("KELMARIND_SUBSYSTEM"), text("KELMARIND_CATEGORY")});
  }
  return entries;
}

TEST(JournalLoggerJournalTest, EntriesCarryMessagePriorityIdentifierSubsystemAndCategory) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give journald a private /run";
  if (access("/lib/systemd/systemd-journald", X_OK) != 0 ||
      access("/usr/bin/journalctl", X_OK) != 0) {
    GTEST_SKIP() << "systemd-journald or journalctl is not installed";
  }
  if (run({"unshare", "--mount", "--propagation", "private", "true"}) != 0) {
    GTEST_SKIP() << "mount namespaces are not available here";
  }

  const testing::TempDir dir;
  const std::string output = dir / "journal.json";
  ASSERT_EQ(run({"unshare", "--mount", "--propagation", "private", "/bin/sh",
                 KELMARIND_SOURCE_DIR "/tests/private_journal.sh", output,
                 KELMARIND_BIN_DIR "/journal_log_writer", "com.kelmarind.helper", "xpc", "default",
                 "/Users/a b", "error", "two\nlines", "fault", "100% %{public}s"}),
            0);

  const auto entry = [](std::string message, std::string priority) {
    return JournalEntry{"Journal test: " + message, std::move(priority), "KelmarindHelper",
                        "com.kelmarind.helper", "xpc"};
  };
  EXPECT_THAT(readEntries(output),
              ::testing::ElementsAre(entry("/Users/a b", "5"), entry("two\nlines", "3"),
                                     entry("100% %{public}s", "2")));
}

}  // namespace
}  // namespace kelmarind
