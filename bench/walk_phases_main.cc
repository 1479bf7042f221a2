// kelmarind-walk-phases PATH: runs the walk tool's steps one after another and
// prints how long each took (walk with coalescing, the document encoded and
// written to /dev/null as it is, freeing the tree), to show where the walk's
// time beyond the floor goes.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/linux/linux_file_system.h"
#include "platform/linux/released_send.h"
#include "platform/unique_fd.h"
#include "walk/node_json.h"
#include "walk/privileged_walk.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fprintf(stderr, "usage: %s PATH\n", argv[0]);
    return 2;
  }
  const kelmarind::platform::linux::LinuxFileSystem fileSystem;
  auto start = Clock::now();
  auto root = kelmarind::walk::PrivilegedWalk::walkTree(argv[1], fileSystem);
  const double walkSeconds = secondsSince(start);
  if (!root) {
    (void)std::fprintf(stderr, "%s\n", root.error().description().c_str());
    return 1;
  }
  // Encoded and written out at once, as the walk tool does.
  start = Clock::now();
  const kelmarind::platform::UniqueFd sink(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const auto written = kelmarind::walk::writeDocument(root->root(), [&](std::string_view chunk) {
    return kelmarind::platform::linux::writeAll(sink.get(), chunk);
  });
  const double documentSeconds = secondsSince(start);
  if (!written) {
    (void)std::fprintf(stderr, "%s: the document could not be written\n", argv[0]);
    return 1;
  }
  start = Clock::now();
  std::optional<kelmarind::walk::WalkedTree> tree(std::move(*root));
  tree.reset();
  const double freeSeconds = secondsSince(start);
  const int printed = std::printf("walk=%.4f document=%.4f free=%.4f documentBytes=%zu\n",
                                  walkSeconds, documentSeconds, freeSeconds, *written);
  if (printed < 0 || std::fflush(stdout) != 0) {
    (void)std::fprintf(stderr, "%s: cannot write the figures\n", argv[0]);
    return 1;
  }
  return 0;
}
