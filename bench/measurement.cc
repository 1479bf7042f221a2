#include "bench/measurement.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/linux/retry_on_interrupt.h"

extern char** environ;

namespace kelmarind::bench {
namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

}  // namespace

std::expected<Measurement, platform::OsError> measureCommand(
    const std::vector<std::string>& command, const std::string& stdoutPath) {
  if (command.empty()) return std::unexpected(platform::OsError{EINVAL, "posix_spawnp"});
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (const int error = ::posix_spawn_file_actions_init(&actions); error != 0) {
    return std::unexpected(platform::OsError{error, "posix_spawn_file_actions_init"});
  }
  // Without the redirection the command would write into the measurer's own stdout.
  if (const int error = ::posix_spawn_file_actions_addopen(
          &actions, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      error != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return std::unexpected(platform::OsError{error, "posix_spawn_file_actions_addopen"});
  }
  const double start = now();
  pid_t child = 0;
  const int spawnError = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawnError != 0) return std::unexpected(platform::OsError{spawnError, "posix_spawnp"});

  int status = 0;
  rusage usage{};
  if (platform::linux::retryOnInterrupt([&] { return ::wait4(child, &status, 0, &usage); }) < 0) {
    return std::unexpected(platform::OsError{errno, "wait4"});
  }
  return Measurement{
      .wallSeconds = now() - start,
      .cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime),
      .maxResidentKib = usage.ru_maxrss,
      .exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
  };
}

}  // namespace kelmarind::bench
