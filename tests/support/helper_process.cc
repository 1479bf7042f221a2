#include "tests/support/helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <systemd/sd-journal.h>

namespace kelmarind::testing {
namespace {

bool canConnect(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool journalSocketExists() {
  struct stat status = {};
  return ::stat("/run/systemd/journal/socket", &status) == 0;
}

std::string journalField(sd_journal* journal, const char* name) {
  const void* data = nullptr;
  std::size_t size = 0;
  if (sd_journal_get_data(journal, name, &data, &size) < 0) return {};
  const std::string_view field(static_cast<const char*>(data), size);
  return std::string(field.substr(std::string_view(name).size() + 1));
}

// The helper's entries that the journal has so far and this user may read
// (none where it may read no journal file).
std::vector<LogLine> journalLines(pid_t pid, std::uint64_t sinceUsec) {
  sd_journal* journal = nullptr;
  if (sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) return {};
  const std::string pidMatch = "_PID=" + std::to_string(pid);
  std::vector<LogLine> lines;
  if (sd_journal_add_match(journal, pidMatch.c_str(), 0) == 0 &&
      sd_journal_add_match(journal, "SYSLOG_IDENTIFIER=KelmarindHelper", 0) == 0) {
    SD_JOURNAL_FOREACH(journal) {
      std::uint64_t at = 0;
      // An earlier process with the same pid is no concern of this test.
      if (sd_journal_get_realtime_usec(journal, &at) < 0 || at < sinceUsec) continue;
      const std::string priority = journalField(journal, "PRIORITY");
      lines.push_back({priority == "3"   ? "error"
                       : priority == "2" ? "fault"
                                         : "default",
                       journalField(journal, "MESSAGE")});
    }
  }
  sd_journal_close(journal);
  return lines;
}

// On the journal's clock: microseconds of the realtime clock.
std::uint64_t nowUsec() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

[[noreturn]] void execOrDie(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

}  // namespace

std::string binaryPath(const std::string& name) {
  return std::string(KELMARIND_BIN_DIR) + "/" + name;
}

UserDatabaseLock::UserDatabaseLock()
    : fd_(::open("/run/lock/kelmarind-test-users", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
  if (fd_ >= 0) (void)::flock(fd_, LOCK_EX);
}

UserDatabaseLock::~UserDatabaseLock() {
  if (fd_ >= 0) ::close(fd_);
}

HelperProcess::HelperProcess(const std::vector<std::string>& extraUsers,
                             const std::vector<std::string>& launcher)
    : socketPath_(dir_ / "helper.sock"),
      stderrPath_(dir_ / "helper.stderr"),
      startUsec_(nowUsec()) {
  const bool isRoot = ::geteuid() == 0;
  if (!extraUsers.empty() && !isRoot) throw std::runtime_error("extra users need root");
  if (!extraUsers.empty()) userDatabaseLock_.emplace();
  isLogCaptured_ = isRoot || !journalSocketExists();
  std::vector<std::string> argv = launcher;
  if (isRoot) {
    // A tmpfs over /run/systemd hides the journal's socket from the helper
    // alone; the machine's journal and mounts stay as they were.
    std::string setup = "mount -t tmpfs tmpfs /run/systemd 2>/dev/null; ";
    if (!extraUsers.empty()) {
      const std::string passwd = dir_ / "passwd";
      std::ofstream out(passwd);
      out << readFile("/etc/passwd");
      for (const std::string& line : extraUsers) out << line << '\n';
      setup += "mount --bind " + passwd + " /etc/passwd || exit 1; ";
    }
    argv.insert(argv.end(), {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                             setup + "exec \"$@\"", "sh"});
  }
  for (const std::string& arg : {std::string("systemd-socket-activate"), std::string("--listen"),
                                 socketPath_, binaryPath("KelmarindHelper")}) {
    argv.push_back(arg);
  }

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    execOrDie(argv);
  }
  // systemd-socket-activate binds first and starts the helper on the first
  // connection; wait for the helper's start line as well, so tests see the
  // helper itself, not just the socket.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (canConnect(socketPath_) &&
        (!isLogCaptured_ || readFile(stderrPath_).find("listening on") != std::string::npos)) {
      if (!isLogCaptured_) isLogInJournal_ = awaitStartLineInJournal();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("the helper did not start: " + readFile(stderrPath_));
}

// Without root the helper's lines go to the machine's journal (it execs in the
// activator's process, so pid_ is its pid); they are read from there when
// this user may read them.
bool HelperProcess::awaitStartLineInJournal() const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const LogLine& line : journalLines(pid_, startUsec_)) {
      if (line.message.find("listening on") != std::string::npos) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

HelperProcess::~HelperProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::vector<LogLine> HelperProcess::logLines() const {
  if (isLogInJournal_) {
    // journald takes the lines a moment after they are sent: read until two
    // looks a little apart agree.
    std::vector<LogLine> lines = journalLines(pid_, startUsec_);
    for (int look = 0; look < 20; ++look) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::vector<LogLine> again = journalLines(pid_, startUsec_);
      if (again.size() == lines.size()) break;
      lines = std::move(again);
    }
    return lines;
  }
  std::vector<LogLine> lines;
  std::istringstream in(readFile(stderrPath_));
  for (std::string line; std::getline(in, line);) {
    // "KelmarindHelper <level> [<subsystem>:<category>] <message>" is the
    // stderr form of a log line; anything else on stderr is not a log line.
    constexpr std::string_view prefix = "KelmarindHelper ";
    const auto close = line.find("] ");
    if (!line.starts_with(prefix) || close == std::string::npos) continue;
    const auto levelEnd = line.find(' ', prefix.size());
    lines.push_back({line.substr(prefix.size(), levelEnd - prefix.size()), line.substr(close + 2)});
  }
  return lines;
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::string& workingDirectory) {
  TempDir dir;
  const std::string outPath = dir / "out";
  const std::string errPath = dir / "err";
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
    execOrDie(argv);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(outPath), readFile(errPath)};
}

}  // namespace kelmarind::testing
