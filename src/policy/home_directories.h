// The users' home directories, read once from the user database at start, so
// the eligibility check knows which folders to protect.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "platform/file_location.h"

namespace kelmarind::platform {
class FileSystem;
}

namespace kelmarind::policy {

// One entry of the user database, as far as the policy reads it.
struct UserEntry {
  // The raw bytes of the home directory field; nullopt when the entry has none.
  std::optional<std::string_view> homeDirectory;
};

// The user database as a cursor over its entries: on the system, every source
// the name service is configured with. Not thread-safe: the system cursor is
// process-wide, so only one user may walk it at a time.
class UserDatabase {
 public:
  virtual ~UserDatabase() = default;

  // Moves the cursor to the first entry.
  virtual void rewind() = 0;
  // The entry at the cursor, then advances. Nothing at the end of the database
  // and on any error, which cannot be told apart. The entry borrows storage
  // that stays valid only until the next call.
  [[nodiscard]] virtual std::optional<UserEntry> next() = 0;
  // Releases what the walk over the entries holds open.
  virtual void close() = 0;
};

// The system's user database: setpwent/getpwent/endpwent rather than reading
// /etc/passwd, so accounts from every configured name service source count.
class SystemUserDatabase final : public UserDatabase {
 public:
  void rewind() override;
  [[nodiscard]] std::optional<UserEntry> next() override;
  void close() override;
};

// Every distinct home directory of `source` whose text begins with "/Users/"
// or "/home/" (an exact, case-sensitive test of the raw text), each decoded as UTF-8 with
// U+FFFD for ill-formed bytes. Texts that differ only in a trailing separator
// count as distinct. The order carries no meaning. Entries without a home are
// skipped; a database that fails stops the walk and what was read until then
// is the answer. Cannot fail.
[[nodiscard]] std::vector<platform::FileLocation> collectHomeDirectories(UserDatabase& source);

// `homes`, followed by the location each reaches where that differs from
// all of them: a home that is, or lies below, a symbolic link is also judged
// where the link leads, since a request can arrive there by that route.
// Homes that cannot be resolved are kept as they are.
[[nodiscard]] std::vector<platform::FileLocation> withReachedLocations(
    std::vector<platform::FileLocation> homes, const platform::FileSystem& fileSystem);

// The same over the system's user database. Call it from one thread while no
// other code walks the user database.
[[nodiscard]] std::vector<platform::FileLocation> collectHomeDirectories();

}  // namespace kelmarind::policy
