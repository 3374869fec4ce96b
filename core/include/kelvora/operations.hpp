// Helpers of the evolution operations: derived identifiers, structure hash,
// float normalisation, justifications and records; and the term normal form
// they compare terms by.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelvora/knowledge_state.hpp"
#include "kelvora/text_normal_form.hpp"
#include "kelvora/types.hpp"

namespace kelvora::operations {

// White_Space trimmed at both ends, NFC, full lower case (final sigma).
using text::normalize_term;

// SHA-256 of the compact JSON of the structure map alone.
Hash compute_structure_hash(const StructureMap& structure);

// The value a records document written and read back holds.
double normalize_f64_for_json(double value);

ConceptId derive_merged_concept_id(const Hash& prior_state_hash,
                                   const std::vector<ConceptId>& concept_ids,
                                   std::string_view merged_term,
                                   std::string_view merged_definition);
RelationId derive_merge_derives_from_id(const Hash& prior_state_hash, const ConceptId& merged_id,
                                        const ConceptId& source_id);
ConceptId derive_split_concept_id(const Hash& prior_state_hash, const ConceptId& source_id,
                                  std::uint32_t k, std::string_view term,
                                  std::string_view definition);
RelationId derive_split_derives_from_id(const Hash& prior_state_hash, const ConceptId& new_id,
                                        const ConceptId& source_id);

// Where two states can differ: the ids of every entry an apply inserted,
// replaced or erased. All other entries of the new state are the old state's
// own, so the scores below need to look at these ids only.
struct ChangeSet {
  std::vector<ConceptId> concepts;
  std::vector<RelationId> relations;
  std::vector<StructureNodeId> structure;
  bool structure_replaced = false;  // the whole structure map was rebuilt
};

// Finds the ids at which `after` differs from `before` by walking both states.
ChangeSet changed_entries(const KnowledgeState& before, const KnowledgeState& after);

double compute_minimality(const KnowledgeState& before, const EvolutionOperation& operation,
                          const KnowledgeState& after);
double compute_minimality(const KnowledgeState& before, const EvolutionOperation& operation,
                          const KnowledgeState& after, const ChangeSet& changes);

// AGM class, minimality, content shift and structure delta (each shift score
// absent exactly when the respective maps are equal) and the evidence.
OperationJustification build_justification(const KnowledgeState& before,
                                           const EvolutionOperation& operation,
                                           const KnowledgeState& after);
OperationJustification build_justification(const KnowledgeState& before,
                                           const EvolutionOperation& operation,
                                           const KnowledgeState& after, const ChangeSet& changes);

// The compact JSON the chain hash covers: operation, timestamp, source, both
// state hashes and the justification. The record's id and chain hash are not in it.
std::string record_hash_payload(const EvolutionRecord& record);

// Seals a step: chain hash over the previous chain hash and the payload, then
// a fresh record id.
EvolutionRecord build_evolution_record(EvolutionOperation operation, const ApplyContext& context,
                                       Timestamp timestamp, const Hash& prior_state_hash,
                                       const Hash& resulting_state_hash,
                                       OperationJustification justification);

// The chain hash `record` should carry after `prev_chain_hash`.
Hash recompute_chain_hash(const EvolutionRecord& record, const Hash& prev_chain_hash);

}  // namespace kelvora::operations
