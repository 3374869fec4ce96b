// Concept stability and the coherence of a state.
#include <algorithm>
#include <utility>
#include <vector>

#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"
#include "lookahead_walk.hpp"
#include "stability_sum.hpp"

namespace kelvora::analysis {

namespace {

constexpr double kContradictionWeight = 0.7;
constexpr double kStabilityWeight = 0.3;

// Appends the step that `operation`, record `index`, gives a concept.
void add_step(StabilityMetrics& metrics, std::uint64_t index, const EvolutionOperation& operation) {
  ArcStep& step = metrics.definition_arc.emplace_back();
  step.record_index = index;
  step.operation_type = step_kind(operation);
  if (const std::string* definition = step_definition(operation)) step.definition = *definition;
  if (std::holds_alternative<op::Revise>(operation)) ++metrics.semantic_version.first;
  if (std::holds_alternative<op::Refine>(operation)) ++metrics.semantic_version.second;
}

// Totals, volatility and recency from the arc, over `record_count` records.
void finish(StabilityMetrics& metrics, std::size_t record_count) {
  const auto steps = metrics.definition_arc.size();
  const std::uint32_t revises = metrics.semantic_version.first;
  metrics.total_transitions = static_cast<std::uint32_t>(steps);
  metrics.volatility = volatility(revises, steps);
  metrics.records_since_last_change =
      steps == 0 ? static_cast<std::uint32_t>(record_count)
                 : static_cast<std::uint32_t>(record_count - 1 -
                                              metrics.definition_arc.back().record_index);
}

}  // namespace

std::string_view step_kind(const EvolutionOperation& operation) {
  static constexpr std::string_view kKinds[] = {
      "assert", "revise", "retract", "relate", "", "refine", "merge_source", "reinforce", "split",
  };
  static_assert(std::size(kKinds) == std::variant_size_v<EvolutionOperation>);
  return kKinds[operation.index()];
}

const std::string* step_definition(const EvolutionOperation& operation) {
  if (const auto* a = std::get_if<op::Assert>(&operation)) return &a->concept_.definition;
  if (const auto* r = std::get_if<op::Revise>(&operation)) return &r->new_definition;
  if (const auto* f = std::get_if<op::Refine>(&operation)) return &f->new_definition;
  return nullptr;
}

StabilityMetrics concept_stability(std::span<const EvolutionRecord> records,
                                   const ConceptId& concept_id) {
  StabilityMetrics metrics;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const EvolutionOperation& operation = records[i].operation;
    bool touched = false;
    for_each_touched(operation,
                     [&](const ConceptId& id) { touched = touched || id == concept_id; });
    if (touched) add_step(metrics, i, operation);
  }
  finish(metrics, records.size());
  return metrics;
}

double coherence_score(std::size_t active_count, std::size_t contradiction_count,
                       double stability_sum) {
  double density = 0.0;
  if (active_count >= 2) {
    const std::uint64_t pairs = static_cast<std::uint64_t>(active_count) * (active_count - 1) / 2;
    density = static_cast<double>(contradiction_count) / static_cast<double>(pairs);
  }
  const double term = active_count == 0
                          ? kStabilityWeight
                          : stability_sum / static_cast<double>(active_count) * kStabilityWeight;
  return std::min(std::max((1.0 - density) * kContradictionWeight + term, 0.0), 1.0);
}

// The records are walked once: each touch goes straight to the Active
// concept it touches, found through a hash index. The touches are collected
// first, so that every arc is allocated once at its final size.
CoherenceReport coherence(const KnowledgeState& state, std::span<const EvolutionRecord> records) {
  CoherenceReport report;
  const ActiveConcepts active = active_concepts(state);
  constexpr std::uint32_t kAbsent = IdIndex<ConceptId>::kAbsent;
  walk_ahead(
      state.relations, prefetch_relation,
      [&](const RelationId&, const Relation& relation) {
        if (relation.relation_type != RelationType::Contradicts) return;
        active.number.prefetch(relation.from_concept);
        active.number.prefetch(relation.to_concept);
      },
      [&](const RelationId&, const Relation& relation) {
        if (relation.relation_type != RelationType::Contradicts) return;
        if (active.number.find(relation.from_concept) != kAbsent &&
            active.number.find(relation.to_concept) != kAbsent) {
          report.unresolved_contradictions.emplace_back(relation.from_concept, relation.to_concept);
        }
      });

  // (concept number, record index) of every step, in record order; a concept
  // touched twice by one record takes one step.
  const std::size_t n = active.ids.size();
  std::vector<std::pair<std::uint32_t, std::size_t>> touches;
  std::vector<std::uint32_t> steps(n, 0);
  std::vector<std::size_t> last_record(n, records.size());
  for (std::size_t i = 0; i < records.size() && n != 0; ++i) {
    if (i + kWalkNear < records.size()) {
      for_each_touched(records[i + kWalkNear].operation,
                       [&](const ConceptId& id) { active.number.prefetch(id); });
    }
    if (std::holds_alternative<op::Restructure>(records[i].operation)) continue;
    for_each_touched(records[i].operation, [&](const ConceptId& id) {
      const std::uint32_t k = active.number.find(id);
      if (k == kAbsent || last_record[k] == i) return;
      last_record[k] = i;
      ++steps[k];
      touches.emplace_back(k, i);
    });
  }

  auto& stability = report.concept_stability;
  stability.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    stability[k].first = active.ids[k];
    stability[k].second.definition_arc.reserve(steps[k]);
  }
  // The touches reach the concepts in no particular order: ask for each
  // concept's metrics, then for the end of its arc, a few touches ahead.
  for (std::size_t t = 0; t < touches.size(); ++t) {
    if (t + 2 * kWalkNear < touches.size()) {
      __builtin_prefetch(&stability[touches[t + 2 * kWalkNear].first].second);
    }
    if (t + kWalkNear < touches.size()) {
      const auto& arc = stability[touches[t + kWalkNear].first].second.definition_arc;
      __builtin_prefetch(arc.data() + arc.size());
    }
    const auto [k, i] = touches[t];
    add_step(stability[k].second, i, records[i].operation);
  }

  // The exact sum, as the convergence trajectory keeps it: one state, one score.
  StabilityUnits sum = 0;
  for (auto& [id, metrics] : stability) {
    finish(metrics, records.size());
    sum += stability_units(metrics.volatility);
  }
  report.coherence_score = coherence_score(
      stability.size(), report.unresolved_contradictions.size(), stability_total(sum));
  report.is_equilibrium = report.unresolved_contradictions.empty();
  return report;
}

}  // namespace kelvora::analysis
