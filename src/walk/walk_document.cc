#include "walk/walk_document.h"

#include "walk/node_json.h"
#include "walk/privileged_walk.h"

namespace kelmarind::walk {

std::expected<std::string, std::string> walkToDocument(std::string_view path,
                                                       const platform::FileSystem& fileSystem) {
  auto tree = PrivilegedWalk::walkTree(path, fileSystem);
  if (!tree) return std::unexpected(tree.error().description());
  auto document = encodeDocument(tree->root());
  if (!document) return std::unexpected(document.error().description());
  return std::move(*document);
}

}  // namespace kelmarind::walk
