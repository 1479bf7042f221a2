#include "walk/coalesce.h"

#include <gtest/gtest.h>

#include <limits>

namespace kelmarind::walk {
namespace {

// A file, or a directory standing for `folders` directories and `files` files.
PrivilegedNode entry(std::int64_t size, std::int64_t folders = 0, std::int64_t files = 1) {
  return {"e", "/r/e", folders > 0, size, folders, files, 1.0, false, {}};
}

TEST(CoalesceTest, MergesOnlyWhenTwoEntriesAreBelowTheThreshold) {
  struct Row {
    std::vector<std::int64_t> sizes;
    std::vector<std::int64_t> expected;  // survivors in order, then the aggregate
  };
  const Row rows[] = {
      {{}, {}},
      {{5}, {5}},
      {{0, 0, 0}, {0, 0, 0}},         // total 0: untouched
      {{996, 2, 1, 1}, {996, 2, 2}},  // 2 equals the threshold and stays
      {{999, 1}, {999, 1}},           // a single small entry stays in place
      {{1, 5000, 0, 3}, {5000, 4}},
  };
  for (const Row& row : rows) {
    std::pmr::vector<PrivilegedNode> input;
    for (std::int64_t size : row.sizes) input.push_back(entry(size));
    const auto out = coalesceSmallEntries(input);
    std::vector<std::int64_t> sizes;
    for (const PrivilegedNode& node : out) sizes.push_back(node.allocatedSize);
    EXPECT_EQ(sizes, row.expected) << ::testing::PrintToString(row.sizes);
    if (out.size() == input.size()) {
      EXPECT_EQ(out, input);
    }
  }
}

TEST(CoalesceTest, AggregateIsLastAndCarriesWholeSubtrees) {
  const auto out = coalesceSmallEntries(
      {entry(1, 7, 30), entry(10'000), entry(0, 1, 0), entry(2), entry(20'000)});
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[1].allocatedSize, 20'000);
  EXPECT_EQ(out[2], (PrivilegedNode{"3 more items", "", false, 3, 8, 31, std::nullopt, true, {}}));
}

TEST(CoalesceTest, GroupsCountsInThousandsWhateverTheLocale) {
  const std::pair<std::int64_t, const char*> rows[] = {
      {0, "0"},
      {999, "999"},
      {1000, "1,000"},
      {100000, "100,000"},
      {1234567, "1,234,567"},
      {-1234, "-1,234"},
      {std::numeric_limits<std::int64_t>::max(), "9,223,372,036,854,775,807"},
  };
  for (const auto& [count, text] : rows) EXPECT_EQ(groupedCount(count), text);
}

}  // namespace
}  // namespace kelmarind::walk
