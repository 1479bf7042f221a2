#include "platform/huge_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kelmarind::platform {
namespace {

constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

}  // namespace

void adviseHugePages(void* data, std::size_t size) noexcept {
  // No huge page fits in less, and the call would only split a mapping.
  if (size < kHugePageSize) return;
  static const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  // madvise wants a page-aligned start. Rounding down is harmless: the page
  // holding the start is touched already, so the advice cannot change it.
  const std::uintptr_t first = begin & ~(pageSize - 1);
  const std::uintptr_t end = begin + size;
  // A failure only means small pages, as without the advice.
  (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

void releasePages(void* data, std::size_t size) noexcept {
  static const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + pageSize - 1) & ~(pageSize - 1);
  const std::uintptr_t end = (begin + size) & ~(pageSize - 1);
  // A failure leaves the pages in place, which is only a lost saving.
  if (end > first) (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

}  // namespace kelmarind::platform
