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
  // Out of descriptors or memory: says nothing about the thing asked for,
  // only that the process is busy, and may pass.
  [[nodiscard]] bool isShortage() const;
  friend bool operator==(const OsError&, const OsError&) = default;
};

}  // namespace kelmarind::platform
