// Any bytes must compile or fail cleanly, and what compiles must evaluate.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/linux/code_requirement.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto requirement = kelmarind::platform::linux::CodeRequirement::compile(text);
  if (requirement) (void)requirement->isSatisfiedBy({"com.kelmarind.app"});
  return 0;
}
