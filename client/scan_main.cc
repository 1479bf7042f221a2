// kelmarind-scan: asks the helper to measure a directory tree and shows it:
// printed as a tree, browsed in the terminal, drawn as a treemap, or as the
// helper's JSON document. scan_options.cc has the command line and the exit
// statuses.

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/browse_terminal.h"
#include "client/scan_client.h"
#include "client/scan_options.h"
#include "client/scan_tree.h"
#include "client/tree_view.h"
#include "client/treemap_document.h"
#include "platform/unicode_text.h"

namespace kelmarind::client {
namespace {

// Diagnostics and the progress line. When stderr cannot be written there is
// nowhere left to report that, and the exit status still tells what happened.
[[gnu::format(printf, 1, 2)]] void printDiagnostic(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  (void)std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  (void)std::fflush(stderr);
}

// Paths go to the helper as Unicode text; bytes that are not UTF-8 become
// U+FFFD, as they would in any text. A relative path is taken against the
// current directory, as users expect, unless --verbatim asks otherwise.
std::string requestPath(std::string_view given, bool isVerbatim) {
  std::string path = platform::decodeUtf8Lossy(given);
  if (isVerbatim || path.starts_with('/')) return path;
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
    printDiagnostic("\r\033[K");
  }
  ElapsedIndicator(const ElapsedIndicator&) = delete;
  ElapsedIndicator& operator=(const ElapsedIndicator&) = delete;

 private:
  void run() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    while (!changed_.wait_for(lock, std::chrono::milliseconds(200), [this] { return isDone_; })) {
      const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      printDiagnostic("\rmeasuring... %.1f s", elapsed.count());
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool isDone_ = false;
  std::thread thread_;
};

// An empty path stands for the helper's own socket, the library's default.
std::expected<ScanClient, ClientError> connectTo(const std::string& socketPath) {
  return socketPath.empty() ? ScanClient::connect() : ScanClient::connect(socketPath);
}

WalkFailure noAnswer(const ClientError& error) {
  return {exitNoAnswer, "kelmarind-scan: " + error.message};
}

// One walk through the helper: its JSON document, or with a `sink` what
// follows the parts it took.
std::expected<ReceivedDocument, WalkFailure> fetchDocument(const std::string& socketPath,
                                                           const std::string& path,
                                                           DocumentPartSink sink = {}) {
  auto client = connectTo(socketPath);
  if (!client) return std::unexpected(noAnswer(client.error()));
  auto answer = client->walkSubtreeAtPath(path, std::move(sink));
  if (!answer) return std::unexpected(noAnswer(answer.error()));
  if (!*answer) return std::unexpected(WalkFailure{exitHelperError, answer->error()});
  return std::move(**answer);
}

// One walk through the helper, read into the views' tree.
std::expected<ScanTree, WalkFailure> walkTree(const std::string& socketPath,
                                              const std::string& path) {
  const auto document = fetchDocument(socketPath, path);
  if (!document) return std::unexpected(document.error());
  auto tree = ScanTree::read(document->text());
  if (!tree) {
    return std::unexpected(WalkFailure{
        exitNoAnswer,
        "kelmarind-scan: the helper's document did not read: " + tree.error().description()});
  }
  return std::move(*tree);
}

int fail(const WalkFailure& failure) {
  printDiagnostic("%s\n", failure.message.c_str());
  return failure.exitStatus;
}

bool writeAll(std::FILE* file, std::string_view bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fflush(file) == 0;
}

int ping(const std::string& socketPath) {
  auto client = connectTo(socketPath);
  if (!client) return fail(noAnswer(client.error()));
  auto text = client->pingWithReply();
  if (!text) return fail(noAnswer(text.error()));
  return writeAll(stdout, *text + "\n") ? exitSuccess : exitOutputFailed;
}

int writeTreemap(const ScanTree& tree, const std::string& file) {
  const TreemapStyle style;
  const std::string document =
      file.ends_with(".svg") ? treemapSvg(tree, style) : treemapHtml(tree, style);
  // "e": opened close-on-exec, as every descriptor here.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(file.c_str(), "we"),
                                                            &std::fclose);
  if (!out || !writeAll(out.get(), document)) {
    printDiagnostic("kelmarind-scan: cannot write %s\n", file.c_str());
    return exitOutputFailed;
  }
  return exitSuccess;
}

int run(const ScanOptions& options) {
  const std::string& socketPath = options.socketPath;
  switch (options.mode) {
    case ScanMode::help:
      return writeAll(stdout, scanHelp()) ? exitSuccess : exitOutputFailed;
    case ScanMode::version:
      return writeAll(stdout, "kelmarind-scan " KELMARIND_VERSION "\n") ? exitSuccess
                                                                        : exitOutputFailed;
    case ScanMode::ping:
      return ping(socketPath);
    default:
      break;
  }

  // parseScanOptions refuses every other view without its path.
  if (!options.path) return fail({exitUsage, "kelmarind-scan: PATH is missing"});
  const std::string path = requestPath(*options.path, options.isVerbatim);
  if (options.mode == ScanMode::browse) {
    return runBrowser(path, [socketPath, path] { return walkTree(socketPath, path); });
  }
  if (options.mode == ScanMode::json) {
    // A large document's parts are written out as they come, while the
    // helper writes the rest.
    bool isOutputFailed = false;
    const auto writePart = [&](const ReceivedDocument& part) {
      isOutputFailed = !part.writeTo(STDOUT_FILENO);
      return !isOutputFailed;
    };
    const auto document = [&] {
      const ElapsedIndicator indicator(::isatty(STDERR_FILENO) == 1);
      return fetchDocument(socketPath, path, writePart);
    }();
    if (isOutputFailed) return exitOutputFailed;
    if (!document) return fail(document.error());
    return document->writeTo(STDOUT_FILENO) ? exitSuccess : exitOutputFailed;
  }
  const auto tree = [&] {
    const ElapsedIndicator indicator(::isatty(STDERR_FILENO) == 1);
    return walkTree(socketPath, path);
  }();
  if (!tree) return fail(tree.error());
  if (options.mode == ScanMode::treemap) return writeTreemap(*tree, options.treemapFile);
  const std::string view = renderTreeView(*tree, {.depth = options.depth});
  return writeAll(stdout, view) ? exitSuccess : exitOutputFailed;
}

}  // namespace
}  // namespace kelmarind::client

int main(int argc, char** argv) {
  using namespace kelmarind::client;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  std::string reason;
  const auto options = parseScanOptions(args, reason);
  if (!options) {
    const std::string usage(scanUsage());
    printDiagnostic("kelmarind-scan: %s\n%s", reason.c_str(), usage.c_str());
    return exitUsage;
  }
  return run(*options);
}
