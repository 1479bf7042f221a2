// The helper end to end: started by socket activation, asked by the real
// client, its log read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "client/scan_client.h"
#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

namespace kelmarind::testing {
namespace {

const std::string refusalLine = "Kelmarind's helper does not read this location.\n";

class ServiceTest : public ::testing::Test {
 protected:
  void startHelper(const std::vector<std::string>& extraUsers = {}) {
    helper_ = std::make_unique<HelperProcess>(extraUsers);
  }

  ProcessResult scan(std::vector<std::string> args, const std::string& cwd = {}) {
    args.insert(args.begin(), {binaryPath("kelmarind-scan"), "--socket", helper_->socketPath()});
    return runProcess(args, cwd);
  }

  void addFile(const std::string& relative, std::size_t size) {
    std::ofstream(tree_ / relative, std::ios::binary) << std::string(size, 'x');
  }

  void addDirectory(const std::string& relative) {
    ASSERT_EQ(::mkdir((tree_ / relative).c_str(), 0755), 0) << relative;
  }

  std::unique_ptr<HelperProcess> helper_;
  TempDir tree_;
};

TEST_F(ServiceTest, StartWritesTheUnsignedLineThenTheStartLineOnce) {
  startHelper();
  if (!helper_->isLogCaptured()) GTEST_SKIP() << "log lines go to the journal here";
  const std::vector<LogLine> lines = helper_->logLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, "error");
  EXPECT_TRUE(lines[0].message.starts_with("Helper is not team-signed"));
  EXPECT_EQ(lines[1].level, "default");
  EXPECT_EQ(lines[1].message, "Kelmarind helper listening on com.kelmarind.helper");
}

// Whatever route a request takes to a protected folder, its own name or a
// symbolic link anyone could make, it is refused with one log line naming
// the request as sent. Links on /proc lead into other processes' views and
// are not followed at all.
TEST_F(ServiceTest, ProtectedFoldersAreRefusedWhateverRouteReachesThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a home under /home/";
  const TempDir home("/home");
  for (const char* folder : {"Documents", "snap", "snap/editor"}) {
    ASSERT_EQ(::mkdir((home / folder).c_str(), 0700), 0) << folder;
  }
  // A second home that is a link to a folder elsewhere: its folders are
  // protected where the link leads too.
  addDirectory("elsewhere");
  addDirectory("elsewhere/Downloads");
  const TempDir links("/home");
  ASSERT_EQ(::symlink((tree_ / "elsewhere").c_str(), (links / "linked").c_str()), 0);
  startHelper({"tester:x:4242:4242::" + home.path() + ":/bin/sh",
               "linked:x:4243:4243::" + links / "linked" + ":/bin/sh"});
  ASSERT_EQ(::symlink(home.path().c_str(), (tree_ / "home").c_str()), 0);
  ASSERT_EQ(::symlink((home / "snap").c_str(), (tree_ / "apps").c_str()), 0);

  const std::vector<std::string> refused = {home / "Documents", tree_ / "home/Documents",
                                            tree_ / "apps/editor", tree_ / "home/snap/../Documents",
                                            tree_ / "elsewhere/Downloads"};
  for (const std::string& path : refused) {
    const ProcessResult result = scan({path});
    EXPECT_EQ(std::tuple(result.exitStatus, result.err), std::tuple(1, refusalLine)) << path;
  }
  const std::string throughProc = "/proc/self/root" + home / "Documents";
  EXPECT_EQ(scan({throughProc}).err, "Not readable even as root: " + throughProc + "\n");
  const ProcessResult link = scan({"--json", tree_ / "home"});
  EXPECT_EQ(link.exitStatus, 0) << "a link as the root is a leaf: " << link.err;

  std::vector<LogLine> lines = helper_->logLines();
  ASSERT_EQ(lines.size(), 2 + refused.size());
  for (std::size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(lines[2 + i].message, "Refused ineligible path: " + refused[i]);
  }
}

TEST_F(ServiceTest, JsonRepliesEqualTheInProcessWalkAndStayIndependent) {
  startHelper();
  addDirectory("a");
  addFile("a/one", 10000);
  addFile("two", 300);
  ASSERT_EQ(::link((tree_ / "two").c_str(), (tree_ / "a/link").c_str()), 0);
  // Equal files with long names, too many to show few and too few to merge:
  // a document the helper writes out in several chunks.
  for (int d = 0; d < 30; ++d) {
    const std::string directory = "big" + std::to_string(d);
    addDirectory(directory);
    const std::string namePrefix = directory + "/" + std::string(200, 'n');
    for (int f = 0; f < 400; ++f) addFile(namePrefix + std::to_string(f), 1);
  }

  const ProcessResult local = runProcess({binaryPath("kelmarind-walk"), tree_.path()});
  ASSERT_EQ(local.exitStatus, 0) << local.err;
  ASSERT_GT(local.out.size(), std::size_t{3} << 21);

  // Several clients at once, each twice: every reply is the same document.
  std::vector<ProcessResult> results(6);
  std::vector<std::thread> clients;
  clients.reserve(results.size());
  for (auto& result : results) {
    clients.emplace_back([&] { result = scan({"--json", tree_.path()}); });
  }
  for (auto& client : clients) client.join();
  for (const ProcessResult& result : results) {
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, local.out);
  }
  EXPECT_EQ(scan({"--json", tree_.path()}).out, local.out);

  // Into a regular file the parts go by splice, through a pipe of the
  // client's own; into a file opened to append, which takes no splice, they
  // are written from their mappings. Both must come out whole and in order.
  TempDir output;
  for (const std::string redirection : {">", ">>"}) {
    const std::string file = output / "document.json";
    const std::string before = redirection == ">>" ? "earlier output\n" : "";
    std::ofstream(file, std::ios::binary) << before;
    const ProcessResult toFile = runProcess(
        {"/bin/sh", "-c", "exec \"$0\" --socket \"$1\" --json \"$2\" " + redirection + " \"$3\"",
         binaryPath("kelmarind-scan"), helper_->socketPath(), tree_.path(), file});
    ASSERT_EQ(toFile.exitStatus, 0) << toFile.err;
    std::ifstream written(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), before + local.out)
        << redirection;
  }
}

TEST_F(ServiceTest, RelativePathIsTakenAgainstTheWorkingDirectory) {
  startHelper();
  addDirectory("sub");
  addFile("sub/file", 5000);
  const ProcessResult relative = scan({"--json", "sub"}, tree_.path());
  ASSERT_EQ(relative.exitStatus, 0) << relative.err;
  EXPECT_EQ(relative.out, scan({"--json", tree_ / "sub"}).out);
  EXPECT_NE(relative.out.find(R"("name":"sub")"), std::string::npos);
}

TEST_F(ServiceTest, HumanViewListsLargestFirstWithShareAndCounts) {
  startHelper();
  addDirectory("big");
  addFile("big/data", std::size_t{3} << 20);
  addFile("small", std::size_t{1} << 20);
  const ProcessResult result = scan({"--depth", "1", tree_.path()});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const auto big = result.out.find("big/");
  const auto small = result.out.find("small");
  ASSERT_NE(big, std::string::npos) << result.out;
  ASSERT_NE(small, std::string::npos) << result.out;
  EXPECT_LT(big, small);
  EXPECT_NE(result.out.find("3.0 MiB   75.0%"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("(2 folders, 2 files)"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("data"), std::string::npos) << "depth 1 shows no grandchildren";
}

TEST_F(ServiceTest, ForeignProcessIsRefusedAndTheClientIsStillServed) {
  startHelper();
  // This test binary carries no client identity: it is a foreign process.
  auto foreign = client::ScanClient::connect(helper_->socketPath());
  ASSERT_TRUE(foreign.has_value());
  const auto answer = foreign->pingWithReply();
  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error().kind, client::ClientError::Kind::broken);
  EXPECT_EQ(scan({"--ping"}).out, "ok\n");
}

// Without a journal the helper logs to stderr. A stderr whose reader has gone
// must cost the log line, not the root service (SIGPIPE would end it).
TEST_F(ServiceTest, LogLineToAStderrNobodyReadsDoesNotEndTheHelper) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hide the journal from the helper";
  // The reader passes the activator's three lines and the helper's two on,
  // and goes away.
  helper_ = std::make_unique<HelperProcess>(
      std::vector<std::string>{},
      std::vector<std::string>{"bash", "-c", "exec 2> >(head -n 5 >&2); exec \"$@\"", "bash"});
  EXPECT_EQ(scan({"--verbatim", "Library"}).err, refusalLine);
  EXPECT_EQ(scan({"--ping"}).out, "ok\n");
}

TEST(ScanClientTest, ExitsWithTwoNamingTheSocketWhenNoHelperAnswers) {
  TempDir dir;
  const ProcessResult result =
      runProcess({binaryPath("kelmarind-scan"), "--socket", dir / "none.sock", "--ping"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.err.find(dir / "none.sock"), std::string::npos) << result.err;
  EXPECT_EQ(runProcess({binaryPath("kelmarind-scan"), "--depth"}).exitStatus, 64);
}

}  // namespace
}  // namespace kelmarind::testing
