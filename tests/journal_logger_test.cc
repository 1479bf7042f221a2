// The journal path of JournalLogger, for real: a private journald in a mount
// namespace of its own receives the lines, and journalctl reads them back.
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <simdjson.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

namespace kelmarind {
namespace {

using testing::runProcess;

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
  if (runProcess({"unshare", "--mount", "--propagation", "private", "true"}).exitStatus != 0) {
    GTEST_SKIP() << "mount namespaces are not available here";
  }

  const testing::TempDir dir;
  const std::string output = dir / "journal.json";
  const std::string script = std::string(KELMARIND_SOURCE_DIR) + "/tests/private_journal.sh";
  const auto written =
      runProcess({"unshare", "--mount", "--propagation", "private", "/bin/sh", script, output,
                  testing::binaryPath("journal_log_writer"), "com.kelmarind.helper", "xpc",
                  "default", "/Users/a b", "error", "two\nlines", "fault", "100% %{public}s"});
  ASSERT_EQ(written.exitStatus, 0) << written.err;

  const auto entry = [](const std::string& message, std::string priority) {
    return JournalEntry{"Journal test: " + message, std::move(priority), "KelmarindHelper",
                        "com.kelmarind.helper", "xpc"};
  };
  EXPECT_THAT(readEntries(output),
              ::testing::ElementsAre(entry("/Users/a b", "5"), entry("two\nlines", "3"),
                                     entry("100% %{public}s", "2")));
}

}  // namespace
}  // namespace kelmarind
