// kelmarind-walk PATH: prints exactly the document the service sends for
// PATH, or the walk's error text on stderr with exit status 1.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <variant>

#include "platform/linux/linux_file_system.h"
#include "platform/linux/released_send.h"
#include "walk/walk_document.h"

namespace {

using namespace kelmarind;

struct FailureText {
  std::string operator()(const walk::PrivilegedWalk::WalkError& error) const {
    return error.description();
  }
  std::string operator()(const walk::EncodeError& error) const { return error.description(); }
  std::string operator()(const platform::OsError& error) const {
    return "kelmarind-walk: the document could not be written in full: " + error.message();
  }
  // Nothing is refused without an admission.
  std::string operator()(const walk::OversizedDocument& /*refused*/) const { return {}; }
};

}  // namespace

// Diagnostics go to stderr, and the exit status says the same, so a
// diagnostic that cannot be written loses nothing.
int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fputs("usage: kelmarind-walk PATH\n", stderr);
    return 2;
  }
  const platform::linux::LinuxFileSystem fileSystem;
  const auto written = walk::walkAndWrite(argv[1], fileSystem, [](std::string_view chunk) {
    return platform::linux::writeAll(STDOUT_FILENO, chunk);
  });
  if (!written) {
    (void)std::fprintf(stderr, "%s\n", std::visit(FailureText{}, written.error()).c_str());
    return 1;
  }
  return 0;
}
