#include "platform/linux/linux_code_signature.h"

#include "platform/linux/code_requirement.h"

namespace kelmarind::platform::linux {

std::optional<std::string> LinuxCodeSignature::teamIdentifier() const {
  // There is no signing authority whose team could be read back from an ELF
  // file; anything we embedded ourselves could be copied by anyone.
  return std::nullopt;
}

bool LinuxCodeSignature::isValidRequirement(std::string_view requirement) const {
  return CodeRequirement::compile(requirement).has_value();
}

}  // namespace kelmarind::platform::linux
