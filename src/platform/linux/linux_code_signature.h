// This program's code signature on Linux: ELF executables carry no signing
// team, so client validation always runs on the embedded identifier alone;
// requirements are texts of the language in code_requirement.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/code_signature.h"

namespace kelmarind::platform::linux {

class LinuxCodeSignature final : public CodeSignature {
 public:
  // Always nothing. Stateless and thread-safe.
  [[nodiscard]] std::optional<std::string> teamIdentifier() const override;
  // Whether CodeRequirement::compile accepts it.
  [[nodiscard]] bool isValidRequirement(std::string_view requirement) const override;
};

}  // namespace kelmarind::platform::linux
