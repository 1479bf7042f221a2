// The error value of a failed system call. errno becomes an OsError in one
// place inside platform/linux; nothing above the platform layer sees errno.
#pragma once

#include <string>

namespace kelmarind::platform {

struct OsError {
  int code = 0;                // the errno value
  const char* operation = "";  // static text naming the call, e.g. "openat"

  // "openat: No such file or directory"
  [[nodiscard]] std::string message() const;
  friend bool operator==(const OsError&, const OsError&) = default;
};

}  // namespace kelmarind::platform
