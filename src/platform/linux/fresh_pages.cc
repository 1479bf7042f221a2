#include "platform/fresh_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kelmarind::platform {

void releasePages(void* data, std::size_t size) noexcept {
  static const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + pageSize - 1) & ~(pageSize - 1);
  const std::uintptr_t end = (begin + size) & ~(pageSize - 1);
  // A failure leaves the pages in place, which is only a lost saving. The
  // address is derived from the pointer, not from an integer, so it keeps its
  // provenance.
  if (end > first) {
    (void)::madvise(static_cast<char*>(data) + (first - begin), end - first, MADV_DONTNEED);
  }
}

char* mapPages(std::size_t size) noexcept {
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return base == MAP_FAILED ? nullptr : static_cast<char*>(base);
}

void unmapPages(char* base, std::size_t size) noexcept { ::munmap(base, size); }

}  // namespace kelmarind::platform
