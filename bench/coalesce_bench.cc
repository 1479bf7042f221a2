// Merging one directory's small entries, by list length and size mix. Only
// the call is timed: copying the input in and freeing the result are not.
#include <benchmark/benchmark.h>

#include <chrono>

#include "bench/synthetic_nodes.h"
#include "walk/coalesce.h"

namespace kelmarind::bench {
namespace {

// Args: entries in the list, SizeMix.
void BM_CoalesceSmallEntries(benchmark::State& state) {
  const auto leaves =
      makeLeaves(static_cast<std::size_t>(state.range(0)), static_cast<SizeMix>(state.range(1)));
  std::size_t survivors = 0;
  for (auto _ : state) {
    std::pmr::vector<walk::PrivilegedNode> input = leaves;
    const auto start = std::chrono::steady_clock::now();
    std::pmr::vector<walk::PrivilegedNode> output = walk::coalesceSmallEntries(std::move(input));
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    survivors = output.size();
    benchmark::DoNotOptimize(output.data());
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
