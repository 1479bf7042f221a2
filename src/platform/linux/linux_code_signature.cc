#include "platform/linux/linux_code_signature.h"

namespace kelmarind::platform::linux {

std::optional<std::string> LinuxCodeSignature::teamIdentifier() const {
  // There is no signing authority whose team could be read back from an ELF
  // file; anything we embedded ourselves could be copied by anyone.
  return std::nullopt;
}

}  // namespace kelmarind::platform::linux
