// The state document: a JSON object with "concepts", "relations" and
// "structure" keyed by identifier, and "state_hash".
#pragma once

#include <string>

#include "kelvora/error.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/knowledge_state.hpp"
#include "kelvora/types.hpp"

namespace kelvora::exchange {

// Writers. None of them fails; floats are stored as they are and printed as
// null when not finite.
Json state_to_json(const KnowledgeState& state);
Json concept_to_json(const Concept& value);
Json relation_to_json(const Relation& relation);
Json structure_node_to_json(const StructureNode& node);

// Readers. Every failure is a SerializationError carrying the first problem
// met in the order of reading; nothing of a failed read is returned. Unknown
// members are ignored.

// Also runs validate_referential_integrity and computes the state hash.
Result<KnowledgeState> state_from_json(const Json& value);
Result<Concept> concept_from_json(const Json& value);
Result<Relation> relation_from_json(const Json& value);
Result<StructureNode> structure_node_from_json(const Json& value);

// The document as printed text.
std::string state_to_json_text(const KnowledgeState& state);

}  // namespace kelvora::exchange
