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
// it, a date in it cannot be written, or the writer failed. Each is for the
// caller to report in its own words.
using DocumentError =
    std::variant<PrivilegedWalk::WalkError, OversizedDocument, EncodeError, platform::OsError>;

// A document written out, with the tree it was written from. The tree is
// given back when this is destroyed: that takes a millisecond or more for a
// large tree, which a caller that answers someone spends after answering.
struct WrittenDocument {
  std::size_t size = 0;
  WalkedTree tree;
};

// Walks `root`, which `path` (the request's text) resolved to, and once
// `admit` (when given) has let the document's size pass, writes the document
// to `write` as it is encoded (writeDocument). The document never lies whole
// in memory beside the tree.
[[nodiscard]] std::expected<WrittenDocument, DocumentError> walkAndWrite(
    const platform::RootEntry& root, std::string_view path, const ChunkWriter& write,
    const DocumentAdmission& admit = {});

// The same for whatever `path` reaches in `fileSystem`.
[[nodiscard]] std::expected<WrittenDocument, DocumentError> walkAndWrite(
    std::string_view path, const platform::FileSystem& fileSystem, const ChunkWriter& write);

}  // namespace kelmarind::walk
