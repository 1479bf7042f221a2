#include "walk/coalesce.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory_resource>
#include <tuple>
#include <vector>

namespace kelmarind::walk {
namespace {

// A file, or a directory standing for `folders` directories and `files` files.
CompactNode entry(std::int64_t size, std::int64_t folders = 0, std::int64_t files = 1) {
  return {.text = "e",
          .nameSize = 1,
          .flags = folders > 0 ? std::uint8_t{CompactNode::directoryFlag} : std::uint8_t{0},
          .allocatedSize = size,
          .folderCount = folders,
          .fileCount = files};
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
    std::pmr::monotonic_buffer_resource memory;
    std::vector<CompactNode> input;
    input.reserve(row.sizes.size());
    for (std::int64_t size : row.sizes) input.push_back(entry(size));
    std::vector<std::int64_t> sizes;
    for (const CompactNode& node : coalesceSmallEntries(input, memory)) {
      sizes.push_back(node.allocatedSize);
    }
    EXPECT_EQ(sizes, row.expected) << ::testing::PrintToString(row.sizes);
  }
}

// Survivors are what `keep` makes of them; the aggregate is made apart.
TEST(CoalesceTest, AggregateIsLastAndCarriesWholeSubtrees) {
  std::pmr::monotonic_buffer_resource memory;
  const std::vector<CompactNode> input = {entry(1, 7, 30), entry(10'000), entry(0, 1, 0), entry(2),
                                          entry(20'000)};
  const auto out = coalesceSmallEntries(input, memory, [](CompactNode node) {
    node.date = 9.0;
    return node;
  });
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(std::tuple(out[0].allocatedSize, out[1].allocatedSize, out[1].date),
            std::tuple(10'000, 20'000, 9.0));
  const CompactNode& aggregate = out[2];
  EXPECT_EQ(std::tuple(aggregate.name(), aggregate.isAggregate(), aggregate.allocatedSize,
                       aggregate.folderCount, aggregate.fileCount, aggregate.date),
            std::tuple("3 more items", true, 3, 8, 31, 0.0));
  EXPECT_EQ(aggregate.modificationDate(), std::nullopt);
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
