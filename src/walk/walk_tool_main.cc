// kelmarind-walk PATH: prints exactly the document the service sends for
// PATH, or the walk's error text on stderr with exit status 1.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <variant>

#include "platform/linux/linux_file_system.h"
#include "platform/linux/released_send.h"
#include "walk/walk_document.h"

// Diagnostics go to stderr, and the exit status says the same, so a
// diagnostic that cannot be written loses nothing.
int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fputs("usage: kelmarind-walk PATH\n", stderr);
    return 2;
  }
  const kelmarind::platform::linux::LinuxFileSystem fileSystem;
  auto document = kelmarind::walk::walkToDocument(argv[1], fileSystem);
  if (!document) {
    // Nothing is refused without an admission: the walk or its encoding failed.
    const auto* walkError =
        std::get_if<kelmarind::walk::PrivilegedWalk::WalkError>(&document.error());
    const std::string text =
        walkError != nullptr
            ? walkError->description()
            : std::get<kelmarind::walk::EncodeError>(document.error()).description();
    (void)std::fprintf(stderr, "%s\n", text.c_str());
    return 1;
  }
  // The tree is gone by now, so the output's first pages can be the ones it
  // held, and the rest the document's own as they are written.
  const auto written = kelmarind::platform::linux::writeReleasing(STDOUT_FILENO, *document);
  if (!written) {
    (void)std::fprintf(stderr, "kelmarind-walk: the document could not be written in full: %s\n",
                       written.error().message().c_str());
    return 1;
  }
  return 0;
}
