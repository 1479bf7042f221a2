// Requirement texts are compiled from text the service builds, but a team
// identifier is inserted unescaped; any bytes must compile or fail cleanly,
// and a compiled requirement must evaluate without fault.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/code_requirement.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto requirement = kelmarind::platform::CodeRequirement::compile(text);
  const int status = kelmarind::platform::statusOf(text);
  if (requirement.has_value() != (status == 0)) __builtin_trap();
  if (requirement) {
    (void)requirement->isSatisfiedBy({"com.kelmarind.app"});
    (void)requirement->isSatisfiedBy({""});
  }
  return 0;
}
