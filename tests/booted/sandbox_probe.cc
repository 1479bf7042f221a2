// kelmarind-sandbox-probe: run with exactly the helper unit's settings, tries
// what a helper taken over through a parser would try, and checks that the
// sandbox refuses it while still allowing what the helper needs.
//
//   kelmarind-sandbox-probe --peer PID [--target PID] DIRECTORY...
//
// Attacks, each of which must fail: creating a file in every DIRECTORY,
// opening /proc/TARGET/mem for writing, process_vm_writev and ptrace on
// TARGET (default 1, the service manager). Controls, which must succeed:
// CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH are effective (so a refusal is the
// sandbox's, not a missing privilege), /proc/PEER/exe, the executable of a
// process of another user, opens as the helper opens a client's, and a
// thread may take a descriptor table of its own, as the walk's second thread
// does.
// Prints one line per try; exits 0 only when every attack failed and every
// control succeeded.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

int failureCount = 0;

void attack(const std::string& what, bool isDone, int code) {
  if (isDone) ++failureCount;
  std::printf("%s %s%s%s\n", isDone ? "ALLOWED" : "refused", what.c_str(), isDone ? "" : ": ",
              isDone ? "" : std::strerror(code));
}

void control(const std::string& what, bool isDone, int code) {
  if (!isDone) ++failureCount;
  std::printf("%s %s%s%s\n", isDone ? "works" : "BROKEN", what.c_str(), isDone ? "" : ": ",
              isDone ? "" : std::strerror(code));
}

bool hasEffective(int capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

void tryCreateIn(const std::string& directory) {
  const std::string path = directory + "/kelmarind-probe-" + std::to_string(::getpid());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const int code = errno;
  attack("create a file in " + directory, fd >= 0, code);
  if (fd >= 0) {
    ::close(fd);
    ::unlink(path.c_str());
  }
}

void tryWriteMemory(pid_t target) {
  const std::string mem = "/proc/" + std::to_string(target) + "/mem";
  const int fd = ::open(mem.c_str(), O_RDWR | O_CLOEXEC);
  attack("open " + mem + " for writing", fd >= 0, errno);
  if (fd >= 0) ::close(fd);

  char byte = 0;
  iovec local{&byte, 1};
  // Any address will do: the call is refused before the kernel looks at it,
  // or else fails with EFAULT, which also shows it was allowed.
  iovec remote{reinterpret_cast<void*>(0x10000), 1};
  errno = 0;
  const long written = ::syscall(SYS_process_vm_writev, target, &local, 1, &remote, 1, 0);
  attack("process_vm_writev into " + std::to_string(target), written >= 0 || errno == EFAULT,
         errno);

  const long attached = ::ptrace(PTRACE_SEIZE, target, nullptr, nullptr);
  attack("ptrace " + std::to_string(target), attached == 0, errno);
  if (attached == 0) ::ptrace(PTRACE_DETACH, target, nullptr, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  pid_t peer = 0;
  pid_t target = 1;
  std::vector<std::string> directories;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--peer" && i + 1 < argc) {
      peer = std::atoi(argv[++i]);
    } else if (arg == "--target" && i + 1 < argc) {
      target = std::atoi(argv[++i]);
    } else {
      directories.emplace_back(arg);
    }
  }
  if (peer <= 0 || directories.empty()) {
    (void)std::fputs("usage: kelmarind-sandbox-probe --peer PID [--target PID] DIRECTORY...\n",
                     stderr);
    return 64;
  }

  control("CAP_SYS_PTRACE effective", hasEffective(CAP_SYS_PTRACE), EPERM);
  control("CAP_DAC_READ_SEARCH effective", hasEffective(CAP_DAC_READ_SEARCH), EPERM);
  const std::string peerExe = "/proc/" + std::to_string(peer) + "/exe";
  const int exe = ::open(peerExe.c_str(), O_RDONLY | O_CLOEXEC);
  control("open " + peerExe + " (a process of another user)", exe >= 0, errno);
  if (exe >= 0) ::close(exe);
  // Nothing is open that high: only the filter's answer counts.
  control("close_range with CLOSE_RANGE_UNSHARE",
          ::close_range(1U << 20, ~0U, CLOSE_RANGE_UNSHARE) == 0, errno);

  for (const std::string& directory : directories) tryCreateIn(directory);
  tryWriteMemory(target);
  std::printf("probe: %d failure(s)\n", failureCount);
  // The checks read these lines: a probe whose report was lost has not passed.
  return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 && failureCount == 0 ? 0 : 1;
}
