#include "platform/page_arena.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace kelmarind::platform {
namespace {

bool isAligned(const void* p, std::size_t alignment) {
  return reinterpret_cast<std::uintptr_t>(p) % alignment == 0;
}

TEST(PageArenaTest, HandsOutAlignedDisjointBlocksAcrossChunks) {
  PageArena arena;
  struct Block {
    char* data;
    std::size_t size;
  };
  std::vector<Block> blocks;
  // Sizes that fill a chunk unevenly, then one larger than any chunk.
  const std::size_t sizes[] = {1, 24, 4096, 3 << 20, 7, 40 << 20, 100 << 20, 16};
  const std::size_t alignments[] = {1, 8, 64, 4096};
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      const std::size_t alignment = alignments[i % std::size(alignments)];
      auto* data = static_cast<char*>(arena.allocate(sizes[i], alignment));
      ASSERT_TRUE(isAligned(data, alignment));
      // Both ends are enough to see overlaps without touching every page.
      data[0] = data[sizes[i] - 1] = static_cast<char>(blocks.size());
      blocks.push_back({data, sizes[i]});
    }
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].data[0], static_cast<char>(i)) << i;
    EXPECT_EQ(blocks[i].data[blocks[i].size - 1], static_cast<char>(i)) << i;
  }
  std::sort(blocks.begin(), blocks.end(), [](Block a, Block b) { return a.data < b.data; });
  for (std::size_t i = 1; i < blocks.size(); ++i) {
    EXPECT_LE(blocks[i - 1].data + blocks[i - 1].size, blocks[i].data) << i;
  }
}

TEST(PageArenaTest, RewindReusesWhatWasAllocatedAfterTheMark) {
  PageArena arena;
  std::pmr::string kept("kept beyond any small-string buffer", &arena);
  const PageArena::Mark mark = arena.mark();
  void* first = arena.allocate(1000, 8);
  (void)arena.allocate(70 << 20, 8);  // forces a second chunk
  arena.rewind(mark);
  EXPECT_EQ(arena.allocate(1000, 8), first);
  (void)arena.allocate(70 << 20, 8);
  EXPECT_EQ(kept, "kept beyond any small-string buffer");
}

}  // namespace
}  // namespace kelmarind::platform
