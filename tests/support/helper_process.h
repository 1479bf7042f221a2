// The real helper for integration tests, started the way the service manager
// starts it: systemd-socket-activate creates the listening socket and hands it
// over. The socket lives in a private directory, so tests never touch the
// machine's own endpoint.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace kelmarind::testing {

// Held while a test changes the machine's user database or relies on a copy
// of it: useradd and userdel rename a new /etc/passwd into place, which
// dissolves a copy bind-mounted over the old one in a helper's namespace,
// and tests run in parallel processes. Blocks until it is held.
class UserDatabaseLock final {
 public:
  UserDatabaseLock();
  UserDatabaseLock(const UserDatabaseLock&) = delete;
  UserDatabaseLock& operator=(const UserDatabaseLock&) = delete;
  ~UserDatabaseLock();

 private:
  int fd_;
};

struct LogLine {
  std::string level;  // "default", "error" or "fault"
  std::string message;
};

class HelperProcess final {
 public:
  // Starts build/bin/KelmarindHelper behind systemd-socket-activate. When
  // running as root the helper gets a private mount namespace in which the
  // journal's socket is hidden, so its log lines come to stderr, where the
  // test reads them. Waits until the socket accepts connections.
  //
  // `extraUsers` are passwd lines added, as root, to the user database the
  // helper sees (bind-mounted over /etc/passwd inside its namespace), so
  // tests can give it homes under /Users/ without touching the machine's.
  // `launcher` is a command line put in front of everything, such as
  // {"prlimit", "--nofile=32"}; the helper inherits what it sets.
  explicit HelperProcess(const std::vector<std::string>& extraUsers = {},
                         const std::vector<std::string>& launcher = {});
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;
  ~HelperProcess();

  [[nodiscard]] const std::string& socketPath() const { return socketPath_; }
  [[nodiscard]] pid_t pid() const { return pid_; }
  // The helper's log lines so far: from its stderr, or from the machine's
  // journal where they went there (without root, on a machine whose journal
  // runs); empty where this user may not read that journal.
  [[nodiscard]] std::vector<LogLine> logLines() const;
  // True when logLines() sees the helper's lines.
  [[nodiscard]] bool isLogCaptured() const { return isLogCaptured_ || isLogInJournal_; }

 private:
  [[nodiscard]] bool awaitStartLineInJournal() const;

  std::optional<UserDatabaseLock> userDatabaseLock_;  // while the helper sees extra users
  TempDir dir_;
  std::string socketPath_;
  std::string stderrPath_;
  std::uint64_t startUsec_;
  pid_t pid_ = -1;
  bool isLogCaptured_ = false;
  bool isLogInJournal_ = false;
};

// Runs `argv` to completion, capturing stdout and stderr.
struct ProcessResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};
[[nodiscard]] ProcessResult runProcess(const std::vector<std::string>& argv,
                                       const std::string& workingDirectory = {});

// build/bin/<name>
[[nodiscard]] std::string binaryPath(const std::string& name);

}  // namespace kelmarind::testing
