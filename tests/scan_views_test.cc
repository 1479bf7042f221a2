// The client's human views end to end: the real kelmarind-scan against a real
// helper and a tree made for the test; the terminal browser driven in tmux as
// a person would, the screen read back after each key.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

namespace kelmarind::testing {
namespace {

constexpr std::string_view redName = "\x1b[31mred";

// A tree whose largest entry is big/, with a name that would turn a terminal
// red if it reached it raw.
class ScanViewsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    helper_ = std::make_unique<HelperProcess>();
    ASSERT_EQ(::mkdir((tree_ / "big").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((tree_ / "empty").c_str(), 0755), 0);
    addFile("big/data", 3 << 20);
    addFile("small", 1 << 20);
    addFile(std::string(redName), 256 << 10);
  }

  void addFile(const std::string& relative, std::size_t size) {
    std::ofstream(tree_ / relative, std::ios::binary) << std::string(size, 'x');
  }

  std::unique_ptr<HelperProcess> helper_;
  TempDir tree_;
};

TEST_F(ScanViewsTest, PrintedViewShowsControlCharactersEscaped) {
  const ProcessResult result =
      runProcess({binaryPath("kelmarind-scan"), "--socket", helper_->socketPath(), tree_.path()});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out.find('\x1b'), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("  \\x1b[31mred\n"), std::string::npos) << result.out;
}

// One tmux server of the test's own, its socket in a scratch directory.
class BrowseTerminalTest : public ScanViewsTest {
 protected:
  void SetUp() override {
    if (runProcess({"tmux", "-V"}).exitStatus != 0) GTEST_SKIP() << "tmux is not installed";
    ScanViewsTest::SetUp();
  }
  void TearDown() override { tmux({"kill-server"}); }

  ProcessResult tmux(std::vector<std::string> args) {
    args.insert(args.begin(),
                {"env", "LANG=C.UTF-8", "tmux", "-u", "-S", scratch_ / "tmux", "-f", "/dev/null"});
    return runProcess(args);
  }

  // The browser in a pane of this size; after it ends the pane says how.
  void browse(int width, int height, const std::string& socketPath, const std::string& path) {
    const std::string command = "'" + binaryPath("kelmarind-scan") + "' --socket '" + socketPath +
                                "' --browse '" + path + "'; echo \"exit status $?\"; sleep 60";
    const ProcessResult started =
        tmux({"new-session", "-d", "-x", std::to_string(width), "-y", std::to_string(height), "env",
              "TERM=screen", "LANG=C.UTF-8", "sh", "-c", command});
    ASSERT_EQ(started.exitStatus, 0) << started.err;
  }

  void keys(const std::vector<std::string>& names) {
    std::vector<std::string> args = {"send-keys"};
    args.insert(args.end(), names.begin(), names.end());
    ASSERT_EQ(tmux(args).exitStatus, 0);
  }

  // The screen once it shows `text` (or after five seconds, for the failure
  // message). Each key's effect is awaited this way, never a fixed delay.
  std::string screenWith(std::string_view text) {
    std::string screen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
      screen = tmux({"capture-pane", "-p"}).out;
      if (screen.find(text) != std::string::npos) return screen;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    ADD_FAILURE() << "the screen never showed \"" << text << "\":\n" << screen;
    return screen;
  }

  // The screen's line holding `text`.
  static std::string lineWith(const std::string& screen, std::string_view text) {
    const std::size_t at = screen.find(text);
    if (at == std::string::npos) return {};
    const std::size_t start = screen.rfind('\n', at) + 1;
    return screen.substr(start, screen.find('\n', at) - start);
  }

  TempDir scratch_;
};

TEST_F(BrowseTerminalTest, MovesInAndOutSortsAndShowsNamesEscaped) {
  browse(80, 16, helper_->socketPath(), tree_.path());
  std::string screen = screenWith("big/");
  EXPECT_EQ(screen.substr(0, screen.find('\n')), tree_.path());
  EXPECT_NE(lineWith(screen, "big/").find(">   3.0 MiB  70.6% "), std::string::npos) << screen;
  EXPECT_LT(screen.find("big/"), screen.find("small"));
  EXPECT_NE(lineWith(screen, "\\x1b[31mred").find("256.0 KiB"), std::string::npos) << screen;
  EXPECT_NE(screen.find("empty/  (1 folder, 0 files)"), std::string::npos) << screen;

  keys({"Enter"});
  screen = screenWith(tree_.path() + "/big\n");
  EXPECT_TRUE(lineWith(screen, " data").starts_with(">   3.0 MiB 100.0%")) << screen;
  keys({"BSpace"});
  screen = screenWith("small");
  EXPECT_TRUE(lineWith(screen, "big/").starts_with(">")) << "the place is kept going up";

  keys({"j", "n"});
  screen = screenWith("by name");
  EXPECT_LT(screen.find("\\x1b[31mred"), screen.find("big/"));
  EXPECT_TRUE(lineWith(screen, "small").starts_with(">")) << screen;
  keys({"?"});
  screen = screenWith("Keys");
  keys({"x"});
  screen = screenWith("small");
  EXPECT_EQ(screen.find("Keys"), std::string::npos);

  keys({"q"});
  screenWith("exit status 0");
}

TEST_F(BrowseTerminalTest, NarrowScreenResizeAndAWalkAgainAllBehave) {
  browse(40, 10, helper_->socketPath(), tree_.path());
  std::string screen = screenWith("? help  q quit");
  // At 40 columns the bar and the counts give way to the names.
  EXPECT_EQ(lineWith(screen, "big/"), ">   3.0 MiB  70.6% big/") << screen;

  ASSERT_EQ(tmux({"resize-window", "-x", "110", "-y", "20"}).exitStatus, 0);
  screen = screenWith("r walk again");
  EXPECT_NE(
      lineWith(screen, "big/")
          .find(
              "\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588"
              "\u2591\u2591\u2591\u2591\u2591\u2591 big/  (1 folder, 1 file)"),
      std::string::npos)
      << screen;

  addFile("grown", 8 << 20);
  keys({"r"});
  screen = screenWith("grown");
  EXPECT_TRUE(lineWith(screen, "grown").starts_with("    8.0 MiB  65.3%")) << screen;
  EXPECT_TRUE(lineWith(screen, "big/").starts_with(">")) << "the selection follows its entry";
  keys({"q"});
  screenWith("exit status 0");
}

// A helper that takes the connection and never answers: the walk stays in
// progress for as long as the test likes.
TEST_F(BrowseTerminalTest, AWalkInProgressShowsItsTimeAndQLeavesIt) {
  const std::string stalled = scratch_ / "stalled.sock";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, stalled.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);

  browse(60, 8, stalled, tree_.path());
  std::string screen = screenWith("walking\u2026 0.");
  EXPECT_NE(screen.find(tree_.path()), std::string::npos) << screen;
  EXPECT_NE(screen.find("q quit"), std::string::npos) << screen;
  screenWith("walking\u2026 1.");  // the time moves on
  keys({"q"});
  screenWith("exit status 0");
  ::close(listener);
}

std::string sourceText(const std::string& relative) {
  std::ifstream in(std::string(KELMARIND_SOURCE_DIR) + "/" + relative);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ScanManualTest, HelpManualPageAndCompletionAgreeOnOptionsAndStatuses) {
  const ProcessResult help = runProcess({binaryPath("kelmarind-scan"), "--help"});
  ASSERT_EQ(help.exitStatus, 0);
  const std::string manual = sourceText("docs/man/kelmarind-scan.1");
  const std::string completion = sourceText("client/kelmarind-scan.bash");
  ASSERT_FALSE(manual.empty());
  ASSERT_FALSE(completion.empty());
  int optionCount = 0;
  for (std::size_t at = help.out.find("--"); at != std::string::npos;
       at = help.out.find("--", at + 2)) {
    const std::size_t end = help.out.find_first_not_of("abcdefghijklmnopqrstuvwxyz", at + 2);
    const std::string name = help.out.substr(at + 2, end - at - 2);
    if (name.empty()) continue;
    ++optionCount;
    EXPECT_NE(manual.find("\\-\\-" + name), std::string::npos) << "--" << name;
    EXPECT_NE(completion.find("--" + name), std::string::npos) << "--" << name;
  }
  EXPECT_GE(optionCount, 9);
  const std::size_t statuses = help.out.find("Exit status:");
  ASSERT_NE(statuses, std::string::npos);
  for (const std::string status : {"0", "1", "2", "3", "64"}) {
    EXPECT_NE(help.out.find("\n  " + status + " ", statuses), std::string::npos) << status;
    EXPECT_NE(manual.find(".B " + status + "\n", manual.find(".SH EXIT STATUS")), std::string::npos)
        << status;
  }
  const ProcessResult version = runProcess({binaryPath("kelmarind-scan"), "--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_TRUE(version.out.starts_with("kelmarind-scan 1.")) << version.out;
}

}  // namespace
}  // namespace kelmarind::testing
