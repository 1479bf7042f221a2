#include "platform/linux/sealed_memory_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#ifndef MFD_NOEXEC_SEAL
#define MFD_NOEXEC_SEAL 0x0008U
#endif

namespace kelmarind::platform::linux {
namespace {

constexpr int allSeals = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL;

std::unexpected<OsError> failure(const char* operation, int code = errno) {
  return std::unexpected(OsError{.code = code, .operation = operation});
}

}  // namespace

std::expected<UniqueFd, OsError> memoryFile() {
  // Never executable: the service runs with MemoryDenyWriteExecute, and no
  // reader should be able to map a reply as code. Kernels before 6.3 do not
  // know the flag; their memory files are not executable through a mapping
  // of this kind anyway.
  int fd = ::memfd_create("kelmarind-reply", MFD_CLOEXEC | MFD_ALLOW_SEALING | MFD_NOEXEC_SEAL);
  if (fd < 0 && errno == EINVAL) {
    fd = ::memfd_create("kelmarind-reply", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  }
  if (fd < 0) return failure("memfd_create");
  return UniqueFd(fd);
}

std::expected<void, OsError> seal(int file) {
  if (::fcntl(file, F_ADD_SEALS, allSeals) != 0) return failure("fcntl(F_ADD_SEALS)");
  return {};
}

std::expected<void, OsError> checkSealedMemoryFile(int descriptor, std::size_t size) {
  const int seals = ::fcntl(descriptor, F_GET_SEALS);
  // Files that cannot carry seals answer EINVAL.
  if (seals < 0) return failure("fcntl(F_GET_SEALS)", errno == EINVAL ? EBADFD : errno);
  if ((seals & allSeals) != allSeals) return failure("fcntl(F_GET_SEALS)", EBADFD);
  struct stat status = {};
  if (::fstat(descriptor, &status) != 0) return failure("fstat");
  if (!S_ISREG(status.st_mode)) return failure("fstat", EBADFD);
  if (static_cast<std::size_t>(status.st_size) != size) return failure("fstat", EMSGSIZE);
  return {};
}

}  // namespace kelmarind::platform::linux
