#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace kelmarind::testing {

TempDir::TempDir()
    : TempDir([] {
        const char* base = std::getenv("TMPDIR");
        return std::string_view(base != nullptr && *base != '\0' ? base : "/tmp");
      }()) {}

TempDir::TempDir(std::string_view base) {
  std::string pattern = std::string(base) + "/kelmarind-test-XXXXXX";
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

void removeTree(const std::string& path) {
  // Tests make directories unreadable on purpose; open them up again first so
  // the removal below can descend.
  ::nftw(
      path.c_str(),
      [](const char* entry, const struct stat* st, int type, FTW*) {
        if (type == FTW_D || type == FTW_DNR) ::chmod(entry, (st->st_mode & 07777) | 0700);
        return 0;
      },
      64, FTW_PHYS | FTW_MOUNT);
  ::nftw(
      path.c_str(),
      [](const char* entry, const struct stat*, int, FTW*) {
        (void)::remove(entry);  // best effort: what stays behind is only litter
        return 0;
      },
      64, FTW_PHYS | FTW_DEPTH);
}

}  // namespace kelmarind::testing
