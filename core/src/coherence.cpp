// Concept stability and the coherence of a state.
#include <algorithm>

#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"

namespace kelvora::analysis {

namespace {

constexpr double kContradictionWeight = 0.7;
constexpr double kStabilityWeight = 0.3;

// Appends the step of record `index` unless that record already gave one.
void add_step(StabilityMetrics& metrics, std::uint64_t index, std::string_view kind,
              const std::string* definition) {
  auto& arc = metrics.definition_arc;
  if (!arc.empty() && arc.back().record_index == index) return;
  ArcStep step;
  step.record_index = index;
  step.operation_type = kind;
  if (definition != nullptr) step.definition = *definition;
  arc.push_back(std::move(step));
}

// Counts, volatility and recency from the arc, over `record_count` records.
void finish(StabilityMetrics& metrics, std::size_t record_count) {
  std::uint32_t revises = 0, refines = 0;
  for (const ArcStep& step : metrics.definition_arc) {
    if (step.operation_type == "revise") ++revises;
    if (step.operation_type == "refine") ++refines;
  }
  const auto steps = metrics.definition_arc.size();
  metrics.semantic_version = {revises, refines};
  metrics.total_transitions = static_cast<std::uint32_t>(steps);
  metrics.volatility = steps == 0 ? 0.0 : static_cast<double>(revises) / static_cast<double>(steps);
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
    if (touched) add_step(metrics, i, step_kind(operation), step_definition(operation));
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

// The records are walked once: each step goes straight to the arc of the
// Active concept it touches, found through a hash index of the Active ids.
CoherenceReport coherence(const KnowledgeState& state, std::span<const EvolutionRecord> records) {
  CoherenceReport report;
  auto& stability = report.concept_stability;
  // Slots are numbered in ascending id order, as the stability list holds them.
  IdIndex<ConceptId> slot_of;
  for (const auto& [id, concept_entry] : state.concepts) {
    if (concept_entry->status != ConceptStatus::Active) continue;
    slot_of.insert(id);
    stability.emplace_back(id, StabilityMetrics{});
  }
  const auto is_active = [&](const ConceptId& id) {
    return slot_of.find(id) != IdIndex<ConceptId>::kAbsent;
  };

  for (const auto& [id, relation] : state.relations) {
    if (relation->relation_type != RelationType::Contradicts) continue;
    if (is_active(relation->from_concept) && is_active(relation->to_concept)) {
      report.unresolved_contradictions.emplace_back(relation->from_concept, relation->to_concept);
    }
  }

  for (std::size_t i = 0; i < records.size() && !stability.empty(); ++i) {
    const EvolutionOperation& operation = records[i].operation;
    const std::string_view kind = step_kind(operation);
    if (kind.empty()) continue;
    const std::string* definition = step_definition(operation);
    for_each_touched(operation, [&](const ConceptId& id) {
      const std::uint32_t slot = slot_of.find(id);
      if (slot != IdIndex<ConceptId>::kAbsent)
        add_step(stability[slot].second, i, kind, definition);
    });
  }

  // The sum runs in ascending id order, so the score's last bits are the
  // same in every process.
  double sum = -0.0;
  for (auto& [id, metrics] : stability) {
    finish(metrics, records.size());
    sum += 1.0 - metrics.volatility;
  }
  report.coherence_score =
      coherence_score(stability.size(), report.unresolved_contradictions.size(), sum);
  report.is_equilibrium = report.unresolved_contradictions.empty();
  return report;
}

}  // namespace kelvora::analysis
