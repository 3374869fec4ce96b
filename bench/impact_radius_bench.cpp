// Impact radius on states of N concepts and 2N relations (N = 100,000, and
// 1,000,000 with KELVORA_BENCH_LARGE=1 in the environment): per concept one DerivesFrom relation
// (the concept derives from an earlier one) and one Supports relation between random concepts.
//
// BM_ImpactSmall: the derivations form groups of 17 concepts, each a binary
// tree under its first concept, so a call from a group's first concept
// reaches 16 concepts. Timed: calls on the state after its first call
// (per_call_us), against that first call, which builds what the state keeps
// (first_call_ms); speedup is their ratio.
// BM_ImpactChain: every concept derives from the one before; a call from the
// first reaches all others. Timed after the first call (first_call_ms);
// ns_per_concept stays flat while the call is linear in what it reaches.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_support.hpp"
#include "kelvora/analysis.hpp"

namespace {

using namespace kelvora;
using kelvora::bench::Clock;
using kelvora::bench::seconds;

constexpr std::size_t kGroup = 17;

struct Fixture {
  KnowledgeState state;
  std::vector<ConceptId> ids;  // by creation
};

// `parent(k)` is the concept k derives from (k > 0).
template <class Parent>
Fixture make_fixture(std::size_t n, Parent parent) {
  std::mt19937_64 rng(n);
  const auto random_uuid = [&] { return bench::seeded_uuid(rng); };
  Fixture f;
  f.ids.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    Concept c;
    c.id = ConceptId{random_uuid()};
    f.ids.push_back(c.id);
    f.state.concepts.insert_or_assign(c.id, Entry<Concept>(std::move(c)));
  }
  for (std::size_t k = 0; k < n; ++k) {
    Relation derived;
    derived.id = RelationId{random_uuid()};
    derived.from_concept = f.ids[k];
    derived.to_concept = f.ids[k == 0 ? n - 1 : parent(k)];
    if (k == 0) derived.relation_type = RelationType::Supports;  // no cycle
    f.state.relations.insert_or_assign(derived.id, Entry<Relation>(std::move(derived)));
    Relation other;
    other.id = RelationId{random_uuid()};
    other.from_concept = f.ids[rng() % n];
    other.to_concept = f.ids[rng() % n];
    other.relation_type = RelationType::Supports;
    f.state.relations.insert_or_assign(other.id, Entry<Relation>(std::move(other)));
  }
  return f;
}

// Groups of kGroup concepts: the first of each derives from concept 0, the
// others form a binary tree under it.
Fixture groups(std::size_t n) {
  return make_fixture(n, [](std::size_t k) {
    const std::size_t first = k / kGroup * kGroup;
    const std::size_t j = k - first;
    return j == 0 ? 0 : first + (j - 1) / 2;
  });
}

void BM_ImpactSmall(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const Fixture f = groups(n);
  const ConceptId root = f.ids[kGroup];
  double first = 0, later = 0;
  std::size_t calls = 0, reached = 0;
  for (auto _ : state) {
    const KnowledgeState fresh = f.state;  // a copy keeps nothing of what was built
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(analysis::impact_radius(fresh, root));
    const auto t1 = Clock::now();
    for (int r = 0; r < 100; ++r) {
      reached = analysis::impact_radius(fresh, root).downstream_concepts.size();
    }
    const auto t2 = Clock::now();
    first += seconds(t0, t1);
    later += seconds(t1, t2);
    calls += 100;
    state.SetIterationTime(seconds(t1, t2));
  }
  const auto runs = static_cast<double>(state.iterations());
  state.counters["reached"] = benchmark::Counter(static_cast<double>(reached));
  state.counters["first_call_ms"] = benchmark::Counter(first * 1e3 / runs);
  state.counters["per_call_us"] = benchmark::Counter(later * 1e6 / static_cast<double>(calls));
  state.counters["speedup"] =
      benchmark::Counter(first / (later / static_cast<double>(calls)) / runs);
}
// The states of a million concepts take about 1.5 GB and 20 s to make: they
// are measured when KELVORA_BENCH_LARGE is set, so the smoke run stays small.
void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(100'000);
  if (std::getenv("KELVORA_BENCH_LARGE") != nullptr) b->Arg(1'000'000);
}

// Few iterations: each makes the first call again.
BENCHMARK(BM_ImpactSmall)
    ->Apply(sizes)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void BM_ImpactChain(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const Fixture f = make_fixture(n, [](std::size_t k) { return k - 1; });
  const auto first = Clock::now();
  std::size_t reached = analysis::impact_radius(f.state, f.ids[0]).downstream_concepts.size();
  const double first_call = seconds(first, Clock::now());
  double total = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    reached = analysis::impact_radius(f.state, f.ids[0]).downstream_concepts.size();
    const auto t1 = Clock::now();
    total += seconds(t0, t1);
    state.SetIterationTime(seconds(t0, t1));
  }
  const auto runs = static_cast<double>(state.iterations());
  state.counters["reached"] = benchmark::Counter(static_cast<double>(reached));
  state.counters["first_call_ms"] = benchmark::Counter(first_call * 1e3);
  state.counters["ns_per_concept"] =
      benchmark::Counter(total * 1e9 / runs / static_cast<double>(reached));
}
BENCHMARK(BM_ImpactChain)
    ->Apply(sizes)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
