#include "tests/support/helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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
  struct stat status {};
  return ::stat("/run/systemd/journal/socket", &status) == 0;
}

[[noreturn]] void execOrDie(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

}  // namespace

std::string binaryPath(const std::string& name) {
  return std::string(KELMARIND_BIN_DIR) + "/" + name;
}

HelperProcess::HelperProcess(const std::vector<std::string>& extraUsers,
                             const std::vector<std::string>& launcher)
    : socketPath_(dir_ / "helper.sock"), stderrPath_(dir_ / "helper.stderr") {
  const bool isRoot = ::geteuid() == 0;
  if (!extraUsers.empty() && !isRoot) throw std::runtime_error("extra users need root");
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
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("the helper did not start: " + readFile(stderrPath_));
}

HelperProcess::~HelperProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::vector<LogLine> HelperProcess::logLines() const {
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
