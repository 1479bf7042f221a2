// kelmarind-measure [--stdout FILE] -- COMMAND [ARG...]: runs COMMAND once and
// prints "SECONDS MAX_RSS_KIB EXIT_STATUS CPU_SECONDS". The command's stdout
// goes to FILE (default /dev/null); its stderr is inherited.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "bench/measurement.h"

int main(int argc, char** argv) {
  std::string output = "/dev/null";
  int first = 1;
  if (argc > 2 && std::string_view(argv[1]) == "--stdout") {
    output = argv[2];
    first = 3;
  }
  if (first + 1 >= argc || std::string_view(argv[first]) != "--") {
    (void)std::fprintf(stderr, "usage: %s [--stdout FILE] -- COMMAND [ARG...]\n", argv[0]);
    return 2;
  }
  const std::vector<std::string> command(argv + first + 1, argv + argc);
  const auto measured = kelmarind::bench::measureCommand(command, output);
  if (!measured) {
    (void)std::fprintf(stderr, "%s: %s\n", argv[first + 1], measured.error().message().c_str());
    return 1;
  }
  const int printed = std::printf("%.6f %lld %d %.6f\n", measured->wallSeconds,
                                  static_cast<long long>(measured->maxResidentKib),
                                  measured->exitStatus, measured->cpuSeconds);
  if (printed < 0 || std::fflush(stdout) != 0) {
    (void)std::fprintf(stderr, "%s: cannot write the measurement\n", argv[0]);
    return 1;
  }
  return 0;
}
