// Merging one directory's small entries, by list length and size mix. Only
// the call is timed: rewinding the arena it allocates from is not.
#include <benchmark/benchmark.h>

#include <chrono>
#include <span>
#include <vector>

#include "bench/synthetic_nodes.h"
#include "platform/page_arena.h"
#include "walk/coalesce.h"

namespace kelmarind::bench {
namespace {

// Args: entries in the list, SizeMix.
void BM_CoalesceSmallEntries(benchmark::State& state) {
  const auto leaves =
      makeLeaves(static_cast<std::size_t>(state.range(0)), static_cast<SizeMix>(state.range(1)));
  // The walk's records of the same entries, coalesced into an arena as the
  // walk does it.
  std::vector<walk::CompactNode> input;
  input.reserve(leaves.size());
  for (const walk::PrivilegedNode& leaf : leaves) {
    input.push_back({.text = leaf.name.data(),
                     .nameSize = static_cast<std::uint32_t>(leaf.name.size()),
                     .allocatedSize = leaf.allocatedSize,
                     .fileCount = 1});
  }
  platform::PageArena memory;
  const platform::PageArena::Mark empty = memory.mark();
  std::size_t survivors = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const std::span<walk::CompactNode> output = walk::coalesceSmallEntries(input, memory);
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    survivors = output.size();
    benchmark::DoNotOptimize(output.data());
    memory.rewind(empty);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["survivors"] = static_cast<double>(survivors);
}
BENCHMARK(BM_CoalesceSmallEntries)
    ->ArgsProduct({{8, 1000, 100000},
                   {static_cast<int>(SizeMix::uniform), static_cast<int>(SizeMix::tinyMajority),
                    static_cast<int>(SizeMix::heavyTail)}})
    ->UseManualTime();

}  // namespace
}  // namespace kelmarind::bench
