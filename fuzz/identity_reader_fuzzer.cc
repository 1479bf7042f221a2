// Inputs that start like an ELF file go through the whole reader, others
// straight to the property-list half, so both halves are explored.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "platform/linux/info_plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kelmarind::platform::linux;
  if (size >= 4 && std::memcmp(data,
                               "\x7f"
                               "ELF",
                               4) == 0) {
    const auto plist = infoPlistOfImage(std::as_bytes(std::span(data, size)));
    if (plist && plist->size() > maxInfoPlistSize) __builtin_trap();
    if (plist) (void)bundleIdentifierOf(*plist);
  } else {
    (void)bundleIdentifierOf(std::string_view(reinterpret_cast<const char*>(data), size));
  }
  return 0;
}
