// kelmarind-walk PATH: prints exactly the document the service sends for
// PATH, or the walk's error text on stderr with exit status 1.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/linux/linux_file_system.h"
#include "platform/linux/released_send.h"
#include "walk/walk_document.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kelmarind-walk PATH\n", stderr);
    return 2;
  }
  const kelmarind::platform::linux::LinuxFileSystem fileSystem;
  auto document = kelmarind::walk::walkToDocument(argv[1], fileSystem);
  if (!document) {
    std::fprintf(stderr, "%s\n", document.error().c_str());
    return 1;
  }
  // The tree is gone by now, so the output's first pages can be the ones it
  // held, and the rest the document's own as they are written.
  const auto written = kelmarind::platform::linux::sendReleasing(
      *document, "write",
      [](const char* data, std::size_t size) { return ::write(STDOUT_FILENO, data, size); });
  return written ? 0 : 1;
}
