// Writing and reading the document for trees of known shape: throughput in
// nodes and in document bytes per second.
#include <benchmark/benchmark.h>

#include "bench/synthetic_nodes.h"
#include "walk/node_json.h"
#include "walk/privileged_walk.h"

namespace kelmarind::bench {
namespace {

using walk::PrivilegedNode;

// `root` is written from `form`: the value itself, or the walk's compact form
// of it, which is what the service writes.
template <typename Form>
void encode(benchmark::State& state, const PrivilegedNode& root, const Form& form) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto document = walk::encodeDocument(form);
    if (!document) {
      state.SkipWithError("encoding failed");
      return;
    }
    bytes = document->size();
    benchmark::DoNotOptimize(document->data());
  }
  state.SetItemsProcessed(state.iterations() * nodeCount(root));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// Args: depth, subdirectories per directory, files per directory.
void BM_EncodeTree(benchmark::State& state) {
  const PrivilegedNode root =
      makeTree(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
               static_cast<int>(state.range(2)));
  encode(state, root, root);
}
BENCHMARK(BM_EncodeTree)->Args({3, 10, 100})->Args({4, 10, 100})->Unit(benchmark::kMillisecond);

void BM_EncodeWalkedTree(benchmark::State& state) {
  const PrivilegedNode root =
      makeTree(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
               static_cast<int>(state.range(2)));
  const walk::WalkedTree tree = walk::WalkedTree::fromValue(root);
  encode(state, root, tree.root());
}
BENCHMARK(BM_EncodeWalkedTree)
    ->Args({3, 10, 100})
    ->Args({4, 10, 100})
    ->Unit(benchmark::kMillisecond);

// A chain of directories, one file in each: nesting, not width.
void BM_EncodeDeepChain(benchmark::State& state) {
  const PrivilegedNode root = makeTree(static_cast<int>(state.range(0)), 1, 1);
  encode(state, root, root);
}
BENCHMARK(BM_EncodeDeepChain)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_EncodeWalkedDeepChain(benchmark::State& state) {
  const PrivilegedNode root = makeTree(static_cast<int>(state.range(0)), 1, 1);
  const walk::WalkedTree tree = walk::WalkedTree::fromValue(root);
  encode(state, root, tree.root());
}
BENCHMARK(BM_EncodeWalkedDeepChain)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_DecodeTree(benchmark::State& state) {
  const auto document = walk::encodeDocument(makeTree(3, 10, 100));
  if (!document) {
    state.SkipWithError("encoding failed");
    return;
  }
  std::int64_t nodes = 0;
  for (auto _ : state) {
    auto root = walk::decodeDocument(*document);
    if (!root) {
      state.SkipWithError("decoding failed");
      return;
    }
    nodes = nodeCount(*root);
  }
  state.SetItemsProcessed(state.iterations() * nodes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document->size()));
}
BENCHMARK(BM_DecodeTree)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelmarind::bench
