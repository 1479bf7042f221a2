// kelmarind-walk PATH: prints exactly the document the service sends for
// PATH, or the walk's error text on stderr with exit status 1.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/linux/linux_file_system.h"
#include "walk/walk_document.h"

namespace {

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
  const kelmarind::platform::linux::LinuxFileSystem fileSystem;
  const auto document = kelmarind::walk::walkToDocument(argv[1], fileSystem);
  if (!document) {
    std::fprintf(stderr, "%s\n", document.error().c_str());
    return 1;
  }
  // The tree is gone by now, so the output's pages can be the ones it held.
  return writeAll(STDOUT_FILENO, *document) ? 0 : 1;
}
