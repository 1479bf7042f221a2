// kelmarind-docstats FILE: prints the figures of a walk document as one line
// of key=value pairs.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench/document_stats.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  if (!file) {
    (void)std::fprintf(stderr, "%s: cannot read\n", argv[1]);
    return 1;
  }
  const std::string json = std::move(text).str();
  const auto stats = kelmarind::bench::documentStats(json);
  if (!stats) {
    (void)std::fprintf(stderr, "%s: %s\n", argv[1], stats.error().c_str());
    return 1;
  }
  const int printed = std::printf(
      "folderCount=%lld fileCount=%lld allocatedSize=%lld nodeCount=%lld aggregateCount=%lld "
      "documentBytes=%zu\n",
      static_cast<long long>(stats->folderCount), static_cast<long long>(stats->fileCount),
      static_cast<long long>(stats->allocatedSize), static_cast<long long>(stats->nodeCount),
      static_cast<long long>(stats->aggregateCount), json.size());
  if (printed < 0 || std::fflush(stdout) != 0) {
    (void)std::fprintf(stderr, "%s: cannot write the figures\n", argv[0]);
    return 1;
  }
  return 0;
}
