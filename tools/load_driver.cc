// kelmarind-load: drives a running helper for the reliability suites. It is
// built twice: kelmarind-load carries the client identity and is served;
// kelmarind-load-foreign carries none and is refused.
//   tree   --dir D (--entries N | --flat N | --depth N)  generate a test tree
//   load   --socket S --expected FILE --tree D --clients N --seconds N --pid P
//   churn  --socket S --count N [--parallel N]
//   bound  --socket S [--limit N] [--hold MS]  the first to wait is then served
//   die    --socket S --stage connected|mid-frame|walking|replying [--path P]
//   walk   --socket S (--path-hex HEX | --long N) [--check]  one raw request
//   check  --socket S --path P [--clients N] [--rounds N]   invariants only
//   sample --pid P                       descriptors, threads, resident KiB
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/scan_client.h"
#include "platform/linux/unix_socket.h"
#include "protocol/wire_protocol.h"
#include "tools/node_invariants.h"
#include "walk/node_json.h"

namespace {

using namespace kelmarind;
using Clock = std::chrono::steady_clock;
namespace wire = protocol;
using Options = std::map<std::string, std::string>;

// Diagnostics for whoever runs the driver; the reports on stdout are checked
// once, in main.
__attribute__((format(printf, 1, 2))) void complain(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  // A diagnostic that cannot be written has nowhere else to go.
  (void)std::vfprintf(stderr, format, arguments);
  va_end(arguments);
}

std::string option(const Options& options, const std::string& name,
                   const std::string& fallback = {}) {
  const auto found = options.find(name);
  return found == options.end() ? fallback : found->second;
}

long number(const Options& options, const std::string& name, long fallback) {
  const auto found = options.find(name);
  return found == options.end() ? fallback : std::stol(found->second);
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- the helper as /proc shows it

struct Sample {
  long descriptorCount = -1;
  long threadCount = -1;
  long residentKiB = -1;
};

Sample sample(pid_t pid) {
  Sample out;
  std::error_code error;
  const std::string base = "/proc/" + std::to_string(pid);
  out.descriptorCount = 0;
  for (auto it = std::filesystem::directory_iterator(base + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++out.descriptorCount;
  }
  if (error) out.descriptorCount = -1;
  std::ifstream status(base + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) out.threadCount = std::stol(line.substr(8));
    if (line.starts_with("VmRSS:")) out.residentKiB = std::stol(line.substr(6));
  }
  return out;
}

// Waits up to `limit` for the helper's descriptors and threads to come back
// to `baseline`; returns the last sample.
Sample settle(pid_t pid, const Sample& baseline, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  Sample now = sample(pid);
  while (Clock::now() < deadline && (now.descriptorCount != baseline.descriptorCount ||
                                     now.threadCount != baseline.threadCount)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    now = sample(pid);
  }
  return now;
}

// ---- test trees

void writeFile(const std::filesystem::path& path, std::size_t size) {
  std::ofstream(path, std::ios::binary) << std::string(size, 'k');
}

// Three levels of ten directories; the leaves share the files. One file in
// four has content of 1 to 16 KiB so coalescing has something to decide,
// and every leaf holds a hard link and a symbolic link.
long makeBushyTree(const std::filesystem::path& root, long entryCount) {
  std::vector<std::filesystem::path> leaves;
  long made = 0;
  std::filesystem::create_directories(root);
  for (int a = 0; a < 10; ++a) {
    for (int b = 0; b < 10; ++b) {
      for (int c = 0; c < 10; ++c) {
        leaves.push_back(root / ("d" + std::to_string(a)) / ("d" + std::to_string(b)) /
                         ("d" + std::to_string(c)));
        std::filesystem::create_directories(leaves.back());
      }
    }
  }
  made += 1110;
  const long perLeaf = std::max(3L, (entryCount - made) / static_cast<long>(leaves.size()));
  for (std::size_t leaf = 0; leaf < leaves.size(); ++leaf) {
    for (long i = 0; i + 2 < perLeaf; ++i) {
      const long serial = static_cast<long>(leaf) * perLeaf + i;
      writeFile(leaves[leaf] / ("f" + std::to_string(i)),
                serial % 4 == 0 ? static_cast<std::size_t>(1 + serial % 16) * 1024 : 0);
    }
    std::filesystem::create_hard_link(leaves[leaf] / "f0", leaves[leaf] / "hard");
    std::filesystem::create_symlink("f0", leaves[leaf] / "soft");
    made += perLeaf;
  }
  return made;
}

long makeFlatDirectory(const std::filesystem::path& root, long entryCount) {
  std::filesystem::create_directories(root);
  for (long i = 0; i < entryCount; ++i) {
    const std::string path = (root / ("e" + std::to_string(i))).string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return i;
    ::close(fd);
  }
  return entryCount;
}

// A chain of `depth` directories, each with one file beside the next level.
long makeDeepTree(const std::filesystem::path& root, long depth) {
  std::filesystem::path level = root;
  for (long i = 0; i < depth; ++i) {
    std::filesystem::create_directories(level);
    writeFile(level / "file", 4096);
    level /= "d";
  }
  return 2 * depth;
}

int commandTree(const Options& options) {
  const std::filesystem::path dir = option(options, "--dir");
  long made = 0;
  if (options.contains("--flat")) {
    made = makeFlatDirectory(dir, number(options, "--flat", 0));
  } else if (options.contains("--depth")) {
    made = makeDeepTree(dir, number(options, "--depth", 0));
  } else {
    made = makeBushyTree(dir, number(options, "--entries", 100000));
  }
  std::printf("tree: %ld entries in %s\n", made, dir.c_str());
  return 0;
}

// ---- load

struct Tally {
  std::atomic<long> walkCount{0};
  std::atomic<long> pingCount{0};
  std::atomic<long> failureCount{0};
  std::mutex mutex;
  std::vector<std::string> failures;

  void fail(std::string what) {
    if (++failureCount > 5) return;
    std::lock_guard lock(mutex);
    failures.push_back(std::move(what));
  }
};

// One client: a connection for a few requests at a time, each walk followed
// by a ping, every document compared with the in-process walk's.
void runClient(const Options& options, const std::string& expected, Clock::time_point deadline,
               Tally& tally) {
  const std::string socket = option(options, "--socket");
  const std::string tree = option(options, "--tree");
  while (Clock::now() < deadline) {
    auto client = client::ScanClient::connect(socket);
    if (!client) return tally.fail(client.error().message);
    for (int i = 0; i < 4 && Clock::now() < deadline; ++i) {
      auto answer = client->walkSubtreeAtPath(tree);
      if (!answer) return tally.fail(answer.error().message);
      if (!*answer) return tally.fail("walk answered: " + answer->error());
      if (**answer != expected) return tally.fail("a document differs from the in-process walk's");
      ++tally.walkCount;
      auto pong = client->pingWithReply();
      if (!pong || *pong != "ok") return tally.fail("ping not answered ok");
      ++tally.pingCount;
    }
  }
}

int commandLoad(const Options& options) {
  std::ifstream in(option(options, "--expected"), std::ios::binary);
  const std::string expected{std::istreambuf_iterator<char>(in), {}};
  const pid_t pid = static_cast<pid_t>(number(options, "--pid", 0));
  const long clientCount = number(options, "--clients", 64);
  const auto seconds = std::chrono::seconds(number(options, "--seconds", 120));
  if (expected.empty() || pid <= 0) {
    complain("load: need --expected and --pid\n");
    return 2;
  }

  const Sample before = sample(pid);
  Sample peak = before;
  std::atomic<bool> isRunning{true};
  std::thread sampler([&] {
    while (isRunning) {
      const Sample now = sample(pid);
      peak.descriptorCount = std::max(peak.descriptorCount, now.descriptorCount);
      peak.threadCount = std::max(peak.threadCount, now.threadCount);
      peak.residentKiB = std::max(peak.residentKiB, now.residentKiB);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  Tally tally;
  const auto start = Clock::now();
  std::vector<std::thread> clients;
  clients.reserve(static_cast<std::size_t>(std::max(clientCount, 0L)));
  for (long i = 0; i < clientCount; ++i) {
    clients.emplace_back(runClient, std::cref(options), std::cref(expected), start + seconds,
                         std::ref(tally));
  }
  for (std::thread& client : clients) client.join();
  const double elapsed = millisecondsSince(start) / 1000;
  isRunning = false;
  sampler.join();
  const Sample after = settle(pid, before, std::chrono::seconds(10));

  std::printf("load: %ld clients for %.0f s, document %zu bytes\n", clientCount, elapsed,
              expected.size());
  std::printf("  walks served %ld (%.1f/s), pings served %ld, failures %ld\n",
              tally.walkCount.load(), static_cast<double>(tally.walkCount) / elapsed,
              tally.pingCount.load(), tally.failureCount.load());
  std::printf("  %-14s %10s %10s %10s\n", "helper", "before", "peak", "after");
  std::printf("  %-14s %10ld %10ld %10ld\n", "descriptors", before.descriptorCount,
              peak.descriptorCount, after.descriptorCount);
  std::printf("  %-14s %10ld %10ld %10ld\n", "threads", before.threadCount, peak.threadCount,
              after.threadCount);
  std::printf("  %-14s %10ld %10ld %10ld\n", "resident KiB", before.residentKiB, peak.residentKiB,
              after.residentKiB);
  for (const std::string& failure : tally.failures) complain("  failure: %s\n", failure.c_str());
  const bool isBack =
      after.descriptorCount == before.descriptorCount && after.threadCount == before.threadCount;
  return tally.failureCount == 0 && isBack ? 0 : 1;
}

// ---- churn and the connection bound

// Connects, pings and closes: "ok" when served, "refused" when the helper
// closed without a reply, "unreachable" when connect failed.
std::string pingOnce(const std::string& socket) {
  auto client = client::ScanClient::connect(socket);
  if (!client) return "unreachable";
  auto pong = client->pingWithReply();
  if (pong) return *pong;
  return pong.error().kind == client::ClientError::Kind::broken ? "refused" : "malformed";
}

int commandChurn(const Options& options) {
  const std::string socket = option(options, "--socket");
  const long count = number(options, "--count", 10000);
  const long parallel = number(options, "--parallel", 8);
  std::atomic<long> next{0};
  std::mutex mutex;
  std::map<std::string, long> outcomes;
  double slowest = 0;
  const auto start = Clock::now();
  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(std::max(parallel, 0L)));
  for (long w = 0; w < parallel; ++w) {
    workers.emplace_back([&] {
      while (next++ < count) {
        const auto begun = Clock::now();
        const std::string outcome = pingOnce(socket);
        const double took = millisecondsSince(begun);
        std::lock_guard lock(mutex);
        ++outcomes[outcome];
        slowest = std::max(slowest, took);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double elapsed = millisecondsSince(start) / 1000;
  std::printf("churn: %ld connections in %.1f s (%.0f/s), slowest %.1f ms:", count, elapsed,
              static_cast<double>(count) / elapsed, slowest);
  for (const auto& [outcome, n] : outcomes) std::printf(" %s %ld", outcome.c_str(), n);
  std::printf("\n");
  return 0;
}

enum class PingOutcome { served, closed, waiting };

// Sends a ping on a fresh connection and waits up to `milliseconds` for it.
PingOutcome pingAndWait(int fd, int milliseconds) {
  static const auto ping =
      wire::encodeRequest({.selector = std::string(wire::pingWithReplySelector), .arguments = {}});
  const std::array<std::string_view, 1> pieces{*ping};
  if (!platform::linux::sendAll(fd, pieces)) return PingOutcome::closed;
  pollfd entry{.fd = fd, .events = POLLIN, .revents = 0};
  if (::poll(&entry, 1, milliseconds) != 1) return PingOutcome::waiting;
  std::array<char, wire::frameHeaderSize> header{};
  return platform::linux::readFully(fd, header).value_or(0) == header.size() ? PingOutcome::served
                                                                             : PingOutcome::closed;
}

// Holds connections, each served once, until one is neither served nor
// closed but waits; keeps them all --hold ms (0) longer, then closes the
// first and expects the waiting one to be served. A connection closed
// unserved, or more than --limit served, fails.
int commandBound(const Options& options) {
  const std::string socket = option(options, "--socket");
  const auto limit = static_cast<std::size_t>(number(options, "--limit", 64));
  std::vector<platform::UniqueFd> held;
  for (;;) {
    auto next = platform::linux::connectUnixSocket(socket);
    if (!next) {
      complain("bound: cannot connect\n");
      return 1;
    }
    const PingOutcome outcome = pingAndWait(next->get(), 1000);
    if (outcome == PingOutcome::closed) {
      complain("bound: connection %zu was closed unserved\n", held.size() + 1);
      return 1;
    }
    if (outcome == PingOutcome::waiting) {
      held.push_back(std::move(*next));
      break;
    }
    held.push_back(std::move(*next));
    if (held.size() > limit) {
      complain("bound: %zu served\n", held.size());
      return 1;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(number(options, "--hold", 0)));
  const auto released = Clock::now();
  if (held.size() > 1) held.erase(held.begin());
  pollfd entry{.fd = held.back().get(), .events = POLLIN, .revents = 0};
  std::array<char, wire::frameHeaderSize> header{};
  const bool isServed =
      ::poll(&entry, 1, 15000) == 1 &&
      platform::linux::readFully(held.back().get(), header).value_or(0) == header.size();
  std::printf("bound: connection %zu waited while %zu were open; %s %.1f ms after 1 closed\n",
              held.size() + 1, held.size(), isServed ? "served" : "NOT served",
              millisecondsSince(released));
  return isServed ? 0 : 1;
}

// ---- single requests: dying clients, hostile paths

// A walk request built by hand, so paths the encoder refuses (invalid UTF-8,
// longer than a frame) can still be sent.
std::string rawWalkFrame(std::string_view path) {
  std::string payload{static_cast<char>(wire::FrameKind::request),
                      static_cast<char>(wire::walkSubtreeAtPathSelector.size())};
  payload += wire::walkSubtreeAtPathSelector;
  payload += {'\0', '\1', static_cast<char>(wire::ValueType::text)};
  auto appendLength = [](std::string& out, std::size_t n) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(n >> shift));
  };
  appendLength(payload, path.size());
  payload += path;
  payload.push_back('\0');
  std::string frame;
  appendLength(frame, payload.size());
  return frame + payload;
}

std::string fromHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

[[noreturn]] void die() {
  ::kill(::getpid(), SIGKILL);
  std::abort();
}

int commandDie(const Options& options) {
  auto socket = platform::linux::connectUnixSocket(option(options, "--socket"));
  if (!socket) return 2;
  const std::string stage = option(options, "--stage");
  const std::string frame = rawWalkFrame(option(options, "--path", "/"));
  std::string_view toSend = frame;
  if (stage == "connected") toSend = {};
  if (stage == "mid-frame") toSend = toSend.substr(0, toSend.size() / 2);
  const std::array<std::string_view, 1> pieces{toSend};
  if (!platform::linux::sendAll(socket->get(), pieces)) return 2;
  if (stage == "replying") {
    // The reply's header, and with it the document's memory file: the client
    // dies holding a descriptor it has not mapped.
    std::array<char, wire::frameHeaderSize> start{};
    if (platform::linux::readFully(socket->get(), start).value_or(0) != start.size()) return 3;
  } else if (stage != "walking") {
    // Long enough for the helper to be waiting on this connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  die();
}

int commandWalk(const Options& options) {
  auto client = client::ScanClient::connect(option(options, "--socket"));
  if (!client) return 2;
  const std::string path = options.contains("--long")
                               ? "/" + std::string(number(options, "--long", 0), 'a')
                               : fromHex(option(options, "--path-hex"));
  auto reply = client->callFramed(rawWalkFrame(path));
  if (!reply) {
    // The helper closes a connection whose frame it refuses, perhaps before
    // it has read all of it.
    if (reply.error().kind == client::ClientError::Kind::broken) return std::puts("closed"), 0;
    return std::printf("malformed: %s\n", reply.error().message.c_str()), 1;
  }
  const auto& [document, text] = *reply;
  if (text) std::printf("text\n%.*s", static_cast<int>(text->size()), text->data());
  if (!document) return 0;
  const std::string_view bytes = document->text();
  std::printf("document\n");
  if (!options.contains("--check")) return std::fwrite(bytes.data(), 1, bytes.size(), stdout), 0;
  const auto root = walk::decodeDocument(bytes);
  if (!root) return std::printf("undecodable: %s\n", root.error().description().c_str()), 1;
  const auto problem = reliability::firstBrokenInvariant(*root);
  std::printf("%s; %lld folders, %lld files, %zu children\n", problem ? problem->c_str() : "sound",
              static_cast<long long>(root->folderCount), static_cast<long long>(root->fileCount),
              root->children.size());
  return problem ? 1 : 0;
}

// Several clients walk the same path for a few rounds; every reply must be a
// sound document. For trees that change or cannot be fully opened.
int commandCheck(const Options& options) {
  const long clientCount = number(options, "--clients", 4);
  const long rounds = number(options, "--rounds", 5);
  Tally tally;
  std::vector<std::thread> clients;
  clients.reserve(static_cast<std::size_t>(std::max(clientCount, 0L)));
  for (long i = 0; i < clientCount; ++i) {
    clients.emplace_back([&] {
      for (long r = 0; r < rounds; ++r) {
        auto client = client::ScanClient::connect(option(options, "--socket"));
        if (!client) return tally.fail(client.error().message);
        auto answer = client->walkSubtreeAtPath(option(options, "--path"));
        if (!answer) return tally.fail(answer.error().message);
        if (!*answer) return tally.fail("walk answered: " + answer->error());
        const auto root = walk::decodeDocument((*answer)->text());
        if (!root) return tally.fail("undecodable: " + root.error().description());
        if (auto problem = reliability::firstBrokenInvariant(*root)) return tally.fail(*problem);
        ++tally.walkCount;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  std::printf("check: %ld sound documents, %ld failures\n", tally.walkCount.load(),
              tally.failureCount.load());
  for (const std::string& failure : tally.failures) complain("  failure: %s\n", failure.c_str());
  return tally.failureCount == 0 ? 0 : 1;
}

int commandSample(const Options& options) {
  const Sample now = sample(static_cast<pid_t>(number(options, "--pid", 0)));
  std::printf("descriptors=%ld threads=%ld residentKiB=%ld\n", now.descriptorCount, now.threadCount,
              now.residentKiB);
  return now.threadCount < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::function<int(const Options&)>> commands = {
      {"tree", commandTree},   {"load", commandLoad},    {"churn", commandChurn},
      {"bound", commandBound}, {"die", commandDie},      {"walk", commandWalk},
      {"check", commandCheck}, {"sample", commandSample}};
  Options options;
  for (int i = 2; i < argc; ++i) {
    const std::string name = argv[i];
    options[name] =
        i + 1 < argc && !std::string_view(argv[i + 1]).starts_with("--") ? argv[++i] : "";
  }
  const auto command = argc > 1 ? commands.find(argv[1]) : commands.end();
  if (command == commands.end()) {
    complain(
        "usage: kelmarind-load tree|load|churn|bound|die|walk|check|sample [--option value]...\n");
    return 64;
  }
  const int status = command->second(options);
  // The suites read the reports on stdout: one that was not fully written
  // must not pass for a short one.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    complain("kelmarind-load: cannot write the report: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}
