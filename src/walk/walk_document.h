// One walk request's whole job: the tree of a path, written as its document.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/file_system.h"
#include "walk/node_json.h"
#include "walk/privileged_walk.h"

namespace kelmarind::walk {

// A document refused for its size: the size it would take, and the most
// that could be admitted.
struct OversizedDocument {
  std::size_t size = 0;
  std::size_t capacity = 0;
};

// Told the size a walk's document will take before any of it is allocated;
// it may wait, or refuse the document.
using DocumentAdmission = std::function<std::expected<void, OversizedDocument>(std::size_t size)>;

// Why a walk request has no document: the walk failed, the admission refused
// it, a date in it cannot be written, or (when written out as it is encoded)
// the writer failed. Each is for the caller to report in its own words.
using DocumentError =
    std::variant<PrivilegedWalk::WalkError, OversizedDocument, EncodeError, platform::OsError>;

// Walks `root`, which `path` (the request's text) resolved to, and encodes
// the tree, once `admit` (when given) has let the document's size pass. The
// tree and its arena are released before this returns, so a large walk holds
// the tree and its document at once only while encoding, and whatever is done
// with the document next can reuse the tree's pages.
[[nodiscard]] std::expected<std::string, DocumentError> walkToDocument(
    const platform::RootEntry& root, std::string_view path, const DocumentAdmission& admit = {});

// Walks as walkToDocument does, then writes the document to `write` as it is
// encoded (writeDocument) and returns its size. The tree is released once the
// document is written.
[[nodiscard]] std::expected<std::size_t, DocumentError> walkAndWrite(
    const platform::RootEntry& root, std::string_view path, const ChunkWriter& write,
    const DocumentAdmission& admit = {});

// The same for whatever `path` reaches in `fileSystem`.
[[nodiscard]] std::expected<std::size_t, DocumentError> walkAndWrite(
    std::string_view path, const platform::FileSystem& fileSystem, const ChunkWriter& write);

}  // namespace kelmarind::walk
