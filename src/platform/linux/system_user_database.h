// The user database of a Linux system, through the C library's name service.
#pragma once

#include <optional>

#include "platform/user_database.h"

namespace kelmarind::platform::linux {

// setpwent/getpwent/endpwent rather than reading /etc/passwd, so accounts
// from every configured name service source count. Walk it from one thread
// while no other code walks the user database.
class SystemUserDatabase final : public UserDatabase {
 public:
  void rewind() override;
  [[nodiscard]] std::optional<UserEntry> next() override;
  void close() override;
};

}  // namespace kelmarind::platform::linux
