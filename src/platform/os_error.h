// The error value of a failed system call. errno becomes an OsError in one
// place inside platform/linux; nothing above the platform layer sees errno.
//
// The one error convention of every module: a fallible call returns
// std::expected, never a bool with errno, a raw errno, a sentinel number or
// text, nor an exception. Its error splits in two. What a caller must handle
// is a named value of the module's own (a refused path, a peer that left, a
// malformed frame, a shortage of descriptors or memory that may pass); each
// interface lists its own. Anything else is an OsError passed up unchanged,
// gaining context on the way, until it ends the request it happened in, never
// the process.
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
