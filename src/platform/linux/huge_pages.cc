#include "platform/huge_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kelmarind::platform {
void adviseHugePages(void* data, std::size_t size) noexcept {
  // No huge page fits in less, and the call would only split a mapping.
  if (size < hugePageSize) return;
  static const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  // madvise wants a page-aligned start. Rounding down is harmless: the page
  // holding the start is touched already, so the advice cannot change it.
  const std::uintptr_t lead = begin & (pageSize - 1);
  // A failure only means small pages, as without the advice. The address is
  // derived from the pointer, not from an integer, so it keeps its provenance.
  (void)::madvise(static_cast<char*>(data) - lead, size + lead, MADV_HUGEPAGE);
}

void releasePages(void* data, std::size_t size) noexcept {
  static const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + pageSize - 1) & ~(pageSize - 1);
  const std::uintptr_t end = (begin + size) & ~(pageSize - 1);
  // A failure leaves the pages in place, which is only a lost saving.
  if (end > first) {
    (void)::madvise(static_cast<char*>(data) + (first - begin), end - first, MADV_DONTNEED);
  }
}

// The kernel uses huge pages only for a mapping's huge-page-aligned parts, so
// a mapping padded by one huge page is trimmed to an aligned one.
char* mapHugePageAligned(std::size_t size) noexcept {
  const std::size_t padded = size + hugePageSize;
  void* raw = ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t lead = roundUp(start, hugePageSize) - start;
  char* const base = static_cast<char*>(raw) + lead;
  if (lead > 0) ::munmap(raw, lead);
  // The lead is less than the one huge page of padding, so a tail always remains.
  ::munmap(base + size, hugePageSize - lead);
  adviseHugePages(base, size);
  return base;
}

void unmapPages(char* base, std::size_t size) noexcept { ::munmap(base, size); }

}  // namespace kelmarind::platform
