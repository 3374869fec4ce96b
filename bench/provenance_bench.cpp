// The provenance graph: building it from a history, its PROV-JSON text, and
// the queries, each at 10,000 and 100,000 records. Growth: compare the two
// sizes of one benchmark. Queries: compare with RelationScan, one pass over
// the relation list comparing each relation's `from` with an identifier (what
// a query costs that reads the whole list).
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "kelvora/provenance.hpp"

namespace kelvora::bench {
namespace {

using provenance::ProvenanceGraph;
using provenance::ProvenanceId;

// A history of the shape the engine makes: per ten records six asserts, then
// a relate, a refine, a reinforce and a revise of recent concepts. The graph
// reads no state, so the hashes are random and only chained.
std::vector<EvolutionRecord> make_history(std::size_t length) {
  std::mt19937_64 rng(length);
  auto random_hash = [&] {
    Hash h;
    for (auto& b : h.bytes) b = static_cast<std::uint8_t>(rng());
    return h;
  };
  auto random_id = [&] {
    ConceptId id;
    for (auto& b : id.uuid.bytes) b = static_cast<std::uint8_t>(rng());
    return id;
  };
  std::vector<EvolutionRecord> records(length);
  std::vector<ConceptId> concepts;
  Hash state = random_hash();
  for (std::size_t i = 0; i < length; ++i) {
    EvolutionRecord& r = records[i];
    const std::size_t k = i % 10;
    const std::size_t n = concepts.size();
    if (k < 6 || n < 6) {
      Concept c;
      c.id = random_id();
      c.term = "concept " + std::to_string(n);
      c.definition = "definition of concept " + std::to_string(n);
      concepts.push_back(c.id);
      r.operation = op::Assert{std::move(c)};
    } else if (k == 6) {
      Relation rel;
      rel.id.uuid = random_id().uuid;
      rel.from_concept = concepts[n - 1];
      rel.to_concept = concepts[n - 2];
      r.operation = op::Relate{std::move(rel)};
    } else if (k == 7) {
      r.operation = op::Refine{concepts[n - 3], "a finer definition", {}};
    } else if (k == 8) {
      r.operation = op::Reinforce{concepts[n - 4], {}};
    } else {
      r.operation = op::Revise{concepts[n - 5], "revised", {concepts[n - 6]}, {}};
    }
    r.timestamp = Timestamp{1'700'000'000 + static_cast<std::int64_t>(i), 123'000'000};
    r.prior_state_hash = state;
    state = random_hash();
    r.resulting_state_hash = state;
    r.chain_hash = random_hash();
  }
  return records;
}

const std::vector<EvolutionRecord>& history(std::size_t length) {
  static std::map<std::size_t, std::vector<EvolutionRecord>> made;
  auto [it, fresh] = made.try_emplace(length);
  if (fresh) it->second = make_history(length);
  return it->second;
}

const ProvenanceGraph& graph(std::size_t length) {
  static std::map<std::size_t, std::unique_ptr<ProvenanceGraph>> made;
  auto& g = made[length];
  if (!g) g = std::make_unique<ProvenanceGraph>(ProvenanceGraph::from_records(history(length)));
  return *g;
}

std::size_t length_of(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}

std::string last_state(std::size_t length) {
  return ProvenanceId::from_state_hash(history(length).back().resulting_state_hash).text();
}

void BM_FromRecords(benchmark::State& state) {
  const auto& records = history(length_of(state));
  // The graph built is released outside the timing, as a caller keeps it.
  std::unique_ptr<ProvenanceGraph> built;
  for (auto _ : state) {
    built = std::make_unique<ProvenanceGraph>(ProvenanceGraph::from_records(records));
    state.PauseTiming();
    built.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(records.size()));
}

void BM_ToProvJsonText(benchmark::State& state) {
  const ProvenanceGraph& g = graph(length_of(state));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = g.to_prov_json_text();
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

void BM_RelationScan(benchmark::State& state) {
  const ProvenanceGraph& g = graph(length_of(state));
  const std::string x = last_state(length_of(state));
  for (auto _ : state) {
    std::size_t found = 0;
    for (std::size_t i = 0; i < g.relation_count(); ++i) {
      const auto r = g.relation(i);
      if (r.relation_type == provenance::ProvRelationType::WasDerivedFrom && r.from == x) ++found;
    }
    benchmark::DoNotOptimize(found);
  }
}

void BM_DerivedFromLastState(benchmark::State& state) {
  const ProvenanceGraph& g = graph(length_of(state));
  const std::string x = last_state(length_of(state));
  for (auto _ : state) benchmark::DoNotOptimize(g.derived_from(x));
}

void BM_GeneratedFromRefinedConcept(benchmark::State& state) {
  const ProvenanceGraph& g = graph(length_of(state));
  const auto& refine = std::get<op::Refine>(history(length_of(state))[7].operation);
  const std::string x = ProvenanceId::concept_version(refine.concept_id, 1).text();
  for (auto _ : state) benchmark::DoNotOptimize(g.generated_from(x));
}

void BM_AgentsForLastActivity(benchmark::State& state) {
  const ProvenanceGraph& g = graph(length_of(state));
  const auto& records = history(length_of(state));
  const std::string x =
      ProvenanceId::from_record_position(records.size() - 1, records.back().chain_hash).text();
  for (auto _ : state) benchmark::DoNotOptimize(g.agents_for_activity(x));
}

void BM_LineageOfLastState(benchmark::State& state) {
  const ProvenanceGraph& g = graph(length_of(state));
  const std::string x = last_state(length_of(state));
  for (auto _ : state) benchmark::DoNotOptimize(g.lineage(x));
}

void BM_Coverage(benchmark::State& state) {
  const ProvenanceGraph& g = graph(length_of(state));
  for (auto _ : state) benchmark::DoNotOptimize(g.coverage());
}

#define KELVORA_SIZES ->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond)
BENCHMARK(BM_FromRecords) KELVORA_SIZES;
BENCHMARK(BM_ToProvJsonText) KELVORA_SIZES;
BENCHMARK(BM_RelationScan) KELVORA_SIZES;
BENCHMARK(BM_DerivedFromLastState) KELVORA_SIZES;
BENCHMARK(BM_GeneratedFromRefinedConcept) KELVORA_SIZES;
BENCHMARK(BM_AgentsForLastActivity) KELVORA_SIZES;
BENCHMARK(BM_LineageOfLastState) KELVORA_SIZES;
BENCHMARK(BM_Coverage) KELVORA_SIZES;
#undef KELVORA_SIZES

}  // namespace
}  // namespace kelvora::bench
