#include "platform/linux/system_user_database.h"

#include <pwd.h>

#include <string_view>

namespace kelmarind::platform::linux {

void SystemUserDatabase::rewind() { setpwent(); }

std::optional<UserEntry> SystemUserDatabase::next() {
  const passwd* entry = getpwent();
  if (entry == nullptr) return std::nullopt;
  if (entry->pw_dir == nullptr) return UserEntry{};
  return UserEntry{std::string_view(entry->pw_dir)};
}

void SystemUserDatabase::close() { endpwent(); }

}  // namespace kelmarind::platform::linux
