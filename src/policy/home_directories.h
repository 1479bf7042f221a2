// The users' home directories, read once from the user database at start, so
// the eligibility check knows which folders to protect.
#pragma once

#include <vector>

#include "platform/file_location.h"

namespace kelmarind::platform {
class FileSystem;
class UserDatabase;
}  // namespace kelmarind::platform

namespace kelmarind::policy {

// Every distinct home directory of `source` whose text begins with "/Users/"
// or "/home/" (an exact, case-sensitive test of the raw text), each decoded as UTF-8 with
// U+FFFD for ill-formed bytes. Texts that differ only in a trailing separator
// count as distinct. The order carries no meaning. Entries without a home are
// skipped; a database that fails stops the walk and what was read until then
// is the answer. Cannot fail.
[[nodiscard]] std::vector<platform::FileLocation> collectHomeDirectories(
    platform::UserDatabase& source);

// `homes`, followed by the location each reaches where that differs from
// all of them: a home that is, or lies below, a symbolic link is also judged
// where the link leads, since a request can arrive there by that route.
// Homes that cannot be resolved are kept as they are.
[[nodiscard]] std::vector<platform::FileLocation> withReachedLocations(
    std::vector<platform::FileLocation> homes, const platform::FileSystem& fileSystem);

}  // namespace kelmarind::policy
