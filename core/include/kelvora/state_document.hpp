// The state document: a JSON object with "concepts", "relations" and
// "structure" keyed by identifier, and "state_hash".
#pragma once

#include <string>

#include "kelvora/canonical.hpp"
#include "kelvora/error.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/knowledge_state.hpp"
#include "kelvora/types.hpp"

namespace kelvora::exchange {

// Readers. Every failure is a SerializationError carrying the first problem
// met in the order of reading; nothing of a failed read is returned. Unknown
// members are ignored.

// Also runs validate_referential_integrity and computes the state hash.
Result<KnowledgeState> state_from_json(const Json& value);
Result<Concept> concept_from_json(const Json& value);
Result<Relation> relation_from_json(const Json& value);
Result<StructureNode> structure_node_from_json(const Json& value);

// The document as printed text, as the records document is printed; each
// map's members are keyed by their map key. Fails only by running out of
// memory.
std::string state_to_json_text(const KnowledgeState& state);
// The same text written piece by piece, as write_records_text writes.
void write_state_text(const KnowledgeState& state, serialization::PlaceText place, void* context);

}  // namespace kelvora::exchange
