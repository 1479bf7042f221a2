// kelmarind-scan's command line: what it asks for, read from argv.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelmarind::client {

// Exit statuses, the same in --help and the manual page.
inline constexpr int exitSuccess = 0;
inline constexpr int exitHelperError = 1;   // the helper answered with an error text
inline constexpr int exitNoAnswer = 2;      // no answer, or one that did not read
inline constexpr int exitOutputFailed = 3;  // the view, the answer or the treemap file not written
inline constexpr int exitUsage = 64;

enum class ScanMode { printed, json, browse, treemap, ping, help, version };

struct ScanOptions {
  ScanMode mode = ScanMode::printed;
  std::string socketPath;  // empty: the helper's own socket
  bool isVerbatim = false;
  int depth = 2;
  std::string treemapFile;  // ends in ".svg" or ".html"
  std::optional<std::string> path;
};

// The options, or a one-line reason why they are not usable. `--help` and
// `--version` win over everything else on the line; one view at most;
// `--ping` takes no path and every view takes exactly one. Options may come
// before or after the path; "--" ends the options. `--name=value` is the same
// as `--name value`.
[[nodiscard]] std::optional<ScanOptions> parseScanOptions(const std::vector<std::string_view>& args,
                                                          std::string& reason);

// The usage lines, for errors.
[[nodiscard]] std::string_view scanUsage();
// The whole --help text.
[[nodiscard]] std::string scanHelp();

}  // namespace kelmarind::client
