#include "walk/walk_document.h"

#include "walk/node_json.h"
#include "walk/privileged_walk.h"

namespace kelmarind::walk {

std::expected<std::string, std::string> walkToDocument(const platform::RootEntry& root,
                                                       std::string_view path,
                                                       const DocumentAdmission& admit) {
  auto tree = PrivilegedWalk::walkTree(root, path);
  if (!tree) return std::unexpected(tree.error().description());
  if (admit) {
    if (auto admitted = admit(documentSizeBound(tree->root())); !admitted) {
      return std::unexpected(std::move(admitted.error()));
    }
  }
  auto document = encodeDocument(tree->root());
  if (!document) return std::unexpected(document.error().description());
  return std::move(*document);
}

std::expected<std::string, std::string> walkToDocument(std::string_view path,
                                                       const platform::FileSystem& fileSystem) {
  auto root = PrivilegedWalk::resolveRoot(path, fileSystem);
  if (!root) return std::unexpected(root.error().description());
  return walkToDocument(**root, path);
}

}  // namespace kelmarind::walk
