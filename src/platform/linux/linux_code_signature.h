// This program's code signature on Linux: ELF executables carry no signing
// team, so client validation always runs on the embedded identifier alone.
#pragma once

#include <optional>
#include <string>

#include "platform/code_signature.h"

namespace kelmarind::platform::linux {

class LinuxCodeSignature final : public CodeSignature {
 public:
  // Always nothing. Stateless and thread-safe.
  [[nodiscard]] std::optional<std::string> teamIdentifier() const override;
};

}  // namespace kelmarind::platform::linux
