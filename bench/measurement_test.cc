#include "bench/measurement.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

namespace kelmarind::bench {
namespace {

TEST(MeasurementTest, ReportsHowTheCommandEnded) {
  const std::pair<std::vector<std::string>, int> rows[] = {
      {{"true"}, 0}, {{"sh", "-c", "exit 3"}, 3}, {{"sh", "-c", "kill -TERM $$"}, 128 + 15}};
  for (const auto& [command, exitStatus] : rows) {
    const auto measured = measureCommand(command, "/dev/null");
    ASSERT_TRUE(measured.has_value()) << measured.error().message();
    EXPECT_EQ(measured->exitStatus, exitStatus) << command.back();
  }
}

TEST(MeasurementTest, SendsStdoutToTheFile) {
  testing::TempDir dir;
  ASSERT_TRUE(measureCommand({"echo", "hello"}, dir / "out").has_value());
  std::ostringstream text;
  text << std::ifstream(dir / "out").rdbuf();
  EXPECT_EQ(text.str(), "hello\n");
}

// Through the kelmarind-measure tool, as the benchmarks measure: the kernel
// counts the measuring process's own peak into its child's when the child
// starts, so only a small measuring process shows a small child as small.
TEST(MeasurementTest, ReportsTheChildsPeakMemoryAndTime) {
  const auto measure = [](std::vector<std::string> command) {
    command.insert(command.begin(), {testing::binaryPath("kelmarind-measure"), "--"});
    const testing::ProcessResult result = testing::runProcess(command);
    Measurement measured{};
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    std::istringstream(result.out) >> measured.wallSeconds >> measured.maxResidentKib >>
        measured.exitStatus >> measured.cpuSeconds;
    return measured;
  };
  // dd fills one 32 MiB block buffer; sleep spends wall time but no CPU.
  const Measurement large =
      measure({"dd", "if=/dev/zero", "of=/dev/null", "bs=32M", "count=1", "status=none"});
  const Measurement idle = measure({"sleep", "0.2"});
  EXPECT_GE(large.maxResidentKib, 32 * 1024);
  EXPECT_GT(idle.maxResidentKib, 0);
  EXPECT_LT(idle.maxResidentKib, 32 * 1024);
  EXPECT_GE(idle.wallSeconds, 0.2);
  EXPECT_LT(idle.cpuSeconds, idle.wallSeconds);
}

TEST(MeasurementTest, FailsWhenTheCommandCannotStart) {
  const auto measured = measureCommand({"kelmarind-no-such-command"}, "/dev/null");
  ASSERT_FALSE(measured.has_value());
  EXPECT_EQ(measured.error().code, ENOENT);
  EXPECT_FALSE(measureCommand({}, "/dev/null").has_value());
}

}  // namespace
}  // namespace kelmarind::bench
