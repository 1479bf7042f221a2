#include "client/scan_options.h"

#include <charconv>

namespace kelmarind::client {
namespace {

constexpr std::string_view usage =
    "usage: kelmarind-scan [--socket PATH] [--depth N] [--verbatim] PATH\n"
    "       kelmarind-scan [--socket PATH] [--verbatim] --json | --browse | --treemap FILE PATH\n"
    "       kelmarind-scan [--socket PATH] --ping\n"
    "       kelmarind-scan --help | --version\n";

constexpr std::string_view helpBody = R"(
Measures the directory tree at PATH with the rights of the Kelmarind helper
(root) and shows it. Hard-linked files count once, other mounted file systems
are not entered, and each directory's entries below 0.2 % of its size are
merged into one "<count> more items" entry.

Views (one at most; the printed tree by default):
  -d, --depth N      levels of the printed tree below PATH (default 2)
      --json         the helper's JSON document, unchanged
  -i, --browse       browse the tree in the terminal (? inside for the keys)
      --treemap FILE write a treemap picture: FILE.svg, or FILE.html to
                     explore it in a web browser (hover, click to zoom)
      --ping         ask whether the helper answers

Options:
      --socket PATH  the helper's socket (default /run/com.kelmarind.helper.sock)
      --verbatim     send PATH as written; a relative PATH is otherwise taken
                     against the current directory
  -h, --help         this text
      --version      the version

Names are shown with control characters, invalid UTF-8 and the characters
that reorder text escaped (\x1b, \u202e, \\), so no name acts on the terminal.

Exit status:
  0   the view was shown or written (or the helper answered the ping)
  1   the helper answered with an error (refused or unreadable path)
  2   no answer: the helper could not be reached, the connection broke, or
      its reply did not read
  3   the view, the ping's answer or the treemap file could not be written
  64  the command line is not usable, or --browse has no terminal
)";

bool takeDepth(std::string_view value, int& depth) {
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), depth);
  return error == std::errc() && end == value.data() + value.size() && depth >= 0;
}

struct Parser {
  ScanOptions options;
  bool hasView = false;
  std::string reason;

  bool setMode(ScanMode mode, std::string_view option) {
    if (hasView) {
      reason = "only one of --json, --browse, --treemap and --ping at a time (" +
               std::string(option) + ")";
      return false;
    }
    hasView = true;
    options.mode = mode;
    return true;
  }

  bool takePath(std::string_view path) {
    if (options.path) {
      reason = "one PATH only (" + std::string(path) + ")";
      return false;
    }
    options.path = std::string(path);
    return true;
  }

  // One option whose value, if it takes one, is `value` (nullopt when none
  // followed). Sets `usedValue` when it took it.
  bool option(std::string_view name, std::optional<std::string_view> value, bool& usedValue) {
    if (name == "--json") return setMode(ScanMode::json, name);
    if (name == "--browse" || name == "-i") return setMode(ScanMode::browse, name);
    if (name == "--ping") return setMode(ScanMode::ping, name);
    if (name == "--verbatim") return options.isVerbatim = true;
    if (name != "--socket" && name != "--depth" && name != "-d" && name != "--treemap") {
      reason = "unknown option " + std::string(name);
      return false;
    }
    if (!value) {
      reason = std::string(name) + " needs a value";
      return false;
    }
    usedValue = true;
    return valuedOption(name, *value);
  }

  bool valuedOption(std::string_view name, std::string_view value) {
    if (name == "--socket") {
      options.socketPath = std::string(value);
      if (options.socketPath.empty()) reason = "--socket needs a path";
      return !options.socketPath.empty();
    }
    if (name == "--treemap") {
      if (!setMode(ScanMode::treemap, name)) return false;
      options.treemapFile = std::string(value);
      if (options.treemapFile.ends_with(".svg") || options.treemapFile.ends_with(".html")) {
        return true;
      }
      reason = "--treemap writes FILE.svg or FILE.html";
      return false;
    }
    if (takeDepth(value, options.depth)) return true;
    reason = "--depth takes a whole number from 0";
    return false;
  }
};

}  // namespace

std::optional<ScanOptions> parseScanOptions(const std::vector<std::string_view>& args,
                                            std::string& reason) {
  // --help and --version answer even a line that is otherwise wrong.
  for (const std::string_view arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h" || arg == "--version") {
      ScanOptions options;
      options.mode = arg == "--version" ? ScanMode::version : ScanMode::help;
      return options;
    }
  }
  Parser parser;
  bool isParsing = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    bool isTaken = true;
    if (isParsing && arg == "--") {
      isParsing = false;
    } else if (isParsing && arg.size() > 1 && arg.starts_with('-')) {
      const std::size_t equals = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
      bool usedValue = false;
      if (equals != std::string_view::npos) {
        isTaken = parser.option(arg.substr(0, equals), arg.substr(equals + 1), usedValue);
        if (isTaken && !usedValue) {
          parser.reason = std::string(arg.substr(0, equals)) + " takes no value";
          isTaken = false;
        }
      } else {
        const auto next = i + 1 < args.size() ? std::optional(args[i + 1]) : std::nullopt;
        isTaken = parser.option(arg, next, usedValue);
        if (usedValue) ++i;
      }
    } else {
      isTaken = parser.takePath(arg);
    }
    if (!isTaken) {
      reason = parser.reason;
      return std::nullopt;
    }
  }
  ScanOptions& options = parser.options;
  if (options.mode == ScanMode::ping && options.path) {
    reason = "--ping takes no PATH";
    return std::nullopt;
  }
  if (options.mode != ScanMode::ping && !options.path) {
    reason = "PATH is missing";
    return std::nullopt;
  }
  return options;
}

std::string_view scanUsage() { return usage; }

std::string scanHelp() { return std::string(usage) + std::string(helpBody); }

}  // namespace kelmarind::client
