// The helper under faults and hostile input: clients that die at every stage,
// trees that change while walked, a low descriptor limit, hostile paths. The
// requests come from kelmarind-load, which carries the client identity.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

namespace kelmarind::testing {
namespace {

namespace fs = std::filesystem;

const std::string refusalLine = "Kelmarind's helper does not read this location.";

struct HelperLoad {
  long descriptorCount = 0;
  long threadCount = 0;
  friend bool operator==(const HelperLoad&, const HelperLoad&) = default;
};

std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

class ReliabilityTest : public ::testing::Test {
 protected:
  void startHelper(const std::vector<std::string>& extraUsers = {},
                   const std::vector<std::string>& launcher = {}) {
    helper_ = std::make_unique<HelperProcess>(extraUsers, launcher);
    // The start-up probe's connection may still be ending, later still on a
    // loaded machine or under a sanitizer: wait for the helper to stay the
    // same for a second.
    baseline_ = helperLoad();
    for (int same = 0; same < 20; std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
      const HelperLoad now = helperLoad();
      same = now == baseline_ ? same + 1 : 0;
      baseline_ = now;
    }
  }

  ProcessResult load(const std::string& command, std::vector<std::string> args) {
    args.insert(args.begin(),
                {binaryPath("kelmarind-load"), command, "--socket", helper_->socketPath()});
    return runProcess(args);
  }

  // What kelmarind-load's walk command prints for a raw walk of `path`. One
  // argument may not exceed 128 KiB, so a longer path must be "/aaa...".
  std::string walkRaw(std::string_view path) {
    if (path.size() > 65536) return load("walk", {"--long", std::to_string(path.size() - 1)}).out;
    return load("walk", {"--path-hex", hex(path)}).out;
  }

  std::string localDocument(const std::string& path) {
    const ProcessResult local = runProcess({binaryPath("kelmarind-walk"), path});
    EXPECT_EQ(local.exitStatus, 0) << local.err;
    return local.out;
  }

  HelperLoad helperLoad() const {
    const std::string proc = "/proc/" + std::to_string(helper_->pid());
    HelperLoad now;
    now.descriptorCount = std::distance(fs::directory_iterator(proc + "/fd"), {});
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("Threads:")) now.threadCount = std::stol(line.substr(8));
    }
    return now;
  }

  // Threads end a moment after their connection closes.
  void expectBackToBaseline() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (helperLoad() != baseline_ && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(helperLoad().descriptorCount, baseline_.descriptorCount);
    EXPECT_EQ(helperLoad().threadCount, baseline_.threadCount);
  }

  long residentKiB() const {
    std::ifstream status("/proc/" + std::to_string(helper_->pid()) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    }
    return -1;
  }

  void makeTree(const std::vector<std::string>& how) {
    std::vector<std::string> argv = {binaryPath("kelmarind-load"), "tree", "--dir", tree_ / "t"};
    argv.insert(argv.end(), how.begin(), how.end());
    ASSERT_EQ(runProcess(argv).exitStatus, 0);
  }

  std::unique_ptr<HelperProcess> helper_;
  HelperLoad baseline_;
  TempDir tree_;
};

TEST_F(ReliabilityTest, ClientsKilledAtEveryStageLeaveNothingBehind) {
  // About a megabyte of document, so a reply outgrows the socket buffers and
  // the "replying" client dies while the helper is still sending.
  makeTree({"--entries", "20000"});
  startHelper();
  const std::string expected = localDocument(tree_ / "t");
  ASSERT_GT(expected.size(), 1000000u);

  for (const char* stage : {"connected", "mid-frame", "walking", "replying"}) {
    SCOPED_TRACE(stage);
    const ProcessResult dying = load("die", {"--stage", stage, "--path", tree_ / "t"});
    EXPECT_EQ(dying.exitStatus, -1) << "expected death by signal: " << dying.err;
    expectBackToBaseline();
    EXPECT_EQ(walkRaw(tree_ / "t"), "document\n" + expected);
  }
  if (helper_->isLogCaptured()) {
    EXPECT_EQ(helper_->logLines().size(), 2u) << "nothing is logged for a client that dies";
  }
}

// Sixty-four walks at once, each document a memory file handed to its
// client, spread over many malloc arenas; once they are done the helper is
// back near where it started, not at its peak.
TEST_F(ReliabilityTest, ResidentMemoryReturnsAfterManyLargeWalksAtOnce) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer keeps freed memory in quarantine on purpose";
#endif
  makeTree({"--entries", "20000"});
  startHelper();
  const long before = residentKiB();
  const ProcessResult check =
      load("check", {"--path", tree_ / "t", "--clients", "64", "--rounds", "2"});
  ASSERT_EQ(check.exitStatus, 0) << check.out << check.err;
  expectBackToBaseline();
  EXPECT_LT(residentKiB() - before, 8 * 1024) << "KiB kept after the walks";
}

// Files and directories appear, vanish and move while four clients walk.
TEST_F(ReliabilityTest, EveryDocumentOfAChangingTreeObeysTheNodeInvariants) {
  startHelper();
  const fs::path root = tree_ / "t";
  for (int i = 0; i < 8; ++i) fs::create_directories(root / ("d" + std::to_string(i)) / "sub");
  std::atomic<bool> isMutating{true};
  std::thread mutator([&] {
    std::mt19937 random(42);
    std::error_code ignored;
    while (isMutating) {
      const fs::path a = root / ("d" + std::to_string(random() % 8));
      const fs::path b = root / ("d" + std::to_string(random() % 8));
      const std::string name = "n" + std::to_string(random() % 64);
      switch (random() % 6) {
        case 0:
          std::ofstream(a / name) << std::string(random() % 20000, 'm');
          break;
        case 1:
          fs::remove(a / name, ignored);
          break;
        case 2:
          fs::create_directories(a / "sub" / name / "inner", ignored);
          break;
        case 3:
          fs::remove_all(a / "sub" / name, ignored);
          break;
        case 4:
          fs::rename(a / name, b / name, ignored);
          break;
        default:  // 5
          fs::rename(a / "sub", b / ("moved" + name), ignored);
          fs::create_directories(a / "sub", ignored);
          break;
      }
    }
  });
  const ProcessResult check = load("check", {"--path", root, "--clients", "4", "--rounds", "15"});
  isMutating = false;
  mutator.join();
  EXPECT_EQ(check.exitStatus, 0) << check.out << check.err;
  EXPECT_EQ(check.out, "check: 60 sound documents, 0 failures\n");
}

TEST_F(ReliabilityTest, DeepTreeUnderADescriptorLimitOf32GetsWholeDocuments) {
  makeTree({"--depth", "120"});
  startHelper({}, {"prlimit", "--nofile=32"});
  const std::string expected = localDocument(tree_ / "t");
  // Sixteen walks at once need far more than 32 descriptors: the helper
  // takes them a few at a time, each gives back those it can reopen later
  // and waits for the others; none is turned away or leaves a directory out.
  std::vector<ProcessResult> results(16);
  std::vector<std::thread> clients;
  clients.reserve(results.size());
  for (ProcessResult& result : results) {
    clients.emplace_back([&] {
      result = runProcess(
          {binaryPath("kelmarind-scan"), "--socket", helper_->socketPath(), "--json", tree_ / "t"});
    });
  }
  for (std::thread& client : clients) client.join();
  for (const ProcessResult& result : results) {
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, expected);
  }
  expectBackToBaseline();
}

// The bound on live connections, and the helper's own descriptor limit: at
// 32 descriptors the helper serves only the few connections it has room
// for. Either way the next client waits, here longer than the helper waits
// for descriptors to read an identity, then is served; it is never turned
// away for the helper's shortage.
TEST_F(ReliabilityTest, ConnectionBeyondTheLimitWaitsThenIsServed) {
  for (const bool isDescriptorBound : {false, true}) {
    SCOPED_TRACE(isDescriptorBound ? "32 descriptors" : "64 live connections");
    const std::vector<std::string> launcher = {"prlimit", "--nofile=32"};
    startHelper({}, isDescriptorBound ? launcher : std::vector<std::string>{});
    const ProcessResult bound = load("bound", {"--hold", isDescriptorBound ? "11000" : "0"});
    EXPECT_EQ(bound.exitStatus, 0) << bound.out << bound.err;
    if (!isDescriptorBound) {
      EXPECT_TRUE(bound.out.starts_with("bound: connection 65 waited")) << bound.out;
    }
    expectBackToBaseline();
  }
}

// A chain of `depth` directories under `root`, each named with 255 bytes:
// every node's path holds all the names above it. Made and removed through
// descriptors, since the paths outgrow PATH_MAX.
class LongNamedChain final {
 public:
  LongNamedChain(const std::string& root, int depth) : root_(::open(root.c_str(), O_DIRECTORY)) {
    int parent = ::dup(root_);
    for (int i = 0; i < depth; ++i) {
      const int next = ::mkdirat(parent, name_.c_str(), 0755) == 0
                           ? ::openat(parent, name_.c_str(), O_DIRECTORY)
                           : -1;
      ::close(parent);
      if (next < 0) return;
      parent = next;
    }
    ::close(parent);
  }
  LongNamedChain(const LongNamedChain&) = delete;
  LongNamedChain& operator=(const LongNamedChain&) = delete;
  // Each level's child moves up beside it before the level is removed.
  ~LongNamedChain() {
    std::string level = name_;
    for (int i = 0;; ++i) {
      const int directory = ::openat(root_, level.c_str(), O_DIRECTORY);
      if (directory < 0) break;
      const std::string moved = i % 2 == 0 ? "p" : "q";
      const bool hasChild = ::renameat(directory, name_.c_str(), root_, moved.c_str()) == 0;
      ::close(directory);
      ::unlinkat(root_, level.c_str(), AT_REMOVEDIR);
      if (!hasChild) break;
      level = moved;
    }
    ::close(root_);
  }

  std::string top() const { return name_; }

 private:
  int root_;
  std::string name_ = std::string(255, 'n');
};

// 1,000 levels of long names are a few megabytes on disk and a document of
// hundreds of megabytes: refused before it is written, and the helper goes on.
TEST_F(ReliabilityTest, DocumentBeyondTheReplyBudgetIsRefusedUnwritten) {
  makeTree({"--depth", "3"});
  const LongNamedChain chain(tree_.path(), 1000);
  startHelper();
  const std::string answer = walkRaw(tree_ / chain.top());
  EXPECT_TRUE(answer.starts_with("text\nThe helper's reply is too large to send: "))
      << answer.substr(0, 200);
  EXPECT_EQ(walkRaw(tree_ / "t"), "document\n" + localDocument(tree_ / "t"));
  expectBackToBaseline();
#ifndef __SANITIZE_ADDRESS__  // its shadow and quarantine are resident too
  EXPECT_LT(residentKiB(), 64 * 1024) << "KiB resident after the refusal";
#endif
}

TEST_F(ReliabilityTest, HostilePathsGetTheirAnswerAndOnlyRefusalsAreLogged) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the helper a home under /Users/";
  makeTree({"--depth", "3"});
  startHelper({"tester:x:4242:4242::/Users/tester:/bin/sh"});
  const std::string deep = tree_ / "t/d/d";
  const std::string longPath = "/" + std::string(60000, 'a');
  const std::string notReadable = "text\nNot readable even as root: ";
  // Two-byte characters placed so that the log's cut falls inside one.
  std::string longRefused = "/Users/tester//";
  while (longRefused.size() < 60000) longRefused += "\u00e9\u00e9/../";
  longRefused += "Documents";
  struct Row {
    std::string path;
    std::string answer;
    bool isRefused = false;
  };
  const std::vector<Row> rows = {
      {"", "text\n" + refusalLine, true},
      {"Library", "text\n" + refusalLine, true},
      {std::string("/tmp\0/x", 7), "text\n" + refusalLine, true},
      {"x\nKelmarindHelper fault [com.kelmarind.helper:xpc] forged", "text\n" + refusalLine, true},
      {longRefused, "text\n" + refusalLine, true},
      {"/Users/tester//Documents/", "text\n" + refusalLine, true},
      {"/Users/tester/Public/../Documents", "text\n" + refusalLine, true},
      {"//Users/./tester/Library/Containers//AppOne/..", "text\n" + refusalLine, true},
      {longPath, notReadable + longPath},
      {"/tmp/\xff\xfe", "closed\n"},
      {"/tmp/\xc0\xaf", "closed\n"},
      {"/" + std::string(1 << 20, 'a'), "closed\n"},
      {tree_ / "t/..//t/./d//d/", "document\n" + localDocument(deep)},
      {"/../../.." + deep, "document\n" + localDocument(deep)},
      {"/../none", notReadable + "/../none"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(walkRaw(row.path), row.answer) << hex(row.path.substr(0, 80));
  }

  std::vector<LogLine> lines = helper_->logLines();
  ASSERT_GE(lines.size(), 2u);
  lines.erase(lines.begin(), lines.begin() + 2);
  std::size_t refusalCount = 0;
  for (const Row& row : rows) refusalCount += row.isRefused ? 1 : 0;
  ASSERT_EQ(lines.size(), refusalCount);
  for (const LogLine& line : lines) {
    EXPECT_EQ(line.level, "default");
    EXPECT_TRUE(line.message.starts_with("Refused ineligible path: ")) << line.message;
  }
  EXPECT_EQ(lines[0].message, "Refused ineligible path: ");
  EXPECT_EQ(lines[3].message,
            "Refused ineligible path: x\\nKelmarindHelper fault [com.kelmarind.helper:xpc] forged");
  EXPECT_EQ(lines[4].message, "Refused ineligible path: " + longRefused.substr(0, 4095) + "\u2026");
}

}  // namespace
}  // namespace kelmarind::testing
