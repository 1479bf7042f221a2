// One walk request's whole job: the tree of a path, written as its document.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace kelmarind::walk {

// Walks `root`, which `path` (the request's text) resolved to, and encodes
// the tree. The tree and its arena are released before this returns, so a
// large walk holds the tree and its document at once only while encoding, and
// whatever is done with the document next can reuse the tree's pages. The
// error is the text to report.
[[nodiscard]] std::expected<std::string, std::string> walkToDocument(
    const platform::RootEntry& root, std::string_view path);

// The same for whatever `path` reaches in `fileSystem`.
[[nodiscard]] std::expected<std::string, std::string> walkToDocument(
    std::string_view path, const platform::FileSystem& fileSystem);

}  // namespace kelmarind::walk
