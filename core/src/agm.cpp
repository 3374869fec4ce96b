// The AGM postulate check of an applied operation.
#include "kelvora/agm.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "entry_walk.hpp"
#include "kelvora/first_positions.hpp"
#include "kelvora/operations.hpp"
#include "kelvora/relation_ends.hpp"
#include "kelvora/structure.hpp"

namespace kelvora::agm {

namespace {

using postulate::NotApplicable;
using postulate::Satisfied;
using postulate::Violated;

PostulateResult violated(std::string reason) { return Violated{std::move(reason)}; }

const Concept* find(const KnowledgeState& state, const ConceptId& id) {
  const auto it = state.concepts.find(id);
  return it == state.concepts.end() ? nullptr : &it->second.value();
}

bool active_term_exists(const KnowledgeState& state, std::string_view term) {
  return std::any_of(state.concepts.begin(), state.concepts.end(), [&](const auto& entry) {
    return entry.second->status == ConceptStatus::Active && entry.second->term == term;
  });
}

// The result is well formed: relation ends and node references exist, and
// the structure tree is valid.
PostulateResult closure(const KnowledgeState& after) {
  if (const auto dangling = first_dangling_end(after)) {
    return violated("relation " + dangling->id->to_string() + " references nonexistent " +
                    (dangling->from ? "from_concept " : "to_concept ") +
                    dangling->concept_id().to_string());
  }
  if (auto valid = structure::validate_structure(after.structure); !valid) {
    return violated("invalid structure: " + valid.error().message());
  }
  for (const auto& [id, node] : after.structure) {
    for (const ConceptId& ref : node->concept_refs) {
      if (!after.concepts.contains(ref)) {
        return violated("structure node " + id.to_string() + " references nonexistent concept " +
                        ref.to_string());
      }
    }
  }
  return Satisfied{};
}

// The concept `what` names must be present with `definition`.
PostulateResult defined_as(const KnowledgeState& after, const ConceptId& id,
                           const std::string& definition, std::string_view what) {
  const Concept* found = find(after, id);
  const std::string text = std::string(what) + " concept " + id.to_string();
  if (found == nullptr) return violated(text + " not found in result");
  if (found->definition != definition) {
    return violated(text + " has definition '" + found->definition + "', expected '" + definition +
                    "'");
  }
  return Satisfied{};
}

// The concept must be present and Superseded.
PostulateResult superseded(const KnowledgeState& after, const ConceptId& id,
                           std::string_view what) {
  const Concept* found = find(after, id);
  const std::string text = std::string(what) + " concept " + id.to_string();
  if (found == nullptr) return violated(text + " not found in result");
  if (found->status != ConceptStatus::Superseded) {
    return violated(text + " should be Superseded, got " + std::string(name(found->status)));
  }
  return Satisfied{};
}

// The effect the operation names is present in the result.
struct Success {
  const KnowledgeState& after;

  PostulateResult operator()(const op::Assert& o) const {
    if (after.concepts.contains(o.concept_.id)) return Satisfied{};
    return violated("asserted concept " + o.concept_.id.to_string() + " not found in result");
  }
  PostulateResult operator()(const op::Revise& o) const {
    return defined_as(after, o.concept_id, o.new_definition, "revised");
  }
  PostulateResult operator()(const op::Retract& o) const {
    if (!after.concepts.contains(o.concept_id)) return Satisfied{};
    return violated("retracted concept " + o.concept_id.to_string() + " still present in result");
  }
  PostulateResult operator()(const op::Relate& o) const {
    if (after.relations.contains(o.relation.id)) return Satisfied{};
    return violated("related relation " + o.relation.id.to_string() + " not found in result");
  }
  PostulateResult operator()(const op::Restructure& o) const {
    for (const StructureNode& node : o.new_nodes) {
      if (!after.structure.contains(node.id)) {
        return violated("restructured node " + node.id.to_string() + " not found in result");
      }
    }
    return Satisfied{};
  }
  PostulateResult operator()(const op::Refine& o) const {
    return defined_as(after, o.concept_id, o.new_definition, "refined");
  }
  PostulateResult operator()(const op::Merge& o) const {
    if (!active_term_exists(after, o.merged_term)) {
      return violated("merged concept '" + o.merged_term + "' not found as active in result");
    }
    for (const ConceptId& id : o.concept_ids) {
      if (auto r = superseded(after, id, "source"); !std::holds_alternative<Satisfied>(r)) return r;
    }
    return Satisfied{};
  }
  PostulateResult operator()(const op::Reinforce& o) const {
    const Concept* found = find(after, o.concept_id);
    const std::string text = "reinforced concept " + o.concept_id.to_string();
    if (found == nullptr) return violated(text + " not found in result");
    if (found->status != ConceptStatus::Active) {
      return violated(text + " has status " + std::string(name(found->status)) +
                      ", expected Active");
    }
    return Satisfied{};
  }
  PostulateResult operator()(const op::Split& o) const {
    if (auto r = superseded(after, o.concept_id, "split"); !std::holds_alternative<Satisfied>(r)) {
      return r;
    }
    // The new terms in a table, and a walk over the concepts that marks each
    // one an Active concept carries: a Split may bring hundreds of thousands
    // of terms, and the walk reads the concepts in order, asking for each
    // entry's block and then its term ahead of reading them.
    std::vector<std::string_view> terms;
    terms.reserve(o.new_concepts.size());
    for (const auto& pair : o.new_concepts) terms.push_back(pair.first);
    const FirstPositions<std::string_view> positions(terms);
    std::vector<bool> active(terms.size() + 1, false);
    walk_entries_ahead<16, 8>(
        after.concepts,
        [](const ConceptId&, const Entry<Concept>& entry) { entry.prefetch_value(); },
        [](const ConceptId&, const Entry<Concept>& entry) {
          __builtin_prefetch(entry->term.data());
        },
        [&](const ConceptId&, const Entry<Concept>& entry) {
          if (entry->status == ConceptStatus::Active) active[positions.find(entry->term)] = true;
        });
    for (const auto& [term, definition] : o.new_concepts) {
      if (!active[positions.find(term)]) {
        return violated("split result concept '" + term + "' not found as active in result");
      }
    }
    return Satisfied{};
  }
};

// A Revise must answer a real conflict: a Contradicts relation in `before`
// between the revised concept and a member of its conflict set.
PostulateResult vacuity(const KnowledgeState& before, const EvolutionOperation& operation) {
  const auto* revise = std::get_if<op::Revise>(&operation);
  if (revise == nullptr) return NotApplicable{};
  std::vector<ConceptId> conflicts = revise->conflict_set;
  std::sort(conflicts.begin(), conflicts.end());
  auto in_conflict = [&](const ConceptId& id) {
    return std::binary_search(conflicts.begin(), conflicts.end(), id);
  };
  for (const auto& [id, relation] : before.relations) {
    if (relation->relation_type != RelationType::Contradicts) continue;
    if ((relation->from_concept == revise->concept_id && in_conflict(relation->to_concept)) ||
        (relation->to_concept == revise->concept_id && in_conflict(relation->from_concept))) {
      return Satisfied{};
    }
  }
  return violated(
      "no Contradicts relations found between revised concept and conflict_set; Revise without "
      "real conflict should be Refine (vacuity postulate)");
}

bool is_active(const KnowledgeState& state, const ConceptId& id) {
  const Concept* found = find(state, id);
  return found != nullptr && found->status == ConceptStatus::Active;
}

// No two Active concepts contradict each other.
PostulateResult consistency(const KnowledgeState& after) {
  // The first Contradicts relation between Active concepts, in identifier
  // order; the walk asks for each relation's block ahead of reading it.
  const Relation* found = nullptr;
  walk_entries_ahead<16, 0>(
      after.relations,
      [](const RelationId&, const Entry<Relation>& entry) { entry.prefetch_value(); },
      [](const RelationId&, const Entry<Relation>&) {},
      [&](const RelationId&, const Entry<Relation>& relation) {
        if (found == nullptr && relation->relation_type == RelationType::Contradicts &&
            is_active(after, relation->from_concept) && is_active(after, relation->to_concept)) {
          found = &relation.value();
        }
      });
  if (found == nullptr) return Satisfied{};
  return violated("active concepts " + found->from_concept.to_string() + " and " +
                  found->to_concept.to_string() + " have a Contradicts relation");
}

}  // namespace

AgmReport check_agm_compliance(const KnowledgeState& before, const EvolutionOperation& operation,
                               const KnowledgeState& after) {
  AgmReport report;
  report.closure = closure(after);
  report.success = std::visit(Success{after}, operation);
  report.vacuity = vacuity(before, operation);
  report.consistency = consistency(after);
  report.minimality_score = operations::compute_minimality(before, operation, after);
  return report;
}

std::string normalize_term(std::string_view term) { return operations::normalize_term(term); }

}  // namespace kelvora::agm
