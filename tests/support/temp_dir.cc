#include "tests/support/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kelmarind::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kelmarind-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = std::move(pattern);
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TempDir::~TempDir() {
  if (!path_.empty()) removeTree(path_);
}

std::string TempDir::operator/(std::string_view relative) const {
  std::string out = path_;
  out += '/';
  out += relative;
  return out;
}

namespace {

// Removes every entry of `dirFd` that is not a directory and returns the name
// of one subdirectory, made accessible, or "" when none is left.
std::string clearFilesAndFindDirectory(int dirFd) {
  DIR* listing = ::fdopendir(::dup(dirFd));
  if (listing == nullptr) return {};
  std::string directory;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      ::unlinkat(dirFd, entry->d_name, 0);
    } else if (directory.empty()) {
      ::fchmodat(dirFd, entry->d_name, (st.st_mode & 07777) | 0700, 0);
      directory = name;
    }
  }
  ::closedir(listing);
  return directory;
}

}  // namespace

// Holds one directory descriptor at a time and never builds a full path, so
// chains far deeper than PATH_MAX go too.
void removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  ::chmod(path.c_str(), (st.st_mode & 07777) | 0700);
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  std::vector<std::string> names;  // from `path` down to the directory of fd
  while (fd >= 0) {
    if (std::string next = clearFilesAndFindDirectory(fd); !next.empty()) {
      const int child = ::openat(fd, next.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) {
        ::close(fd);
        fd = child;
        names.push_back(std::move(next));
        continue;
      }
      if (::unlinkat(fd, next.c_str(), AT_REMOVEDIR) == 0) continue;
      break;  // a directory that can be neither entered nor removed
    }
    if (names.empty()) break;
    const int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = parent;
    if (fd >= 0 && ::unlinkat(fd, names.back().c_str(), AT_REMOVEDIR) != 0) {
      ::close(fd);  // still not removable: give up rather than loop
      fd = -1;
    }
    names.pop_back();
  }
  if (fd >= 0) ::close(fd);
  ::rmdir(path.c_str());
}

}  // namespace kelmarind::testing
