#include "policy/home_directories.h"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_set>

#include "platform/file_system.h"
#include "platform/unicode_text.h"
#include "platform/user_database.h"

namespace kelmarind::policy {
namespace {

// Where homes live: the original platform's folder, and Linux's.
constexpr std::array<std::string_view, 2> homePrefixes{"/Users/", "/home/"};

}  // namespace

std::vector<platform::FileLocation> collectHomeDirectories(platform::UserDatabase& source) {
  std::unordered_set<std::string> homes;
  source.rewind();
  while (const std::optional<platform::UserEntry> entry = source.next()) {
    if (!entry->homeDirectory) continue;
    std::string home = platform::decodeUtf8Lossy(*entry->homeDirectory);
    if (std::ranges::any_of(homePrefixes,
                            [&](std::string_view prefix) { return home.starts_with(prefix); })) {
      homes.insert(std::move(home));
    }
  }
  source.close();

  std::vector<platform::FileLocation> out;
  out.reserve(homes.size());
  for (const std::string& home : homes) out.emplace_back(home);
  return out;
}

std::vector<platform::FileLocation> withReachedLocations(std::vector<platform::FileLocation> homes,
                                                         const platform::FileSystem& fileSystem) {
  const std::size_t collectedCount = homes.size();
  for (std::size_t i = 0; i < collectedCount; ++i) {
    // "/." after the home makes a home that is itself a link count as the
    // way there, not as the entry reached.
    const auto root = fileSystem.resolve(homes[i].standardized().path() + "/.");
    if (!root) continue;
    platform::FileLocation reached{std::string((*root)->reachedPath())};
    if (std::ranges::find(homes, reached, [](const auto& home) { return home.standardized(); }) ==
        homes.end()) {
      homes.push_back(std::move(reached));
    }
  }
  return homes;
}

}  // namespace kelmarind::policy
