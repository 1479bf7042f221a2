#include "platform/logger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelmarind::platform {
namespace {

struct FormatRow {
  std::string name;
  std::string format;
  std::vector<std::string_view> arguments;
  std::string expected;
};

void PrintTo(const FormatRow& row, std::ostream* out) { *out << row.name; }

class FormatLogMessageTest : public testing::TestWithParam<FormatRow> {};

TEST_P(FormatLogMessageTest, SubstitutesPublicArgumentsInOrder) {
  EXPECT_EQ(formatLogMessage(GetParam().format, GetParam().arguments), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FormatLogMessageTest,
    testing::Values(FormatRow{"One",
                              "Refused ineligible path: %{public}s",
                              {"/a b"},
                              "Refused ineligible path: /a b"},
                    FormatRow{"TwoInOrder", "%{public}s-%{public}s!", {"x", "y"}, "x-y!"},
                    FormatRow{"ArgumentIsNotAFormat",
                              "p: %{public}s, %{public}s",
                              {"%{public}s %d %%", "2"},
                              "p: %{public}s %d %%, 2"},
                    FormatRow{"OtherPercentsStayLiteral",
                              "100% %d %s %{private}s",
                              {"x"},
                              "100% %d %s %{private}s"},
                    FormatRow{"MissingArgumentLeavesPlaceholder",
                              "%{public}s and %{public}s",
                              {"a"},
                              "a and %{public}s"},
                    FormatRow{"ExtraArgumentDropped", "only %{public}s", {"a", "b"}, "only a"}),
    [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace kelmarind::platform
