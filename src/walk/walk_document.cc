#include "walk/walk_document.h"

#include <utility>

namespace kelmarind::walk {

std::expected<WrittenDocument, DocumentError> walkAndWrite(const platform::RootEntry& root,
                                                           std::string_view path,
                                                           const ChunkWriter& write,
                                                           const DocumentAdmission& admit) {
  auto tree = PrivilegedWalk::walkTree(root, path);
  if (!tree) return std::unexpected(tree.error());
  // Planned once: the admission and the writing go by the same bound.
  const DocumentPlan plan = planDocument(tree->root());
  if (admit) {
    if (auto admitted = admit(plan.sizeBound); !admitted) return std::unexpected(admitted.error());
  }
  auto size = writeDocument(plan, write);
  if (!size) {
    return std::unexpected(
        std::visit([](auto error) { return DocumentError(std::move(error)); }, size.error()));
  }
  return WrittenDocument{*size, std::move(*tree)};
}

std::expected<WrittenDocument, DocumentError> walkAndWrite(std::string_view path,
                                                           const platform::FileSystem& fileSystem,
                                                           const ChunkWriter& write) {
  auto root = PrivilegedWalk::resolveRoot(path, fileSystem);
  if (!root) return std::unexpected(root.error());
  return walkAndWrite(**root, path, write);
}

}  // namespace kelmarind::walk
