// Checks isEligiblePath on random paths and home lists against two rules: a
// path answers as its standard form does, and the allocation-free check agrees
// with a plain one built on FileLocation's component lists.
//
// Input: byte 0 chooses how many homes (0-3) come first, one per line, each
// forced under "/Users/" as collected homes are; the rest, NUL bytes and
// newlines included, is the requested path.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_location.h"
#include "policy/path_eligibility.h"

namespace {

using kelmarind::platform::FileLocation;
using kelmarind::policy::isEligiblePath;

bool equalsJoined(const std::vector<std::string_view>& target,
                  const std::vector<std::string_view>& home,
                  std::span<const std::string_view> tail) {
  if (target.size() != home.size() + tail.size()) return false;
  return std::equal(home.begin(), home.end(), target.begin()) &&
         std::equal(tail.begin(), tail.end(), target.begin() + home.size());
}

// The rules stated plainly, allocating freely.
bool plainAnswer(std::string_view path, const std::vector<FileLocation>& homes) {
  if (!path.starts_with('/') || path.find('\0') != std::string_view::npos) return false;
  if (homes.empty()) return true;
  const FileLocation target = FileLocation(std::string(path)).standardized();
  std::string extension(target.extension());
  std::ranges::transform(extension, extension.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  if (kelmarind::policy::libraryPackageExtensions().contains(extension)) return false;
  std::vector<std::string_view> components = target.components();
  for (const FileLocation& home : homes) {
    const FileLocation standardHome = home.standardized();
    const std::vector<std::string_view> homeComponents = standardHome.components();
    for (const std::string_view& folder : kelmarind::policy::protectedHomeFolders) {
      if (equalsJoined(components, homeComponents, {&folder, 1})) return false;
    }
    std::vector<std::string_view> parent = components;
    if (!parent.empty()) parent.pop_back();
    for (const std::string_view root : kelmarind::policy::protectedContainerRoots) {
      const FileLocation relative{std::string(root)};
      const std::vector<std::string_view> tail = relative.components();
      if (equalsJoined(components, homeComponents, tail)) return false;
      if (equalsJoined(parent, homeComponents, tail)) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<FileLocation> homes;
  for (int i = 0; i < data[0] % 4; ++i) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    std::string home(rest.substr(0, end));
    if (!home.starts_with("/Users/")) home.insert(0, "/Users/");
    homes.emplace_back(std::move(home));
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }

  const bool answer = isEligiblePath(rest, homes);
  // The package test reads the extension of the standard form, as the location
  // tests do, so no path differs from its standard form, not even one that
  // ends in "." or "..": "/x/A.tvlibrary/." is refused like "/x/A.tvlibrary".
  // Reading it as written would let such a path differ, and reach the package.
  // A relative path stays relative when standardized. A NUL byte can vanish
  // with a component that ".." removes, so such a path is only held to its
  // refusal, which the plain rules below demand.
  if (rest.find('\0') == std::string_view::npos) {
    const std::string standard = FileLocation(std::string(rest)).standardized().path();
    if (isEligiblePath(standard, homes) != answer) __builtin_trap();
  }
  if (plainAnswer(rest, homes) != answer) __builtin_trap();
  return 0;
}
