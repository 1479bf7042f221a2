// kelmarind-floor PATH [MAX_OPEN_DIRECTORIES]: the syscall-floor walk of PATH,
// printed as one line of key=value sums.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/floor_walk.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    (void)std::fprintf(stderr, "usage: %s PATH [MAX_OPEN_DIRECTORIES]\n", argv[0]);
    return 2;
  }
  kelmarind::bench::FloorOptions options;
  if (argc == 3) options.maxOpenDirectories = std::strtoul(argv[2], nullptr, 10);
  const auto totals = kelmarind::bench::floorWalk(argv[1], options);
  if (!totals) {
    (void)std::fprintf(stderr, "%s: %s\n", argv[1], totals.error().message().c_str());
    return 1;
  }
  const int printed = std::printf(
      "folderCount=%lld fileCount=%lld allocatedSize=%lld skippedCount=%lld\n",
      static_cast<long long>(totals->folderCount), static_cast<long long>(totals->fileCount),
      static_cast<long long>(totals->allocatedSize), static_cast<long long>(totals->skippedCount));
  if (printed < 0 || std::fflush(stdout) != 0) {
    (void)std::fprintf(stderr, "%s: cannot write the sums\n", argv[0]);
    return 1;
  }
  return 0;
}
