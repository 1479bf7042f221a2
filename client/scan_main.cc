// kelmarind-scan: asks the helper to measure a directory tree and shows it.
//
//   kelmarind-scan [--socket PATH] [--json] [--verbatim] [--depth N] PATH
//   kelmarind-scan [--socket PATH] --ping
//
// Exit status: 0 on success; 1 when the helper answered with an error text
// (written to stderr unchanged); 2 when no answer came; 64 for a usage error.

#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "client/scan_client.h"
#include "client/tree_view.h"
#include "platform/unicode_text.h"
#include "platform/wire_protocol.h"
#include "walk/node_json.h"

namespace kelmarind::client {
namespace {

constexpr int exitSuccess = 0;
constexpr int exitHelperError = 1;
constexpr int exitNoAnswer = 2;
constexpr int exitUsage = 64;

constexpr std::string_view usage =
    "usage: kelmarind-scan [--socket PATH] [--json] [--verbatim] [--depth N] PATH\n"
    "       kelmarind-scan [--socket PATH] --ping\n";

struct Options {
  std::string socketPath{platform::wire::defaultSocketPath};
  bool isJson = false;
  bool isVerbatim = false;
  bool isPing = false;
  TreeViewOptions view;
  std::optional<std::string> path;
};

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--socket" && hasValue) {
      options.socketPath = argv[++i];
    } else if (arg == "--depth" && hasValue) {
      const std::string_view value = argv[++i];
      const auto [end, error] =
          std::from_chars(value.data(), value.data() + value.size(), options.view.depth);
      if (error != std::errc() || end != value.data() + value.size() || options.view.depth < 0) {
        return std::nullopt;
      }
    } else if (arg == "--json") {
      options.isJson = true;
    } else if (arg == "--verbatim") {
      options.isVerbatim = true;
    } else if (arg == "--ping") {
      options.isPing = true;
    } else if (arg == "--") {
      if (i + 2 != argc) return std::nullopt;
      options.path = argv[++i];
    } else if (arg.starts_with("--") || options.path) {
      return std::nullopt;
    } else {
      options.path = std::string(arg);
    }
  }
  if (options.isPing == options.path.has_value()) return std::nullopt;
  return options;
}

// Paths go to the helper as Unicode text; bytes that are not UTF-8 become
// U+FFFD, as they would in any text. A relative path is taken against the
// current directory, as users expect, unless --verbatim asks otherwise.
std::string requestPath(const Options& options) {
  std::string path = platform::decodeUtf8Lossy(*options.path);
  if (options.isVerbatim || path.starts_with('/')) return path;
  std::string cwd(4096, '\0');
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return path;
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(std::char_traits<char>::length(cwd.c_str()));
  std::string absolute = platform::decodeUtf8Lossy(cwd);
  if (!absolute.ends_with('/')) absolute += '/';
  return absolute + path;
}

// Shows the time spent while the helper works, on a terminal only; the line
// is erased when the answer arrives.
class ElapsedIndicator final {
 public:
  explicit ElapsedIndicator(bool isEnabled) {
    if (isEnabled) thread_ = std::thread([this] { run(); });
  }
  ~ElapsedIndicator() {
    if (!thread_.joinable()) return;
    {
      const std::lock_guard lock(mutex_);
      isDone_ = true;
    }
    changed_.notify_one();
    thread_.join();
    std::fputs("\r\033[K", stderr);
  }
  ElapsedIndicator(const ElapsedIndicator&) = delete;
  ElapsedIndicator& operator=(const ElapsedIndicator&) = delete;

 private:
  void run() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    while (!changed_.wait_for(lock, std::chrono::milliseconds(200), [this] { return isDone_; })) {
      const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      std::fprintf(stderr, "\rmeasuring... %.1f s", elapsed.count());
      std::fflush(stderr);
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool isDone_ = false;
  std::thread thread_;
};

int noAnswer(const ClientError& error) {
  std::fprintf(stderr, "kelmarind-scan: %s\n", error.message.c_str());
  return exitNoAnswer;
}

int run(const Options& options) {
  auto client = ScanClient::connect(options.socketPath);
  if (!client) return noAnswer(client.error());

  if (options.isPing) {
    auto text = client->pingWithReply();
    if (!text) return noAnswer(text.error());
    std::printf("%s\n", text->c_str());
    return exitSuccess;
  }

  std::expected<WalkAnswer, ClientError> answer;
  {
    const ElapsedIndicator indicator(::isatty(STDERR_FILENO) == 1);
    answer = client->walkSubtreeAtPath(requestPath(options));
  }
  if (!answer) return noAnswer(answer.error());
  if (!*answer) {
    std::fprintf(stderr, "%s\n", answer->error().c_str());
    return exitHelperError;
  }
  const std::string& document = **answer;
  if (options.isJson) {
    return std::fwrite(document.data(), 1, document.size(), stdout) == document.size()
               ? exitSuccess
               : exitNoAnswer;
  }
  const auto root = walk::decodeDocument(document);
  if (!root) {
    std::fprintf(stderr, "kelmarind-scan: the helper's document did not read: %s\n",
                 root.error().description().c_str());
    return exitNoAnswer;
  }
  const std::string view = renderTreeView(*root, options.view);
  std::fwrite(view.data(), 1, view.size(), stdout);
  return exitSuccess;
}

}  // namespace
}  // namespace kelmarind::client

int main(int argc, char** argv) {
  const auto options = kelmarind::client::parseOptions(argc, argv);
  if (!options) {
    std::fputs(kelmarind::client::usage.data(), stderr);
    return kelmarind::client::exitUsage;
  }
  return kelmarind::client::run(*options);
}
