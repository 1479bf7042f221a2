// The JSON form of a node tree: the compact document the service sends, and
// reading it back.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/os_error.h"
#include "walk/chunked_output.h"
#include "walk/compact_node.h"
#include "walk/privileged_node.h"

namespace kelmarind::walk {

// Writing fails only on a date that JSON cannot express (NaN or infinite).
struct EncodeError {
  std::string path;  // of the node whose date was rejected
  [[nodiscard]] std::string description() const;
};

struct DecodeError {
  enum class Kind : std::uint8_t { malformed, keyNotFound, typeMismatch, numberOutOfRange };
  Kind kind;
  std::string detail;  // the member's key, or the parser's message when malformed
  [[nodiscard]] std::string description() const;
};

// One compact UTF-8 JSON object per node, children nested in order; "/" is
// written as "\/", an absent date leaves "modificationDate" out, numbers take
// their shortest round-trip form. The document is written in one pass into one
// buffer sized ahead from the texts' lengths; its size is the document's, its
// capacity that bound. Iterative: any depth is fine.
[[nodiscard]] std::expected<std::string, EncodeError> encodeDocument(const PrivilegedNode& root);
// The same document, from the walk's own form of the tree, gathered from
// what writeDocument writes.
[[nodiscard]] std::expected<std::string, EncodeError> encodeDocument(const CompactNode& root);
// Why a document was not written out whole: a date it cannot hold, found
// before anything is written, or the failure of the writer.
using WriteError = std::variant<EncodeError, platform::OsError>;
// What is known of `root`'s document before any of it is written: a bound on
// its size from the texts' lengths alone, never less than the document (the
// size encodeDocument allocates, and what a request's document is admitted
// by), and the first date it cannot hold. `root` must outlive it.
struct DocumentPlan {
  const CompactNode* root = nullptr;
  std::size_t sizeBound = 0;
  std::optional<EncodeError> unwritable;
};
[[nodiscard]] DocumentPlan planDocument(const CompactNode& root);
// Writes the planned document to `write` as it is encoded, a chunk at a time
// (see ChunkedOutput), and returns its size: the document never lies whole in
// memory, and writing it out overlaps encoding it.
[[nodiscard]] std::expected<std::size_t, WriteError> writeDocument(const DocumentPlan& plan,
                                                                   const ChunkWriter& write);
// The same, planned here.
[[nodiscard]] std::expected<std::size_t, WriteError> writeDocument(const CompactNode& root,
                                                                   const ChunkWriter& write);

// Reads a document written by encodeDocument, or any JSON with the same
// members. Every member but "modificationDate" is required (null or missing
// gives an absent date); other members are ignored; integers must fit int64.
// The first error ends the reading.
[[nodiscard]] std::expected<PrivilegedNode, DecodeError> decodeDocument(std::string_view json);

}  // namespace kelmarind::walk
