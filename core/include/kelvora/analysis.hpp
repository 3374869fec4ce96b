// Read-only reports over a state and the records that led to it: concept
// stability, coherence, epistemic direction, argumentation status, relation
// analytics, impact radius and source analytics. Each is a pure function of
// its inputs and never fails. Every list and every map-like field comes out
// in a fixed order (stated per field), so the same input gives the same
// report in every process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvora/knowledge_state.hpp"

namespace kelvora::analysis {

// ------------------------------------------------- stability and coherence

// One record that touched a concept.
struct ArcStep {
  std::uint64_t record_index = 0;
  // "assert", "revise", "retract", "relate", "refine", "merge_source",
  // "reinforce" or "split".
  std::string_view operation_type;
  // Present for "assert", "revise" and "refine" only.
  std::optional<std::string> definition;
};

struct StabilityMetrics {
  // (number of "revise" steps, number of "refine" steps)
  std::pair<std::uint32_t, std::uint32_t> semantic_version{0, 0};
  std::uint32_t total_transitions = 0;
  // Records after the last step; the record count when there is no step.
  std::uint32_t records_since_last_change = 0;
  // revise steps / all steps; 0.0 without steps.
  double volatility = 0.0;
  std::vector<ArcStep> definition_arc;  // record order
};

struct CoherenceReport {
  // (from_concept, to_concept) of each Contradicts relation between two
  // Active concepts, in relation id order.
  std::vector<std::pair<ConceptId, ConceptId>> unresolved_contradictions;
  double coherence_score = 1.0;  // within [0, 1]
  bool is_equilibrium = true;
  // One entry per Active concept, in ascending concept id order.
  std::vector<std::pair<ConceptId, StabilityMetrics>> concept_stability;
};

// The step kind a record's operation gives each concept it touches for
// stability ("merge_source" for the sources of a Merge); empty for a
// Restructure, which touches no concept.
std::string_view step_kind(const EvolutionOperation& operation);
// The definition a step carries: the asserted concept's definition or the
// new definition of a Revise or Refine; null for every other kind.
const std::string* step_definition(const EvolutionOperation& operation);

// Calls visit(id) for each concept the operation touches for stability: the
// asserted concept, the concept_id of Revise, Retract, Refine, Reinforce and
// Split, both ends of a Relate, the sources of a Merge. An id can be visited
// twice in one record (a Relate from a concept to itself); it still counts
// as one step.
template <class Visit>
void for_each_touched(const EvolutionOperation& operation, Visit&& visit) {
  if (const auto* a = std::get_if<op::Assert>(&operation)) {
    visit(a->concept_.id);
  } else if (const auto* r = std::get_if<op::Revise>(&operation)) {
    visit(r->concept_id);
  } else if (const auto* t = std::get_if<op::Retract>(&operation)) {
    visit(t->concept_id);
  } else if (const auto* l = std::get_if<op::Relate>(&operation)) {
    visit(l->relation.from_concept);
    visit(l->relation.to_concept);
  } else if (const auto* f = std::get_if<op::Refine>(&operation)) {
    visit(f->concept_id);
  } else if (const auto* m = std::get_if<op::Merge>(&operation)) {
    for (const ConceptId& id : m->concept_ids) visit(id);
  } else if (const auto* n = std::get_if<op::Reinforce>(&operation)) {
    visit(n->concept_id);
  } else if (const auto* s = std::get_if<op::Split>(&operation)) {
    visit(s->concept_id);
  }
}

// How one concept moved through `records`.
StabilityMetrics concept_stability(std::span<const EvolutionRecord> records,
                                   const ConceptId& concept_id);

// Contradictions between Active concepts, the stability of every Active
// concept and the coherence score of `state`, given the records that led
// to it (or a prefix of them).
CoherenceReport coherence(const KnowledgeState& state, std::span<const EvolutionRecord> records);

// The score from its parts: (1 - density) * 0.7 + mean stability * 0.3,
// clamped to [0, 1]. `stability_sum` is the sum of (1 - volatility) over the
// Active concepts, computed exactly and rounded once.
double coherence_score(std::size_t active_count, std::size_t contradiction_count,
                       double stability_sum);

// ------------------------------------------------------- epistemic direction

enum class Direction : std::uint8_t { Broadening, Deepening, Restructuring };
// "Broadening", "Deepening", "Restructuring".
std::string_view name(Direction direction);

// assert: Assert; deepen: Relate, Restructure, Refine, Reinforce;
// revise: Revise, Retract, Merge, Split.
enum class Bucket : std::uint8_t { Assert, Deepen, Revise };
Bucket bucket_of(const EvolutionOperation& operation);
// Ties go to Broadening, then Deepening.
Direction direction_of(std::size_t asserts, std::size_t deepens, std::size_t revises);

struct DirectionReport {
  double assert_ratio = 0.0;
  double refine_ratio = 0.0;
  double revise_ratio = 0.0;
  Direction direction = Direction::Broadening;
  // (window start, direction), one per complete window, in window order.
  std::vector<std::pair<std::size_t, Direction>> trend;
};

// window_size 0, or one above the record count, means one window over all
// records.
DirectionReport epistemic_direction(std::span<const EvolutionRecord> records,
                                    std::size_t window_size);

// ------------------------------------------------------ argumentation status

// Lists of Active concepts in ascending id order, without repeats.
struct ArgumentationReport {
  std::vector<ConceptId> attacked;
  std::vector<ConceptId> defended;
  std::vector<ConceptId> uncontested;
  std::vector<ConceptId> grounded_extension;
};

ArgumentationReport argumentation_status(const KnowledgeState& state);

// --------------------------------------------------------- relation analytics

struct RelationReport {
  // Relation types that occur, with their counts, in declared type order.
  std::vector<std::pair<RelationType, std::size_t>> type_distribution;
  // (out-degree + in-degree) / (2 * Active count) per Active concept, in
  // ascending id order.
  std::vector<std::pair<ConceptId, double>> concept_centrality;
  // Relations with an end that is not an Active concept, in id order.
  std::vector<RelationId> dead_relations;
  // Connected components of the live relations over the Active concepts,
  // members ascending; largest first, equal sizes by their smallest member.
  std::vector<std::vector<ConceptId>> clusters;
};

RelationReport relation_analytics(const KnowledgeState& state);

// -------------------------------------------------------------- impact radius

struct ImpactReport {
  std::vector<ConceptId> downstream_concepts;       // ascending, without the start
  std::vector<StructureNodeId> affected_structure;  // ascending node id order
  std::size_t radius = 0;
};

ImpactReport impact_radius(const KnowledgeState& state, const ConceptId& concept_id);

// ------------------------------------------------------------ source analytics

struct SourceReport {
  double user_verified_ratio = 0.0;
  std::size_t override_count = 0;
  // (concept, records between its SystemEnrichment touch and its
  // UserExplicit confirmation), in the order the confirmations occur.
  std::vector<std::pair<ConceptId, std::uint32_t>> confirmation_latency;
  // Sources that occur, with their record counts, in declared source order.
  std::vector<std::pair<OperationSource, std::size_t>> source_distribution;
  std::size_t reinforce_count = 0;
};

SourceReport source_analytics(std::span<const EvolutionRecord> records);

}  // namespace kelvora::analysis
