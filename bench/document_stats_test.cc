#include "bench/document_stats.h"

#include <gtest/gtest.h>

#include <optional>

namespace kelmarind::bench {
namespace {

struct Row {
  const char* label;
  const char* json;
  std::optional<DocumentStats> expected;  // none: reading must fail
};

constexpr const char* leafDocument =
    R"({"name":"f","path":"\/f","isDirectory":false,"allocatedSize":4096,"folderCount":0,)"
    R"("fileCount":1,"isAggregate":false,"children":[]})";

constexpr const char* nestedDocument =
    R"({"name":"r","path":"\/r","isDirectory":true,"allocatedSize":12,"folderCount":3,)"
    R"("fileCount":4,"isAggregate":false,"extra":1,"children":[)"
    R"({"name":"d","path":"\/r\/d","isDirectory":true,"allocatedSize":10,"folderCount":2,)"
    R"("fileCount":1,"isAggregate":false,"children":[)"
    R"({"name":"e","path":"\/r\/d\/e","isDirectory":true,"allocatedSize":0,"folderCount":1,)"
    R"("fileCount":0,"isAggregate":false,"children":[]},)"
    R"({"name":"g","path":"\/r\/d\/g","isDirectory":false,"allocatedSize":10,"folderCount":0,)"
    R"("fileCount":1,"isAggregate":false,"children":[]}]},)"
    R"({"name":"3 more items","path":"","isDirectory":false,"allocatedSize":2,"folderCount":0,)"
    R"("fileCount":3,"isAggregate":true,"children":[]}]})";

class DocumentStatsTest : public ::testing::TestWithParam<Row> {};

TEST_P(DocumentStatsTest, CountsNodesOrRejectsTheDocument) {
  const auto stats = documentStats(GetParam().json);
  if (const auto& expected = GetParam().expected) {
    ASSERT_TRUE(stats.has_value()) << stats.error();
    EXPECT_EQ(*stats, *expected);
  } else {
    EXPECT_FALSE(stats.has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Documents, DocumentStatsTest,
    ::testing::Values(Row{"leaf", leafDocument, DocumentStats{0, 1, 4096, 1, 0}},
                      Row{"nested", nestedDocument, DocumentStats{3, 4, 12, 5, 1}},
                      Row{"nodeWithoutChildren",
                          R"({"folderCount":1,"fileCount":0,"allocatedSize":0,)"
                          R"("isAggregate":false})",
                          std::nullopt},
                      Row{"childNotAnObject",
                          R"({"folderCount":1,"fileCount":0,"allocatedSize":0,)"
                          R"("isAggregate":false,"children":[7]})",
                          std::nullopt},
                      Row{"rootWithoutSums", R"({"isAggregate":false,"children":[]})",
                          std::nullopt},
                      Row{"rootNotAnObject", "[]", std::nullopt},
                      Row{"truncated", R"({"folderCount":1,"fileCount":0,"allo)", std::nullopt}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.label); });

}  // namespace
}  // namespace kelmarind::bench
