#include "walk/walk_document.h"

namespace kelmarind::walk {

std::expected<std::string, DocumentError> walkToDocument(const platform::RootEntry& root,
                                                         std::string_view path,
                                                         const DocumentAdmission& admit) {
  auto tree = PrivilegedWalk::walkTree(root, path);
  if (!tree) return std::unexpected(tree.error());
  if (admit) {
    if (auto admitted = admit(documentSizeBound(tree->root())); !admitted) {
      return std::unexpected(admitted.error());
    }
  }
  auto document = encodeDocument(tree->root());
  if (!document) return std::unexpected(document.error());
  return std::move(*document);
}

std::expected<std::string, DocumentError> walkToDocument(std::string_view path,
                                                         const platform::FileSystem& fileSystem) {
  auto root = PrivilegedWalk::resolveRoot(path, fileSystem);
  if (!root) return std::unexpected(root.error());
  return walkToDocument(**root, path);
}

}  // namespace kelmarind::walk
