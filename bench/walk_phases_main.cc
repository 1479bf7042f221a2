// kelmarind-walk-phases PATH: runs the walk tool's steps one after another and
// prints how long each took (walk with coalescing, encoding, writing the
// document to /dev/null, freeing the tree), to show where the walk's time
// beyond the floor goes.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>

#include "platform/linux/linux_file_system.h"
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
  start = Clock::now();
  auto document = kelmarind::walk::encodeDocument(root->root());
  const double encodeSeconds = secondsSince(start);
  if (!document) {
    (void)std::fprintf(stderr, "%s\n", document.error().description().c_str());
    return 1;
  }
  start = Clock::now();
  const kelmarind::platform::UniqueFd sink(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const bool isWritten = ::write(sink.get(), document->data(), document->size()) ==
                         static_cast<ssize_t>(document->size());
  const double writeSeconds = secondsSince(start);
  start = Clock::now();
  std::optional<kelmarind::walk::WalkedTree> tree(std::move(*root));
  tree.reset();
  const double freeSeconds = secondsSince(start);
  const int printed =
      std::printf("walk=%.4f encode=%.4f write=%.4f free=%.4f documentBytes=%zu\n", walkSeconds,
                  encodeSeconds, writeSeconds, freeSeconds, document->size());
  if (printed < 0 || std::fflush(stdout) != 0) {
    (void)std::fprintf(stderr, "%s: cannot write the figures\n", argv[0]);
    return 1;
  }
  return isWritten ? 0 : 1;
}
