// kelmarind-walk PATH: prints exactly the document the service sends for
// PATH, or the walk's error text on stderr with exit status 1.
#include <cstdio>

#include "platform/linux/linux_file_system.h"
#include "platform/page_arena.h"
#include "walk/node_json.h"
#include "walk/privileged_walk.h"

int main(int argc, char** argv) {
  using kelmarind::walk::PrivilegedWalk;
  if (argc != 2) {
    std::fputs("usage: kelmarind-walk PATH\n", stderr);
    return 2;
  }
  const kelmarind::platform::linux::LinuxFileSystem fileSystem;
  kelmarind::platform::PageArena memory;
  auto root = PrivilegedWalk::walk(argv[1], fileSystem, &memory);
  if (!root) {
    std::fprintf(stderr, "%s\n", root.error().description().c_str());
    return 1;
  }
  auto document = kelmarind::walk::encodeDocument(*root);
  if (!document) {
    std::fprintf(stderr, "%s\n", document.error().description().c_str());
    return 1;
  }
  return std::fwrite(document->data(), 1, document->size(), stdout) == document->size() &&
                 std::fflush(stdout) == 0
             ? 0
             : 1;
}
