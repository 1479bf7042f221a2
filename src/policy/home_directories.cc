#include "policy/home_directories.h"

#include <pwd.h>

#include <algorithm>
#include <array>
#include <string>
#include <unordered_set>

#include "platform/file_system.h"
#include "platform/unicode_text.h"

namespace kelmarind::policy {
namespace {

// Where homes live: the original platform's folder, and Linux's.
constexpr std::array<std::string_view, 2> kHomePrefixes{"/Users/", "/home/"};

}  // namespace

void SystemUserDatabase::rewind() { setpwent(); }

std::optional<UserEntry> SystemUserDatabase::next() {
  const passwd* entry = getpwent();
  if (entry == nullptr) return std::nullopt;
  if (entry->pw_dir == nullptr) return UserEntry{};
  return UserEntry{std::string_view(entry->pw_dir)};
}

void SystemUserDatabase::close() { endpwent(); }

std::vector<platform::FileLocation> collectHomeDirectories(UserDatabase& source) {
  std::unordered_set<std::string> homes;
  source.rewind();
  while (const std::optional<UserEntry> entry = source.next()) {
    if (!entry->homeDirectory) continue;
    std::string home = platform::decodeUtf8Lossy(*entry->homeDirectory);
    if (std::ranges::any_of(kHomePrefixes,
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

std::vector<platform::FileLocation> collectHomeDirectories() {
  SystemUserDatabase system;
  return collectHomeDirectories(system);
}

}  // namespace kelmarind::policy
