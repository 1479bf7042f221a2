#include "walk/walk_document.h"

#include "platform/page_arena.h"
#include "walk/node_json.h"
#include "walk/privileged_walk.h"

namespace kelmarind::walk {

std::expected<std::string, std::string> walkToDocument(std::string_view path,
                                                       const platform::FileSystem& fileSystem) {
  platform::PageArena memory;
  const auto root = PrivilegedWalk::walk(path, fileSystem, &memory);
  if (!root) return std::unexpected(root.error().description());
  auto document = encodeDocument(*root);
  if (!document) return std::unexpected(document.error().description());
  return std::move(*document);
}

}  // namespace kelmarind::walk
