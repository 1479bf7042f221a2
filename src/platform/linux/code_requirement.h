// The code requirement language: a small text naming which programs may
// connect, compiled once and then evaluated against each peer's identity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace kelmarind::platform::linux {

// What is known of a program's identity: the bundle identifier it carries
// embedded in its own executable. There is no certificate chain on this
// platform, so nothing else is ever known.
struct CodeIdentity {
  std::string identifier;
};

// The outcome of compiling a requirement text; 0 means it compiles.
enum class RequirementStatus : int {
  ok = 0,
  unterminatedString = 1,  // a quote is opened and never closed
  badEscape = 2,           // a backslash not followed by a double quote
  unexpectedEnd = 3,       // the text ends where an operand is due ("a and")
  unexpectedToken = 4,     // a token where the grammar allows none of its kind
  unknownClause = 5,       // a word that starts no clause of the language
  trailingText = 6,        // a complete requirement followed by more tokens
  tooLong = 7,             // longer than maxRequirementLength
  nestedTooDeeply = 8,     // more than maxRequirementDepth nested "!" or "("
};

inline constexpr std::size_t maxRequirementLength = 4096;
inline constexpr int maxRequirementDepth = 32;

// A compiled requirement. Grammar (words are case-sensitive):
//   requirement := term { "or" term }
//   term        := factor { "and" factor }
//   factor      := "!" factor | "(" requirement ")" | clause
//   clause      := "identifier" ["="] string
//                | "anchor" "apple" ["generic"]
//                | ("certificate" | "cert") position "[" field "]" ["=" string | "exists"]
//   position    := "leaf" | "root" | "anchor" | integer
// Strings are double-quoted; \" is the only escape. "and" binds tighter than
// "or". A value type, immutable after compile, safe to share between threads.
class CodeRequirement final {
 public:
  // Compiles `text`; every malformed text gives its status, never a partial
  // requirement.
  [[nodiscard]] static std::expected<CodeRequirement, RequirementStatus> compile(
      std::string_view text);

  // `identifier "X"` holds when the identity's identifier is exactly X.
  // Anchor and certificate clauses never hold: no certificate chain exists
  // here, so a requirement that needs one refuses every program.
  [[nodiscard]] bool isSatisfiedBy(const CodeIdentity& identity) const;

 private:
  // Postfix program: operands push a truth value, operators pop theirs.
  enum class Op : std::uint8_t { matchIdentifier, never, negate, both, either };
  struct Step {
    Op op;
    std::uint32_t operand;  // index into identifiers_ for matchIdentifier
  };
  friend class RequirementParser;

  CodeRequirement() = default;

  std::vector<Step> program_;
  std::vector<std::string> identifiers_;
};

}  // namespace kelmarind::platform::linux
