#include "platform/linux/code_requirement.h"

#include <string>

#include <gtest/gtest.h>

namespace kelmarind::platform::linux {
namespace {

const std::string teamForm =
    R"(identifier "com.kelmarind.app" and anchor apple generic and certificate leaf[subject.OU] = ")";

TEST(CodeRequirementTest, CompilesOnlyWellFormedTexts) {
  using enum RequirementStatus;
  const std::string deepest = std::string(maxRequirementDepth, '!') + R"(identifier "a")";
  const std::string tooDeep = std::string(maxRequirementDepth + 1, '(') + R"(identifier "a")" +
                              std::string(maxRequirementDepth + 1, ')');
  const struct {
    std::string text;
    RequirementStatus status;
  } rows[] = {
      {R"(identifier "com.kelmarind.app")", ok},
      {teamForm + "ABCDE12345\"", ok},
      {R"((identifier = "a") or !(anchor apple))", ok},
      {R"(cert root[subject.CN] exists and certificate -1[x])", ok},
      {R"(identifier "a\"b")", ok},
      {deepest, ok},
      {"", unexpectedEnd},
      {R"(identifier "com.kelmarind.app)", unterminatedString},
      {R"(identifier "a\)", unterminatedString},
      {R"(identifier "a\nb")", badEscape},
      {R"(identifier "a" and)", unexpectedEnd},
      {R"((identifier "a")", unexpectedEnd},
      {R"(identifier "a" "b")", trailingText},
      {R"(identifier "a"))", trailingText},
      {R"(info [x] = "a")", unknownClause},
      {"identifier a", unexpectedToken},
      {"certificate middle[x]", unexpectedToken},
      {R"(identifier "a" & identifier "b")", unexpectedToken},
      // A team identifier holding a quote breaks the team form apart.
      {teamForm + "AB\"CD\"", trailingText},
      {teamForm + "\"\"", unterminatedString},
      {tooDeep, nestedTooDeeply},
      {"identifier \"" + std::string(maxRequirementLength, 'a') + "\"", tooLong},
  };
  for (const auto& row : rows) {
    const auto compiled = CodeRequirement::compile(row.text);
    EXPECT_EQ(compiled ? ok : compiled.error(), row.status) << row.text;
  }
}

TEST(CodeRequirementTest, HoldsOnlyForTheNamedIdentifier) {
  const struct {
    std::string text;
    bool isSatisfied;
  } rows[] = {
      {R"(identifier "com.kelmarind.app")", true},
      {R"(identifier "com.kelmarind")", false},
      {"anchor apple generic", false},
      {R"(certificate leaf[subject.OU] = "ABCDE12345")", false},
      {teamForm + "ABCDE12345\"", false},
      {"!anchor apple generic", true},
      {R"(anchor apple or identifier "com.kelmarind.app")", true},
      {R"(identifier "com.kelmarind.app" or anchor apple and identifier "x")", true},
      {R"((identifier "com.kelmarind.app" or anchor apple) and identifier "x")", false},
      {R"(identifier "com.kelmarind.app\"")", false},
  };
  for (const auto& row : rows) {
    const auto requirement = CodeRequirement::compile(row.text);
    ASSERT_TRUE(requirement.has_value()) << row.text;
    EXPECT_EQ(requirement->isSatisfiedBy({"com.kelmarind.app"}), row.isSatisfied) << row.text;
  }
  EXPECT_TRUE(CodeRequirement::compile(R"(identifier "a\"b")")->isSatisfiedBy({"a\"b"}));
}

}  // namespace
}  // namespace kelmarind::platform::linux
