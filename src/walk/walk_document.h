// One walk request's whole job: the tree of a path, written as its document.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace kelmarind::walk {

// Told the size a walk's document will take before any of it is allocated;
// it may wait, and an error text refuses the document.
using DocumentAdmission = std::function<std::expected<void, std::string>(std::size_t size)>;

// Walks `root`, which `path` (the request's text) resolved to, and encodes
// the tree, once `admit` (when given) has let the document's size pass. The
// tree and its arena are released before this returns, so a large walk holds
// the tree and its document at once only while encoding, and whatever is done
// with the document next can reuse the tree's pages. The error is the text to
// report.
[[nodiscard]] std::expected<std::string, std::string> walkToDocument(
    const platform::RootEntry& root, std::string_view path, const DocumentAdmission& admit = {});

// The same for whatever `path` reaches in `fileSystem`.
[[nodiscard]] std::expected<std::string, std::string> walkToDocument(
    std::string_view path, const platform::FileSystem& fileSystem);

}  // namespace kelmarind::walk
