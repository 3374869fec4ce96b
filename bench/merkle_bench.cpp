// merkle_root over a record list against the raw SHA-256 work of the same
// tree: one 33-byte leaf digest per record and one 65-byte digest per inner
// node, through the benchmarks' raw SHA-256. Both are timed in every iteration,
// so the ratio counter compares figures from the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "bench_support.hpp"
#include "kelvora/merkle.hpp"

namespace {

using kelvora::bench::Clock;

std::vector<kelvora::EvolutionRecord> records_of(std::size_t n) {
  std::vector<kelvora::EvolutionRecord> records(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t b = 0; b < 8; ++b) {
      records[i].chain_hash.bytes[b] = static_cast<std::uint8_t>(i >> (8 * b));
    }
  }
  return records;
}

// The digests alone: no tree, no copies, inputs rewritten in place.
void raw_tree_digests(std::size_t leaves, kelvora::bench::RawSha256& sha256) {
  const std::size_t inner = std::bit_ceil(std::max<std::size_t>(leaves, 2)) - 1;
  std::array<char, 65> input{};
  for (std::size_t i = 0; i < leaves + inner; ++i) {
    const std::size_t size = i < leaves ? 33 : 65;
    input[1] = static_cast<char>(i);
    const kelvora::Hash out = sha256(std::string_view(input.data(), size));
    input[2] = static_cast<char>(input[2] ^ out.bytes[0]);
  }
  benchmark::DoNotOptimize(input);
}

void BM_MerkleRoot(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<kelvora::EvolutionRecord> records = records_of(n);
  kelvora::bench::RawSha256 sha256;
  double tree_seconds = 0;
  double raw_seconds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    raw_tree_digests(n, sha256);
    const auto t1 = Clock::now();
    const kelvora::Hash root = kelvora::MerkleTree::from_records(records).root;
    const auto t2 = Clock::now();
    benchmark::DoNotOptimize(root);
    raw_seconds += kelvora::bench::seconds(t0, t1);
    const double tree = kelvora::bench::seconds(t1, t2);
    tree_seconds += tree;
    state.SetIterationTime(tree);
  }
  state.counters["raw_sha256_ms"] =
      benchmark::Counter(raw_seconds * 1e3 / static_cast<double>(state.iterations()));
  state.counters["ratio_to_raw_sha256"] = benchmark::Counter(tree_seconds / raw_seconds);
}
BENCHMARK(BM_MerkleRoot)->Arg(1'000)->Arg(100'000)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_VerifyProof(benchmark::State& state) {
  const auto tree =
      kelvora::MerkleTree::from_records(records_of(static_cast<std::size_t>(state.range(0))));
  const kelvora::MerkleProof proof = *tree.proof(tree.leaf_count / 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(kelvora::merkle::verify_proof(proof, tree.root));
  }
}
BENCHMARK(BM_VerifyProof)->Arg(100'000);

// The levels kept along a growing list: one proof once they are built, and
// the root after one more record, each against the raw SHA-256 work of the
// whole tree over the same list (best of three, timed in the same run).
void BM_KeptLevels(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const bool after_append = state.range(1) != 0;
  const std::vector<kelvora::EvolutionRecord> records = records_of(n + 1);
  kelvora::bench::RawSha256 sha256;
  double raw_seconds = 0;
  for (int round = 0; round < 3; ++round) {
    const auto t0 = Clock::now();
    raw_tree_digests(n, sha256);
    const double raw = kelvora::bench::seconds(t0, Clock::now());
    raw_seconds = round == 0 ? raw : std::min(raw_seconds, raw);
  }
  kelvora::MerkleLevels levels;
  benchmark::DoNotOptimize(levels.root(std::span(records).first(n)));
  double kept_seconds = 0;
  std::size_t index = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (after_append) {
      benchmark::DoNotOptimize(levels.root(records));
    } else {
      index = (index + 7919) % n;
      benchmark::DoNotOptimize(levels.proof(std::span(records).first(n), index));
    }
    const double kept = kelvora::bench::seconds(t0, Clock::now());
    kept_seconds += kept;
    state.SetIterationTime(kept);
    // Back to n records for the next round.
    if (after_append) levels.truncate(n);
  }
  state.counters["raw_sha256_ms"] = benchmark::Counter(raw_seconds * 1e3);
  state.counters["ratio_to_raw_sha256"] =
      benchmark::Counter(kept_seconds / static_cast<double>(state.iterations()) / raw_seconds);
  state.counters["kept_nodes_per_record"] =
      benchmark::Counter(static_cast<double>(levels.node_count()) / static_cast<double>(n));
}
BENCHMARK(BM_KeptLevels)
    ->ArgNames({"records", "after_append"})
    ->Args({100'000, 0})
    ->Args({100'000, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
