// The system's user database, as far as the home directories need it.
#pragma once

#include <optional>
#include <string_view>

namespace kelmarind::platform {

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

}  // namespace kelmarind::platform
