#include "walk/coalesce.h"

#include <gtest/gtest.h>

#include <limits>

namespace kelmarind::walk {
namespace {

PrivilegedNode file(std::int64_t size, std::string name = "f") {
  return {std::move(name), "/r/f", false, size, 0, 1, 1.0, false, {}};
}

PrivilegedNode folder(std::int64_t size, std::int64_t folders, std::int64_t files) {
  return {"d", "/r/d", true, size, folders, files, 2.0, false, {file(size)}};
}

std::vector<std::int64_t> sizesOf(const std::vector<PrivilegedNode>& nodes) {
  std::vector<std::int64_t> out;
  for (const PrivilegedNode& node : nodes) out.push_back(node.allocatedSize);
  return out;
}

struct Row {
  std::vector<std::int64_t> sizes;
  std::vector<std::int64_t> expectedSizes;  // the aggregate, if any, last
  std::string aggregateName;                // empty: nothing merged
};

TEST(CoalesceTest, MergesOnlyWhenTwoEntriesAreBelowTheThreshold) {
  const Row rows[] = {
      {{}, {}, ""},
      {{5}, {5}, ""},
      {{0, 0, 0}, {0, 0, 0}, ""},                     // total 0: untouched
      {{996, 2, 1, 1}, {996, 2, 2}, "2 more items"},  // 2 equals the threshold
      {{999, 1}, {999, 1}, ""},                       // one small entry stays
      {{1, 5000, 0, 3}, {5000, 4}, "3 more items"},   // order kept, aggregate last
      {{0, 100000, 0}, {100000, 0}, "2 more items"},
  };
  for (const Row& row : rows) {
    std::vector<PrivilegedNode> input;
    for (std::int64_t size : row.sizes) input.push_back(file(size));
    const auto out = coalesceSmallEntries(input);
    EXPECT_EQ(sizesOf(out), row.expectedSizes) << ::testing::PrintToString(row.sizes);
    if (row.aggregateName.empty()) {
      EXPECT_EQ(out, input);
      continue;
    }
    const PrivilegedNode& aggregate = out.back();
    EXPECT_EQ(aggregate.name, row.aggregateName);
    EXPECT_TRUE(aggregate.isAggregate);
    EXPECT_FALSE(aggregate.isDirectory);
    EXPECT_EQ(aggregate.path, "");
    EXPECT_FALSE(aggregate.modificationDate);
    EXPECT_TRUE(aggregate.children.empty());
    EXPECT_EQ(aggregate.fileCount, static_cast<std::int64_t>(row.sizes.size() - out.size() + 1));
  }
}

TEST(CoalesceTest, AggregateCarriesWholeSubtreesAndKeepsParentSums) {
  std::vector<PrivilegedNode> input{folder(1, 7, 30), file(10'000), folder(0, 1, 0), file(2)};
  const auto out = coalesceSmallEntries(input);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].allocatedSize, 10'000);
  EXPECT_EQ(out[1].name, "3 more items");
  EXPECT_EQ(out[1].allocatedSize, 3);
  EXPECT_EQ(out[1].folderCount, 8);
  EXPECT_EQ(out[1].fileCount, 31);
}

TEST(CoalesceTest, ThousandEqualEntriesBecomeOneAggregate) {
  const auto out = coalesceSmallEntries(std::vector<PrivilegedNode>(1000, file(4096)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "1,000 more items");
  EXPECT_EQ(out[0].allocatedSize, 4096 * 1000);
  EXPECT_EQ(out[0].fileCount, 1000);
}

TEST(CoalesceTest, GroupsCountsInThousandsWhateverTheLocale) {
  const std::pair<std::int64_t, const char*> rows[] = {
      {0, "0"},
      {999, "999"},
      {1000, "1,000"},
      {1234567, "1,234,567"},
      {100000, "100,000"},
      {-1234, "-1,234"},
      {std::numeric_limits<std::int64_t>::max(), "9,223,372,036,854,775,807"},
  };
  for (const auto& [count, text] : rows) EXPECT_EQ(groupedCount(count), text);
}

}  // namespace
}  // namespace kelmarind::walk
