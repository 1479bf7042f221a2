// Why a program's identity could not be established. Every one of these makes
// the program's connection refused; the distinction serves tests and diagnosis.
#pragma once

#include "platform/os_error.h"

namespace kelmarind::platform::linux {

enum class IdentityProblem {
  peerGone,             // the peer exited (or its pid was reused) before it was checked
  untrustedExecutable,  // not a regular file, foreign owner, or writable by others
  malformedExecutable,  // not a native ELF file, or its headers point outside it
  missingInfoPlist,     // no "__info_plist" section
  malformedInfoPlist,   // too large, or not a property list with a dictionary at its top
  missingIdentifier,    // no text value for CFBundleIdentifier
  systemError,          // a system call failed unexpectedly; `cause` says which
};

struct IdentityError {
  IdentityProblem problem = IdentityProblem::systemError;
  OsError cause;  // set for systemError, and for peerGone when a call told us

  friend bool operator==(const IdentityError&, const IdentityError&) = default;
};

}  // namespace kelmarind::platform::linux
