// Helpers of the evolution operations: term normal form, derived identifiers,
// structure hash, float normalisation, justifications and records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelvora/types.hpp"

namespace kelvora::operations {

// White_Space trimmed at both ends, NFC, full lower case (final sigma).
std::string normalize_term(std::string_view term);

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

// ---- justifications, records and the chain hash ----
// (declared below by the engine's record-building code)

}  // namespace kelvora::operations
