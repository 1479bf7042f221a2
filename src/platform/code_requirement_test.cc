#include "platform/code_requirement.h"

#include <string>

#include <gtest/gtest.h>

namespace kelmarind::platform {
namespace {

constexpr std::string_view teamForm =
    R"(identifier "com.kelmarind.app" and anchor apple generic and certificate leaf[subject.OU] = ")";

struct CompileCase {
  std::string name;
  std::string text;
  RequirementStatus status;
};

class CodeRequirementCompileTest : public ::testing::TestWithParam<CompileCase> {};

TEST_P(CodeRequirementCompileTest, AnswersStatus) {
  EXPECT_EQ(statusOf(GetParam().text), static_cast<int>(GetParam().status)) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CodeRequirementCompileTest,
    ::testing::Values(
        CompileCase{"Fallback", R"(identifier "com.kelmarind.app")", RequirementStatus::ok},
        CompileCase{"TeamForm", std::string(teamForm) + "ABCDE12345\"", RequirementStatus::ok},
        CompileCase{"EqualsAndParentheses", R"((identifier = "a") or !(anchor apple))",
                    RequirementStatus::ok},
        CompileCase{"DoubleNegation", R"(!!identifier "a")", RequirementStatus::ok},
        CompileCase{"CertificateForms", R"(cert root[subject.CN] exists and certificate -1[x])",
                    RequirementStatus::ok},
        CompileCase{"EscapedQuote", R"(identifier "a\"b")", RequirementStatus::ok},
        CompileCase{"Empty", "", RequirementStatus::unexpectedEnd},
        CompileCase{"UnbalancedQuote", R"(identifier "com.kelmarind.app)",
                    RequirementStatus::unterminatedString},
        CompileCase{"EscapeAtEnd", R"(identifier "a\)", RequirementStatus::unterminatedString},
        CompileCase{"OtherEscape", R"(identifier "a\nb")", RequirementStatus::badEscape},
        CompileCase{"DanglingAnd", R"(identifier "a" and)", RequirementStatus::unexpectedEnd},
        CompileCase{"DanglingNot", "!", RequirementStatus::unexpectedEnd},
        CompileCase{"TrailingTokens", R"(identifier "a" "b")", RequirementStatus::trailingText},
        CompileCase{"UnopenedParenthesis", R"(identifier "a"))", RequirementStatus::trailingText},
        CompileCase{"UnclosedParenthesis", R"((identifier "a")", RequirementStatus::unexpectedEnd},
        CompileCase{"UnknownClause", R"(info [x] = "a")", RequirementStatus::unknownClause},
        CompileCase{"WrongCase", R"(Identifier "a")", RequirementStatus::unknownClause},
        CompileCase{"UnquotedIdentifier", "identifier a", RequirementStatus::unexpectedToken},
        CompileCase{"AnchorOfOther", "anchor other", RequirementStatus::unexpectedToken},
        CompileCase{"BadCertificatePosition", "certificate middle[x]",
                    RequirementStatus::unexpectedToken},
        CompileCase{"StrayByte", R"(identifier "a" & identifier "b")",
                    RequirementStatus::unexpectedToken},
        CompileCase{"TeamWithQuote", std::string(teamForm) + "AB\"CD\"",
                    RequirementStatus::trailingText},
        CompileCase{"TeamOfOneQuote", std::string(teamForm) + "\"\"",
                    RequirementStatus::unterminatedString},
        CompileCase{"TeamWithTwoQuotes", std::string(teamForm) + "A\"B\"\"",
                    RequirementStatus::trailingText},
        CompileCase{"DeepestNesting", std::string(maxRequirementDepth, '!') + R"(identifier "a")",
                    RequirementStatus::ok},
        CompileCase{"TooDeep",
                    std::string(maxRequirementDepth + 1, '(') + R"(identifier "a")" +
                        std::string(maxRequirementDepth + 1, ')'),
                    RequirementStatus::nestedTooDeeply},
        CompileCase{"TooLong", "identifier \"" + std::string(maxRequirementLength, 'a') + "\"",
                    RequirementStatus::tooLong}),
    [](const auto& row) { return row.param.name; });

struct EvaluationCase {
  std::string name;
  std::string text;
  bool isSatisfied;
};

class CodeRequirementEvaluationTest : public ::testing::TestWithParam<EvaluationCase> {};

TEST_P(CodeRequirementEvaluationTest, JudgesTheClientIdentity) {
  const auto requirement = CodeRequirement::compile(GetParam().text);
  ASSERT_TRUE(requirement.has_value()) << static_cast<int>(requirement.error());
  EXPECT_EQ(requirement->isSatisfiedBy(CodeIdentity{"com.kelmarind.app"}), GetParam().isSatisfied);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CodeRequirementEvaluationTest,
    ::testing::Values(
        EvaluationCase{"SameIdentifier", R"(identifier "com.kelmarind.app")", true},
        EvaluationCase{"OtherIdentifier", R"(identifier "com.kelmarind.helper")", false},
        EvaluationCase{"PrefixIsNotEnough", R"(identifier "com.kelmarind")", false},
        EvaluationCase{"Anchor", "anchor apple generic", false},
        EvaluationCase{"Certificate", R"(certificate leaf[subject.OU] = "ABCDE12345")", false},
        EvaluationCase{"TeamForm", std::string(teamForm) + "ABCDE12345\"", false},
        EvaluationCase{"NegatedAnchor", "!anchor apple generic", true},
        EvaluationCase{"NegatedMatch", R"(!identifier "com.kelmarind.app")", false},
        EvaluationCase{"OrRescues", R"(anchor apple or identifier "com.kelmarind.app")", true},
        EvaluationCase{"AndBindsTighter",
                       R"(identifier "com.kelmarind.app" or anchor apple and identifier "x")",
                       true},
        EvaluationCase{"ParenthesesRegroup",
                       R"((identifier "com.kelmarind.app" or anchor apple) and identifier "x")",
                       false},
        EvaluationCase{"EscapedQuoteIsPartOfTheText", R"(identifier "com.kelmarind.app\"")",
                       false}),
    [](const auto& row) { return row.param.name; });

TEST(CodeRequirementTest, EscapedQuoteMatchesAQuoteInTheIdentifier) {
  const auto requirement = CodeRequirement::compile(R"(identifier "a\"b")");
  ASSERT_TRUE(requirement.has_value());
  EXPECT_TRUE(requirement->isSatisfiedBy(CodeIdentity{"a\"b"}));
  EXPECT_FALSE(requirement->isSatisfiedBy(CodeIdentity{"a\\\"b"}));
}

}  // namespace
}  // namespace kelmarind::platform
