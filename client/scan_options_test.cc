#include "client/scan_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelmarind::client {
namespace {

struct OptionsRow {
  std::vector<std::string_view> args;
  std::optional<ScanMode> mode;  // nullopt: refused
  std::string_view path = {};
  int depth = 2;
};

TEST(ScanOptionsTest, ReadsOneViewOnePathAndRefusesTheRest) {
  const OptionsRow rows[] = {
      {{"/usr"}, ScanMode::printed, "/usr"},
      {{"--depth", "0", "/usr"}, ScanMode::printed, "/usr", 0},
      {{"/usr", "-d", "5"}, ScanMode::printed, "/usr", 5},
      {{"--depth=3", "/usr"}, ScanMode::printed, "/usr", 3},
      {{"-i", "rel/dir"}, ScanMode::browse, "rel/dir"},
      {{"--json", "--", "-odd"}, ScanMode::json, "-odd"},
      {{"-"}, ScanMode::printed, "-"},
      {{"--treemap", "map.html", "/"}, ScanMode::treemap, "/"},
      {{"--treemap=map.svg", "/"}, ScanMode::treemap, "/"},
      {{"--ping"}, ScanMode::ping},
      // --help and --version answer even an otherwise wrong line.
      {{"--bogus", "--help"}, ScanMode::help},
      {{"-h"}, ScanMode::help},
      {{"--version", "/a", "/b"}, ScanMode::version},
      {{}, std::nullopt},
      {{"--depth"}, std::nullopt},
      {{"--depth", "-1", "/"}, std::nullopt},
      {{"--depth", "2x", "/"}, std::nullopt},
      {{"--depth="}, std::nullopt},
      {{"/a", "/b"}, std::nullopt},
      {{"--json", "-i", "/"}, std::nullopt},
      {{"--json", "--treemap", "m.svg", "/"}, std::nullopt},
      {{"--treemap", "map.png", "/"}, std::nullopt},
      {{"--treemap", "/"}, std::nullopt},
      {{"--ping", "/usr"}, std::nullopt},
      {{"--json=yes", "/"}, std::nullopt},
      {{"--socket", "", "/"}, std::nullopt},
      {{"-x", "/"}, std::nullopt},
      {{"--", "/a", "--", "/b"}, std::nullopt},
  };
  for (const OptionsRow& row : rows) {
    std::string line;
    for (const std::string_view arg : row.args) line += std::string(arg) + ' ';
    std::string reason;
    const auto options = parseScanOptions(row.args, reason);
    ASSERT_EQ(options.has_value(), row.mode.has_value()) << line << reason;
    if (!options) {
      EXPECT_FALSE(reason.empty()) << line;
      continue;
    }
    EXPECT_EQ(options->mode, row.mode) << line;
    EXPECT_EQ(options->path.value_or(""), row.path) << line;
    EXPECT_EQ(options->depth, row.depth) << line;
  }
}

}  // namespace
}  // namespace kelmarind::client
