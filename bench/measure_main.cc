// kelmarind-measure [--stdout FILE] -- COMMAND [ARG...]: runs COMMAND once and
// prints "SECONDS MAX_RSS_KIB EXIT_STATUS CPU_SECONDS": wall time from spawn
// to reaping, and from wait4 the peak resident memory and the user plus
// system time, which other load on the machine disturbs less than wall time. The command's stdout
// goes to FILE (default /dev/null); its stderr is inherited.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

extern char** environ;

namespace {

double now() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const char* output = "/dev/null";
  int first = 1;
  if (argc > 2 && std::string_view(argv[1]) == "--stdout") {
    output = argv[2];
    first = 3;
  }
  if (first >= argc || std::string_view(argv[first]) != "--" || first + 1 >= argc) {
    std::fprintf(stderr, "usage: %s [--stdout FILE] -- COMMAND [ARG...]\n", argv[0]);
    return 2;
  }
  char** command = argv + first + 1;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output, O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  const double start = now();
  pid_t child = 0;
  const int spawnError = ::posix_spawnp(&child, command[0], &actions, nullptr, command, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawnError != 0) {
    std::fprintf(stderr, "%s: %s\n", command[0], std::strerror(spawnError));
    return 1;
  }
  int status = 0;
  rusage usage{};
  while (::wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("wait4");
      return 1;
    }
  }
  const double seconds = now() - start;
  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const auto toSeconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  std::printf("%.6f %ld %d %.6f\n", seconds, usage.ru_maxrss, exitStatus,
              toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime));
  return 0;
}
