#include "policy/home_directories.h"

#include <pwd.h>

#include <string>
#include <unordered_set>

#include "platform/unicode_text.h"

namespace kelmarind::policy {
namespace {

constexpr std::string_view kHomePrefix = "/Users/";

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
    if (home.starts_with(kHomePrefix)) homes.insert(std::move(home));
  }
  source.close();

  std::vector<platform::FileLocation> out;
  out.reserve(homes.size());
  for (const std::string& home : homes) out.emplace_back(home);
  return out;
}

std::vector<platform::FileLocation> collectHomeDirectories() {
  SystemUserDatabase system;
  return collectHomeDirectories(system);
}

}  // namespace kelmarind::policy
