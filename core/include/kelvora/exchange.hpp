// The JSON documents of a state and of a record list: writers that build a
// value tree, readers that check it member by member in a fixed order, the
// referential-integrity check of every state read, and the text forms
// (a bounded parser and the two-space-indented printer).
#pragma once

#include <cstddef>
#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelvora/error.hpp"
#include "kelvora/knowledge_state.hpp"
#include "kelvora/types.hpp"

namespace kelvora::exchange {

// Objects are std::map: members come out sorted by bytes.
using Json = nlohmann::json;

// ------------------------------------------------------------------ writers
// None of them fails; floats are stored as they are and printed as null when
// not finite.

Json state_to_json(const KnowledgeState& state);
Json concept_to_json(const Concept& value);
Json relation_to_json(const Relation& relation);
Json structure_node_to_json(const StructureNode& node);
Json evidence_ref_to_json(const EvidenceRef& evidence);

Json records_to_json(std::span<const EvolutionRecord> records);
Json record_to_json(const EvolutionRecord& record);
Json operation_to_json(const EvolutionOperation& operation);

// ------------------------------------------------------------------ readers
// Every failure is a SerializationError carrying the first problem met in the
// order of reading; nothing of a failed read is returned. Unknown members
// are ignored.

// Also runs validate_referential_integrity and computes the state hash.
Result<KnowledgeState> state_from_json(const Json& value);
Result<Concept> concept_from_json(const Json& value);
Result<Relation> relation_from_json(const Json& value);
Result<StructureNode> structure_node_from_json(const Json& value);
Result<std::vector<EvidenceRef>> evidence_refs_from_json(const Json& value);

Result<std::vector<EvolutionRecord>> records_from_json(const Json& value);
Result<EvolutionRecord> record_from_json(const Json& value);
Result<EvolutionOperation> operation_from_json(const Json& value);
Result<OperationJustification> justification_from_json(const Json& value);

// Reads a state document straight from its text, without a tree, when it is
// in the shape the writers give it (members in byte order, lower-case
// hyphenated identifiers, no unknown members). Anything else, and any
// document state_from_json would refuse, gives nullopt: the caller then
// parses and reads it the usual way, which gives the exact failure. When it
// gives a state, that is the state (and hash) the usual way would give.
std::optional<KnowledgeState> try_read_state_text(std::string_view text);

// Field readers shared by both documents.
Result<std::string> str_field(const Json& object, std::string_view key);
// The member "confidence" as a float (any JSON number).
Result<double> f64_field(const Json& object);
Result<ConceptId> concept_id_from_json(const Json& value);
Result<StructureNodeId> structure_node_id_from_json(const Json& value);
Result<Hash> hash_from_value(const Json& value);

// Dangling relation ends, duplicate normalised terms among Active concepts,
// and DerivesFrom cycles (searched without recursion). Reads concepts and
// relations only.
Result<void> validate_referential_integrity(const KnowledgeState& state);

// A term in double quotes with \" \\ \n \r \t \0 and \u{hex} escapes for
// other non-printable characters and combining marks, as the duplicate-term
// finding shows it.
std::string debug_quoted(std::string_view text);

// --------------------------------------------------------------------- text

// Containers may nest at most this deep; a deeper document is refused before
// any tree is built for it, so neither the tree nor its printer runs deep.
inline constexpr std::size_t kMaxNesting = 127;

// Parses JSON text into a tree. On failure the error is the whole message,
// "invalid JSON: " and a description naming line and column. Never throws
// for any input. A leading byte order mark is refused, and "-0" reads as a
// float (negative zero), not as an integer.
std::expected<Json, std::string> parse_json(std::string_view text);

// Two spaces per level, one member or element per line, ": " after keys,
// "{}" and "[]" when empty, members in byte order, the system's float text
// (non-finite as null), no trailing newline.
std::string to_pretty_text(const Json& value);

// The documents as printed text.
std::string state_to_json_text(const KnowledgeState& state);
std::string records_to_json_text(std::span<const EvolutionRecord> records);

}  // namespace kelvora::exchange
