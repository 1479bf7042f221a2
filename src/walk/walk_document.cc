#include "walk/walk_document.h"

#include <utility>

namespace kelmarind::walk {
namespace {

// The walk of a request, once `admit` (when given) has let its document's
// size pass.
std::expected<WalkedTree, DocumentError> walkAdmitted(const platform::RootEntry& root,
                                                      std::string_view path,
                                                      const DocumentAdmission& admit) {
  auto tree = PrivilegedWalk::walkTree(root, path);
  if (!tree) return std::unexpected(tree.error());
  if (admit) {
    if (auto admitted = admit(documentSizeBound(tree->root())); !admitted) {
      return std::unexpected(admitted.error());
    }
  }
  return std::move(*tree);
}

}  // namespace

std::expected<std::size_t, DocumentError> walkAndWrite(const platform::RootEntry& root,
                                                       std::string_view path,
                                                       const ChunkWriter& write,
                                                       const DocumentAdmission& admit) {
  auto tree = walkAdmitted(root, path, admit);
  if (!tree) return std::unexpected(std::move(tree.error()));
  auto size = writeDocument(tree->root(), write);
  if (!size) {
    return std::unexpected(
        std::visit([](auto error) { return DocumentError(std::move(error)); }, size.error()));
  }
  return *size;
}

std::expected<std::size_t, DocumentError> walkAndWrite(std::string_view path,
                                                       const platform::FileSystem& fileSystem,
                                                       const ChunkWriter& write) {
  auto root = PrivilegedWalk::resolveRoot(path, fileSystem);
  if (!root) return std::unexpected(root.error());
  return walkAndWrite(**root, path, write);
}

}  // namespace kelmarind::walk
