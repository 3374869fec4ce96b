// The history queries against one plain replay of the same records, timed
// in the same iteration:
//   BM_Replays          against state_at(N - 1): convergence_trajectory over
//                       all N records (trajectory_ratio), range_diff(N / 2,
//                       N - 1) (range_diff_ratio) and, at N = 1,000, the
//                       per-prefix recomputation of coherence and direction
//                       (per_prefix_ratio).
//   BM_HistoryByTerm    concept_history_by_term against one walk over the
//                       records visiting every touched concept.
//   BM_Classify         classify_extraction on a state of N concepts (term
//                       matched, and not matched) against a walk comparing
//                       every concept's stored term with the text; "cold"
//                       is the first call on fresh entries (every term is
//                       normalised then), the others reuse the kept forms.
// The histories mix every operation kind: assertions, relations (a third of
// them contradictions), refinements, reinforcements, revisions of
// contradicted concepts, merges, splits, retractions and restructures.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kelvora/classification.hpp"
#include "kelvora/operations.hpp"
#include "kelvora/temporal.hpp"

namespace {

using kelvora::bench::Clock;
using namespace kelvora;

class HistoryMaker {
 public:
  std::vector<EvolutionRecord> make(std::size_t n) {
    while (records_.size() < n) {
      const EvolutionOperation operation = next();
      const Timestamp t{1'700'000'000 + static_cast<std::int64_t>(records_.size()), 0};
      auto r = KnowledgeState::apply(state_, operation,
                                     {Hash::zero(), t, OperationSource::UserExplicit});
      if (!r) continue;
      learn(r->record);
      state_ = std::move(r->state);
      records_.push_back(std::move(r->record));
    }
    return std::move(records_);
  }

 private:
  std::size_t pick(std::size_t n) { return rng_() % n; }
  ConceptId some() { return ids_[pick(ids_.size())]; }
  std::string term() { return "concept " + std::to_string(serial_++); }

  EvolutionOperation next() {
    const std::size_t roll = ids_.size() < 4 ? 0 : pick(100);
    if (roll < 35) return op::Assert{Concept::create(term(), "a definition of some words")};
    if (roll < 55) {
      Relation r;
      r.id = RelationId::random();
      r.from_concept = some();
      r.to_concept = some();
      r.relation_type = pick(3) == 0 ? RelationType::Contradicts : RelationType::Supports;
      return op::Relate{r};
    }
    if (roll < 65) return op::Refine{some(), "a finer definition", {}};
    if (roll < 75) return op::Reinforce{some(), {}};
    if (roll < 83 && !conflicts_.empty()) {
      const auto [a, b] = conflicts_[pick(conflicts_.size())];
      return op::Revise{a, "a revised definition", {b}, {}};
    }
    if (roll < 88) return op::Merge{{some(), some()}, term(), "merged", {}};
    if (roll < 92) return op::Split{some(), {{term(), "first"}, {term(), "second"}}, {}};
    if (roll < 97) return op::Retract{some(), RetractionReason::UserExplicit};
    StructureNode node{StructureNodeId::random(), "Section", "section", {}, 0, {}, {some()}};
    return op::Restructure{state_.structure_hash(), {node}, "regroup"};
  }

  void learn(const EvolutionRecord& record) {
    const Hash& prior = record.prior_state_hash;
    if (const auto* a = std::get_if<op::Assert>(&record.operation)) ids_.push_back(a->concept_.id);
    if (const auto* l = std::get_if<op::Relate>(&record.operation)) {
      if (l->relation.relation_type == RelationType::Contradicts) {
        conflicts_.emplace_back(l->relation.from_concept, l->relation.to_concept);
      }
    }
    if (const auto* m = std::get_if<op::Merge>(&record.operation)) {
      ids_.push_back(operations::derive_merged_concept_id(prior, m->concept_ids, m->merged_term,
                                                          m->merged_definition));
    }
    if (const auto* s = std::get_if<op::Split>(&record.operation)) {
      for (std::uint32_t k = 0; k < s->new_concepts.size(); ++k) {
        ids_.push_back(operations::derive_split_concept_id(
            prior, s->concept_id, k, s->new_concepts[k].first, s->new_concepts[k].second));
      }
    }
  }

  std::mt19937_64 rng_{11};
  std::size_t serial_ = 0;
  KnowledgeState state_;
  std::vector<EvolutionRecord> records_;
  std::vector<ConceptId> ids_;
  std::vector<std::pair<ConceptId, ConceptId>> conflicts_;
};

const std::vector<EvolutionRecord>& history(std::size_t n) {
  static std::size_t cached_n = 0;
  static std::vector<EvolutionRecord> cached;
  if (cached_n != n) {
    cached = HistoryMaker().make(n);
    cached_n = n;
  }
  return cached;
}

// Coherence and direction computed afresh over every prefix.
double per_prefix(std::span<const EvolutionRecord> records) {
  KnowledgeState state;
  double sum = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const EvolutionRecord& r = records[i];
    state = KnowledgeState::apply(state, r.operation, {Hash::zero(), r.timestamp, r.source})->state;
    sum += analysis::coherence(state, records.first(i + 1)).coherence_score;
    sum += static_cast<double>(analysis::epistemic_direction(records.first(i + 1), 0).direction);
  }
  return sum;
}

void BM_Replays(benchmark::State& state) {
  const auto& records = history(static_cast<std::size_t>(state.range(0)));
  const std::size_t last = records.size() - 1;
  const bool with_per_prefix = records.size() <= 1'000;
  double replay = 0, trajectory = 0, range = 0, straightforward = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(temporal::state_at({}, records, last));
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(temporal::convergence_trajectory({}, records, 0));
    const auto t2 = Clock::now();
    benchmark::DoNotOptimize(temporal::range_diff({}, records, records.size() / 2, last));
    const auto t3 = Clock::now();
    if (with_per_prefix) benchmark::DoNotOptimize(per_prefix(records));
    const auto t4 = Clock::now();
    replay += bench::seconds(t0, t1);
    trajectory += bench::seconds(t1, t2);
    range += bench::seconds(t2, t3);
    straightforward += bench::seconds(t3, t4);
    state.SetIterationTime(bench::seconds(t1, t2));
  }
  state.counters["replay_ms"] = replay * 1e3 / static_cast<double>(state.iterations());
  state.counters["trajectory_ratio"] = trajectory / replay;
  state.counters["range_diff_ratio"] = range / replay;
  if (with_per_prefix) state.counters["per_prefix_ratio"] = straightforward / replay;
}

void BM_HistoryByTerm(benchmark::State& state) {
  const auto& records = history(static_cast<std::size_t>(state.range(0)));
  double walk = 0, by_term = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    std::size_t touched = 0;
    for (const auto& r : records) {
      analysis::for_each_touched(r.operation,
                                 [&](const ConceptId& id) { touched += id.uuid.bytes[0]; });
    }
    benchmark::DoNotOptimize(touched);
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(temporal::concept_history_by_term(records, "Concept 12"));
    const auto t2 = Clock::now();
    walk += bench::seconds(t0, t1);
    by_term += bench::seconds(t1, t2);
    state.SetIterationTime(bench::seconds(t1, t2));
  }
  state.counters["ratio_to_walk"] = by_term / walk;
}

KnowledgeState concepts_state(std::size_t n) {
  std::mt19937_64 rng(5);
  KnowledgeState s;
  for (std::size_t i = 0; i < n; ++i) {
    Concept c =
        Concept::create("Concept Term " + std::to_string(i),
                        "a definition with some words number " + std::to_string(rng() % 1000));
    s.concepts.emplace(c.id, Entry<Concept>(std::move(c)));
  }
  return s;
}

// Time of one call over the concept walk that compares stored terms.
void BM_Classify(benchmark::State& state, bool matched, bool cold) {
  const auto n = static_cast<std::size_t>(state.range(0));
  KnowledgeState s = concepts_state(n);
  const std::string term = matched ? " concept term " + std::to_string(n - 1) : "no such term";
  const classification::ClassificationThresholds thresholds{0.3, 0.95};
  if (!cold) classification::classify_extraction(s, term, "", thresholds);  // forms kept
  double walk = 0, classify = 0;
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      s = concepts_state(n);
      state.ResumeTiming();
    }
    const auto t0 = Clock::now();
    std::size_t equal = 0;
    for (const auto& [id, entry] : s.concepts) equal += entry->term == term ? 1 : 0;
    benchmark::DoNotOptimize(equal);
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(
        classification::classify_extraction(s, term, "a definition", thresholds));
    const auto t2 = Clock::now();
    walk += bench::seconds(t0, t1);
    classify += bench::seconds(t1, t2);
    state.SetIterationTime(bench::seconds(t1, t2));
  }
  state.counters["ratio_to_walk"] = classify / walk;
}

const int kRegistered = [] {
  for (const std::int64_t n : {1'000, 10'000}) {
    using Fn = void (*)(benchmark::State&);
    const std::pair<const char*, Fn> replays[] = {{"BM_Replays", BM_Replays},
                                                  {"BM_HistoryByTerm", BM_HistoryByTerm}};
    for (const auto& [name, fn] : replays) {
      benchmark::RegisterBenchmark(name, fn)->Arg(n)->UseManualTime()->Unit(
          benchmark::kMillisecond);
    }
  }
  benchmark::RegisterBenchmark("BM_Classify/matched", BM_Classify, true, false)
      ->Arg(100'000)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Classify/unmatched", BM_Classify, false, false)
      ->Arg(100'000)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Classify/cold", BM_Classify, true, true)
      ->Arg(100'000)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3);
  return 0;
}();

}  // namespace
