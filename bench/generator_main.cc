// kelmarind-gentree DIR: makes the benchmark tree in DIR, or leaves an
// already complete one of the same shape alone.
#include <cstdio>

#include "bench/tree_generator.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const kelmarind::bench::TreeShape shape;
  const auto outcome = kelmarind::bench::generateTree(argv[1], shape);
  if (!outcome) {
    (void)std::fprintf(stderr, "%s: %s (remove a partial or different tree first)\n", argv[1],
                       outcome.error().message().c_str());
    return 1;
  }
  const auto counts = kelmarind::bench::countsOf(shape);
  const int printed = std::printf(
      "%s %s: folderCount=%lld fileCount=%lld\n", argv[1],
      *outcome == kelmarind::bench::GenerateOutcome::created ? "created" : "present",
      static_cast<long long>(counts.folderCount), static_cast<long long>(counts.fileCount));
  if (printed < 0 || std::fflush(stdout) != 0) {
    (void)std::fprintf(stderr, "%s: cannot write the counts\n", argv[0]);
    return 1;
  }
  return 0;
}
