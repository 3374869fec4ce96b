// The term lookup of a state of N concepts through its index, against the
// walk over the concepts that finds the same concept (the lookup before the
// index), both timed in the same run; and one apply of a state that carries
// the index along against the same apply of the state without it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kelvora/knowledge_state.hpp"

namespace {

using kelvora::bench::Clock;
using namespace kelvora;

struct Fixture {
  KnowledgeState state;
  std::vector<std::string> terms;  // in identifier order
};

std::unique_ptr<Fixture> make_fixture(std::size_t n) {
  auto f = std::make_unique<Fixture>();
  std::mt19937_64 rng(11);
  for (std::size_t i = 0; i < n; ++i) {
    Concept c;
    c.id = ConceptId::random();
    c.term = "concept term " + std::to_string(10'000'000 + i);  // one length
    c.definition =
        "A definition of the concept, about a hundred bytes long, as a real one would be.";
    c.status = i % 5 == 0 ? ConceptStatus::Superseded : ConceptStatus::Active;
    c.created_at = Timestamp{1'714'557'600 + static_cast<std::int64_t>(i), 0};
    f->state.concepts.insert_or_assign(c.id, Entry<Concept>(std::move(c)));
  }
  for (const auto& [id, entry] : f->state.concepts) {
    if (entry->status == ConceptStatus::Active) f->terms.push_back(entry->term);
  }
  (void)f->state.state_hash();
  return f;
}

const Fixture& fixture(std::size_t n) {
  static std::unique_ptr<Fixture> cached;
  static std::size_t cached_n = 0;
  if (!cached || cached_n != n) {
    cached.reset();
    cached = make_fixture(n);
    cached_n = n;
  }
  return *cached;
}

std::optional<ConceptId> walk(const KnowledgeState& state, std::string_view term) {
  for (const auto& [id, entry] : state.concepts) {
    if (entry->status == ConceptStatus::Active && entry->term == term) return id;
  }
  return std::nullopt;
}

// Lookups of random Active terms, 1,000 per iteration; the walk is timed on
// the last term in
// identifier order (its worst case, and the case of an apply near the end).
void BM_TermLookup(benchmark::State& bench) {
  const Fixture& f = fixture(static_cast<std::size_t>(bench.range(0)));
  const KnowledgeState state = f.state;  // a copy: no index yet
  // The first lookups walk the concepts; the one after them makes the index.
  for (int k = 0; k < 8; ++k) (void)state.find_concept_by_term(f.terms.front());
  const auto build_start = Clock::now();
  (void)state.find_concept_by_term(f.terms.front());
  const double build = bench::seconds(build_start, Clock::now());
  double walk_time = 1e9;  // the best of a few walks
  for (int k = 0; k < 3; ++k) {
    const auto start = Clock::now();
    benchmark::DoNotOptimize(walk(state, f.terms.back()));
    walk_time = std::min(walk_time, bench::seconds(start, Clock::now()));
  }
  // The terms asked for lie one after the other, as a caller's own term is
  // at hand: the time is the lookup's, not that of fetching the term.
  constexpr int kLookups = 1000;
  std::mt19937_64 rng(3);
  std::string queries;
  std::vector<std::string_view> picks;
  for (int k = 0; k < 64 * kLookups; ++k) queries += f.terms[rng() % f.terms.size()];
  for (std::size_t at = 0, k = 0; k < 64 * kLookups; ++k) {
    const std::size_t length = f.terms[0].size();  // all terms of one length: see make_fixture
    picks.emplace_back(queries.data() + at, length);
    at += length;
  }
  std::size_t next = 0;
  double lookups = 0;
  for (auto _ : bench) {
    const auto start = Clock::now();
    for (int k = 0; k < kLookups; ++k) {
      benchmark::DoNotOptimize(state.find_concept_by_term(picks[next]));
      next = (next + 1) % picks.size();
    }
    const double elapsed = bench::seconds(start, Clock::now());
    bench.SetIterationTime(elapsed);
    lookups += elapsed;
  }
  const double lookup = lookups / static_cast<double>(bench.iterations() * kLookups);
  bench.counters["lookup_ns"] = lookup * 1e9;
  bench.counters["walk_us"] = walk_time * 1e6;
  bench.counters["x_walk"] = walk_time / lookup;
  bench.counters["build_ms"] = build * 1e3;
  bench.counters["build_in_walks"] = build / walk_time;
}
BENCHMARK(BM_TermLookup)
    ->Arg(1'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

enum class Kind { Assert, Refine, Retract, Merge };

EvolutionOperation operation_for(Kind kind, const Fixture& f) {
  auto id_of = [&](const std::string& term) { return *walk(f.state, term); };
  switch (kind) {
    case Kind::Assert: {
      Concept c;
      c.id = ConceptId::random();
      c.term = "a fresh term";
      return op::Assert{c};
    }
    case Kind::Refine:
      return op::Refine{id_of(f.terms[1]), "sharper", {}};
    case Kind::Retract:
      return op::Retract{id_of(f.terms[2]), RetractionReason::UserExplicit};
    case Kind::Merge:
      return op::Merge{{id_of(f.terms[3]), id_of(f.terms[4])}, "merged term", "both", {}};
  }
  return op::Retract{};
}

// The same apply, alternately on the state without the index and on the
// state with it (which carries it into the result).
void BM_ApplyCarryingIndex(benchmark::State& bench, Kind kind) {
  const Fixture& f = fixture(static_cast<std::size_t>(bench.range(0)));
  const KnowledgeState plain = f.state;
  const KnowledgeState indexed = f.state;
  (void)plain.state_hash();
  (void)indexed.state_hash();
  for (int k = 0; k < 9; ++k) (void)indexed.find_concept_by_term(f.terms.front());
  const EvolutionOperation operation = operation_for(kind, f);
  const ApplyContext context{Hash::zero(), Timestamp{1'800'000'000, 0},
                             OperationSource::UserExplicit};
  double without = 0;
  double with = 0;
  for (auto _ : bench) {
    auto start = Clock::now();
    benchmark::DoNotOptimize(KnowledgeState::apply(plain, operation, context));
    without += bench::seconds(start, Clock::now());
    start = Clock::now();
    benchmark::DoNotOptimize(KnowledgeState::apply(indexed, operation, context));
    const double elapsed = bench::seconds(start, Clock::now());
    with += elapsed;
    bench.SetIterationTime(elapsed);
  }
  bench.counters["x_without_index"] = with / without;
}

const int kRegistered = [] {
  const std::pair<const char*, Kind> kinds[] = {{"assert", Kind::Assert},
                                                {"refine", Kind::Refine},
                                                {"retract", Kind::Retract},
                                                {"merge", Kind::Merge}};
  for (const auto& [name, kind] : kinds) {
    benchmark::RegisterBenchmark((std::string("BM_ApplyCarryingIndex/") + name).c_str(),
                                 BM_ApplyCarryingIndex, kind)
        ->Arg(1'000)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
  }
  return 0;
}();

}  // namespace
