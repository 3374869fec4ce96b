// The analytics reports over generated states and histories.
//
// BM_Coherence: coherence over 10,000 Active concepts and 10,000 records
// against one plain pass over the records (visiting every concept each one
// touches) plus one over the concepts (reading each status), and against
// that pass plus the allocations the report itself holds (an arc per
// touched concept, a copy of every definition in them), all timed in every
// iteration.
// BM_Growth: each report over the 10,000- and the 100,000-concept fixture
// (two relations and one record per concept), timed side by side; the growth
// counter is the ratio of the two, 10 for a report that grows linearly.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kelvora/analysis.hpp"

namespace {

using namespace kelvora;
using kelvora::bench::Clock;
using kelvora::bench::seconds;

struct Fixture {
  KnowledgeState state;
  std::vector<EvolutionRecord> records;
  std::vector<ConceptId> ids;  // by creation
};

// n concepts (every tenth Superseded unless all_active), `relations` relations
// and n records. Each concept k > 0 derives from a random earlier one while
// DerivesFrom relations are due (a random recursive forest under concept 0);
// the others join random pairs, one in twenty as Contradicts. The records
// assert, refine, revise, relate and reinforce random concepts from every
// source.
Fixture make_fixture(std::size_t n, std::size_t relations, bool all_active) {
  std::mt19937_64 rng(n * 31 + relations);
  const auto random_uuid = [&] { return bench::seeded_uuid(rng); };
  const auto pick = [&](std::size_t below) { return static_cast<std::size_t>(rng() % below); };

  Fixture f;
  for (std::size_t k = 0; k < n; ++k) {
    Concept c;
    c.id = ConceptId{random_uuid()};
    c.term = "concept " + std::to_string(k);
    c.definition = "what concept " + std::to_string(k) + " means, in a sentence or so";
    if (!all_active && k % 10 == 9) c.status = ConceptStatus::Superseded;
    f.ids.push_back(c.id);
    f.state.concepts.insert_or_assign(c.id, Entry<Concept>(std::move(c)));
  }
  const std::size_t derivations = std::min(relations / 2, n - 1);
  for (std::size_t r = 0; r < relations; ++r) {
    Relation rel;
    rel.id = RelationId{random_uuid()};
    if (r < derivations) {
      rel.from_concept = f.ids[r + 1];
      rel.to_concept = f.ids[pick(r + 1)];
      rel.relation_type = RelationType::DerivesFrom;
    } else {
      rel.from_concept = f.ids[pick(n)];
      rel.to_concept = f.ids[pick(n)];
      rel.relation_type =
          pick(20) == 0 ? RelationType::Contradicts : static_cast<RelationType>(2 + pick(15));
    }
    f.state.relations.insert_or_assign(rel.id, Entry<Relation>(std::move(rel)));
  }
  for (std::size_t k = 0; k < n / 10; ++k) {
    StructureNode node;
    node.id = StructureNodeId{random_uuid()};
    node.title = "section " + std::to_string(k);
    node.concept_refs = {f.ids[pick(n)], f.ids[pick(n)], f.ids[pick(n)]};
    f.state.structure.insert_or_assign(node.id, Entry<StructureNode>(std::move(node)));
  }
  constexpr OperationSource kSources[] = {
      OperationSource::UserExplicit, OperationSource::UserExplicit, OperationSource::UserImplicit,
      OperationSource::SystemEnrichment, OperationSource::SystemRestructure};
  for (std::size_t i = 0; i < n; ++i) {
    EvolutionRecord record;
    record.source = kSources[pick(5)];
    const ConceptId target = f.ids[pick(n)];
    switch (i % 8) {
      case 0:
      case 1:
      case 2:
      case 3:
        record.operation = op::Assert{*f.state.concepts.at(f.ids[i])};
        break;
      case 4:
        record.operation = op::Refine{target, "a sharper definition of the concept", {}};
        break;
      case 5:
        record.operation =
            op::Revise{target, "a revised definition of the concept", {f.ids[pick(n)]}, {}};
        break;
      case 6: {
        Relation rel;
        rel.from_concept = target;
        rel.to_concept = f.ids[pick(n)];
        record.operation = op::Relate{rel};
        break;
      }
      default:
        record.operation = op::Reinforce{target, {}};
    }
    f.records.push_back(std::move(record));
  }
  return f;
}

const Fixture& fixture(std::size_t n) {
  static const Fixture small = make_fixture(10'000, 20'000, false);
  static const Fixture large = make_fixture(100'000, 200'000, false);
  return n == 10'000 ? small : large;
}

std::uint64_t plain_pass(const KnowledgeState& state, const std::vector<EvolutionRecord>& records) {
  std::uint64_t seen = 0;
  for (const EvolutionRecord& record : records) {
    analysis::for_each_touched(record.operation,
                               [&](const ConceptId& id) { seen += id.uuid.bytes[15]; });
  }
  for (const auto& [id, entry] : state.concepts) seen += entry->status == ConceptStatus::Active;
  return seen;
}

// The allocations a coherence report of this shape needs, without finding
// anything: every arc at its final size, every definition copied.
std::size_t allocate_like(const analysis::CoherenceReport& shape) {
  std::vector<std::vector<analysis::ArcStep>> arcs(shape.concept_stability.size());
  for (std::size_t k = 0; k < arcs.size(); ++k) {
    const auto& arc = shape.concept_stability[k].second.definition_arc;
    arcs[k].reserve(arc.size());
    for (const analysis::ArcStep& step : arc) arcs[k].push_back(step);
  }
  return arcs.size();
}

void BM_Coherence(benchmark::State& state) {
  static const Fixture f = make_fixture(10'000, 1'000, true);
  const analysis::CoherenceReport shape = analysis::coherence(f.state, f.records);
  double report_seconds = 0, plain_seconds = 0, allocation_seconds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(plain_pass(f.state, f.records));
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(allocate_like(shape));
    const auto t2 = Clock::now();
    const analysis::CoherenceReport report = analysis::coherence(f.state, f.records);
    const auto t3 = Clock::now();
    benchmark::DoNotOptimize(report.coherence_score);
    plain_seconds += seconds(t0, t1);
    allocation_seconds += seconds(t1, t2);
    report_seconds += seconds(t2, t3);
    state.SetIterationTime(seconds(t2, t3));
  }
  const auto runs = static_cast<double>(state.iterations());
  state.counters["plain_pass_us"] = benchmark::Counter(plain_seconds * 1e6 / runs);
  state.counters["allocation_us"] = benchmark::Counter(allocation_seconds * 1e6 / runs);
  state.counters["ratio_to_plain_pass"] = benchmark::Counter(report_seconds / plain_seconds);
  state.counters["ratio_to_pass_and_allocation"] =
      benchmark::Counter(report_seconds / (plain_seconds + allocation_seconds));
}
BENCHMARK(BM_Coherence)->UseManualTime()->Unit(benchmark::kMicrosecond);

// One report over a fixture; returns something of the result to keep.
std::size_t run_report(int which, const Fixture& f) {
  switch (which) {
    case 0:
      return analysis::coherence(f.state, f.records).concept_stability.size();
    case 1:
      return analysis::concept_stability(f.records, f.ids[0]).definition_arc.size();
    case 2:
      return analysis::epistemic_direction(f.records, 100).trend.size();
    case 3:
      return analysis::argumentation_status(f.state).attacked.size();
    case 4:
      return analysis::relation_analytics(f.state).clusters.size();
    case 5:
      return analysis::impact_radius(f.state, f.ids[0]).downstream_concepts.size();
    default:
      return analysis::source_analytics(f.records).confirmation_latency.size();
  }
}

constexpr const char* kReportNames[] = {
    "coherence",          "concept_stability", "epistemic_direction", "argumentation_status",
    "relation_analytics", "impact_radius",     "source_analytics"};

void BM_Growth(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const Fixture& small = fixture(10'000);
  const Fixture& large = fixture(100'000);
  double small_seconds = 0, large_seconds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(run_report(which, small));
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(run_report(which, large));
    const auto t2 = Clock::now();
    small_seconds += seconds(t0, t1);
    large_seconds += seconds(t1, t2);
    state.SetIterationTime(seconds(t1, t2));
  }
  state.SetLabel(kReportNames[which]);
  const auto runs = static_cast<double>(state.iterations());
  state.counters["ms_10k"] = benchmark::Counter(small_seconds * 1e3 / runs);
  state.counters["growth"] = benchmark::Counter(large_seconds / small_seconds);
}
BENCHMARK(BM_Growth)->DenseRange(0, 6)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
