// One KnowledgeState::apply against the raw SHA-256 of the canonical bytes of
// the state it produces, both timed in the same iteration.
//
// The state holds N concepts, N relations between random concepts and a small
// structure tree, and has been hashed once (as a state kept by a caller has).
// ratio_to_raw_sha256 covers the apply alone; ratio_with_free adds freeing the
// result, which a caller pays when it drops the state. BM_ApplyFloor splits off
// the part no operation avoids: the map copy and the hash of the new state.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "kelvora/knowledge_state.hpp"
#include "kelvora/state_text.hpp"
#include "kelvora/types.hpp"

namespace {

using kelvora::bench::Clock;
using namespace kelvora;

constexpr const char* kWords[] = {"epistemic", "drift",   "belief", "revision", "coherence",
                                  "argument",  "premise", "model",  "evidence", "structure",
                                  "semantic",  "network", "signal", "causal",   "framework",
                                  "tension",   "concept", "graph",  "entropy",  "prior"};

std::string words(std::mt19937_64& rng, std::size_t min_length) {
  std::string out;
  while (out.size() < min_length) {
    out += kWords[rng() % std::size(kWords)];
    out += ' ';
  }
  out.pop_back();
  return out;
}

struct Fixture {
  KnowledgeState state;
  std::vector<ConceptId> ids;  // concepts in creation order
};

Fixture make_fixture(std::size_t n) {
  std::mt19937_64 rng(7);
  Fixture f;
  for (std::size_t i = 0; i < n; ++i) {
    Concept c;
    c.id = ConceptId::random();
    c.term = words(rng, 12) + " " + std::to_string(i);
    c.definition = words(rng, 100) + ".";
    c.confidence = 0.5 + static_cast<double>(rng() % 400) / 1000.0;
    c.created_at = Timestamp{1'714'557'600 + static_cast<std::int64_t>(i), 0};
    c.source_evidence = {{static_cast<std::uint32_t>(i % 50), words(rng, 30)}};
    f.ids.push_back(c.id);
    f.state.concepts.emplace(c.id, Entry<Concept>(std::move(c)));
  }
  for (std::size_t i = 0; i < n; ++i) {
    Relation r;
    r.id = RelationId::random();
    r.from_concept = f.ids[rng() % n];
    r.to_concept = f.ids[rng() % n];
    r.relation_type = static_cast<RelationType>(2 + rng() % 15);  // no DerivesFrom cycles
    r.confidence = 0.75;
    r.evidence = {{static_cast<std::uint32_t>(i % 50), words(rng, 30)}};
    f.state.relations.emplace(r.id, Entry<Relation>(std::move(r)));
  }
  for (std::uint32_t k = 0; k < 20; ++k) {
    StructureNode node;
    node.id = StructureNodeId::random();
    node.title = "Section " + std::to_string(k);
    node.node_type = "section";
    node.position = k;
    for (std::size_t j = 0; j < 5; ++j) node.concept_refs.push_back(f.ids[(k * 5 + j) % n]);
    f.state.structure.emplace(node.id, Entry<StructureNode>(std::move(node)));
  }
  benchmark::DoNotOptimize(f.state.state_hash());
  return f;
}

enum class Kind { Assert, Relate, RelateDerivesFrom, Refine, Reinforce, Retract };

EvolutionOperation operation_for(Kind kind, const Fixture& f) {
  switch (kind) {
    case Kind::Assert: {
      Concept c;
      c.id = ConceptId::random();
      c.term = "A fresh term";
      c.definition = "Asserted during the benchmark.";
      c.created_at = Timestamp{1'800'000'000, 0};
      return op::Assert{c};
    }
    case Kind::Relate:
    case Kind::RelateDerivesFrom: {
      Relation r;
      r.id = RelationId::random();
      r.from_concept = f.ids[1];
      r.to_concept = f.ids[2];
      r.relation_type = kind == Kind::Relate ? RelationType::Supports : RelationType::DerivesFrom;
      r.confidence = 0.9;
      return op::Relate{r};
    }
    case Kind::Refine:
      return op::Refine{f.ids[3], "A sharper definition.", {{7, "turn seven"}}};
    case Kind::Reinforce:
      return op::Reinforce{f.ids[4], {{8, "turn eight"}}};
    case Kind::Retract:
      return op::Retract{f.ids[0], RetractionReason::UserExplicit};  // referenced by a node
  }
  return op::Retract{};
}

// Benchmarks run size by size, so keeping the last fixture builds each once.
const Fixture& fixture(std::size_t n) {
  static std::unique_ptr<Fixture> cached;
  if (!cached || cached->ids.size() != n) {
    cached.reset();
    cached = std::make_unique<Fixture>(make_fixture(n));
  }
  return *cached;
}

void BM_Apply(benchmark::State& state, Kind kind) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  const EvolutionOperation operation = operation_for(kind, f);
  const ApplyContext context{Hash::zero(), Timestamp{1'800'000'000, 0},
                             OperationSource::UserExplicit};
  std::string text;
  {
    auto probe = KnowledgeState::apply(f.state, operation, context);
    if (!probe) {
      state.SkipWithError(probe.error().message().c_str());
      return;
    }
    text = serialization::canonical_serialize(probe->state);
  }
  bench::RawSha256 raw_sha256;
  double raw_seconds = 0;
  double apply_seconds = 0;
  double free_seconds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(raw_sha256(text));
    const auto t1 = Clock::now();
    auto result = KnowledgeState::apply(f.state, operation, context);
    benchmark::DoNotOptimize(result);
    const auto t2 = Clock::now();
    result = fail(EngineError::conflict_detected(""));  // frees the new state
    const auto t3 = Clock::now();
    raw_seconds += bench::seconds(t0, t1);
    apply_seconds += bench::seconds(t1, t2);
    free_seconds += bench::seconds(t2, t3);
    state.SetIterationTime(bench::seconds(t1, t2));
  }
  const auto iters = static_cast<double>(state.iterations());
  state.counters["bytes"] = static_cast<double>(text.size());
  state.counters["raw_sha256_ms"] = raw_seconds * 1e3 / iters;
  state.counters["ratio_to_raw_sha256"] = apply_seconds / raw_seconds;
  state.counters["ratio_with_free"] = (apply_seconds + free_seconds) / raw_seconds;
}

// What every apply pays whatever the operation: copying the three maps and
// hashing the copy from its cached entry texts, each against the raw SHA-256.
void BM_ApplyFloor(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  const std::string text = serialization::canonical_serialize(f.state);
  bench::RawSha256 raw_sha256;
  double raw_seconds = 0;
  double copy_seconds = 0;
  double hash_seconds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(raw_sha256(text));
    const auto t1 = Clock::now();
    KnowledgeState copy = f.state;
    const auto t2 = Clock::now();
    benchmark::DoNotOptimize(copy.state_hash());
    const auto t3 = Clock::now();
    raw_seconds += bench::seconds(t0, t1);
    copy_seconds += bench::seconds(t1, t2);
    hash_seconds += bench::seconds(t2, t3);
    state.SetIterationTime(bench::seconds(t1, t3));
    state.PauseTiming();
    copy = KnowledgeState();
    state.ResumeTiming();
  }
  state.counters["raw_sha256_ms"] = raw_seconds * 1e3 / static_cast<double>(state.iterations());
  state.counters["copy_ratio"] = copy_seconds / raw_seconds;
  state.counters["hash_ratio"] = hash_seconds / raw_seconds;
  state.counters["ratio_to_raw_sha256"] = (copy_seconds + hash_seconds) / raw_seconds;
}

const int kRegistered = [] {
  const std::pair<const char*, Kind> kinds[] = {{"assert", Kind::Assert},
                                                {"relate", Kind::Relate},
                                                {"relate_derives_from", Kind::RelateDerivesFrom},
                                                {"refine", Kind::Refine},
                                                {"reinforce", Kind::Reinforce},
                                                {"retract", Kind::Retract}};
  for (const std::int64_t n : {1'000, 10'000, 100'000}) {
    benchmark::RegisterBenchmark("BM_ApplyFloor", BM_ApplyFloor)
        ->Arg(n)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    for (const auto& [name, kind] : kinds) {
      benchmark::RegisterBenchmark((std::string("BM_Apply/") + name).c_str(), BM_Apply, kind)
          ->Arg(n)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  return 0;
}();

}  // namespace
