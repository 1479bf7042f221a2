// The running program's own code signature, as far as client validation needs
// it: the signing team, which the client requirement names when there is one,
// and the requirement language the connection guard evaluates.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelmarind::platform {

class CodeSignature {
 public:
  virtual ~CodeSignature() = default;

  // The signing team identifier of this program, or nothing when it carries
  // none or the lookup fails for any reason (no error is reported; the caller
  // falls back to a requirement without a team). May be empty. Thread-safe.
  [[nodiscard]] virtual std::optional<std::string> teamIdentifier() const = 0;

  // Whether `requirement` is a text of the requirement language, so that the
  // connection guard can evaluate it. Thread-safe.
  [[nodiscard]] virtual bool isValidRequirement(std::string_view requirement) const = 0;
};

}  // namespace kelmarind::platform
