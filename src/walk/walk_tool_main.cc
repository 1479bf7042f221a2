// kelmarind-walk PATH: prints exactly the document the service sends for
// PATH, or the walk's error text on stderr with exit status 1.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <expected>
#include <string>

#include "platform/linux/linux_file_system.h"
#include "platform/page_arena.h"
#include "walk/node_json.h"
#include "walk/privileged_walk.h"

namespace {

// As the service does, the tree and its arena are gone before the document is
// written out, so the pages the output needs can be the ones the tree held.
std::expected<std::string, std::string> walkAndEncode(const char* path) {
  const kelmarind::platform::linux::LinuxFileSystem fileSystem;
  kelmarind::platform::PageArena memory;
  const auto root = kelmarind::walk::PrivilegedWalk::walk(path, fileSystem, &memory);
  if (!root) return std::unexpected(root.error().description());
  auto document = kelmarind::walk::encodeDocument(*root);
  if (!document) return std::unexpected(document.error().description());
  return std::move(*document);
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kelmarind-walk PATH\n", stderr);
    return 2;
  }
  const auto document = walkAndEncode(argv[1]);
  if (!document) {
    std::fprintf(stderr, "%s\n", document.error().c_str());
    return 1;
  }
  return writeAll(STDOUT_FILENO, *document) ? 0 : 1;
}
