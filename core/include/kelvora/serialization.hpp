// Canonical JSON (the bytes every hash is taken over), SHA-256, derived
// identifiers, and the text forms of floats and time stamps.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kelvora/knowledge_state.hpp"
#include "kelvora/sha256.hpp"
#include "kelvora/types.hpp"

namespace kelvora::serialization {

// The canonical state text: {"concepts":{...},"relations":{...},"structure":{...}}.
std::string canonical_serialize(const KnowledgeState& state);
// SHA-256 of the canonical state text (uncached; KnowledgeState::state_hash caches it).
Hash state_hash(const KnowledgeState& state);
// SHA-256 midstates of a state's text at the start of each chunk of its maps.
// Kept with a state, so that a state sharing leading chunks with it hashes
// only from the first chunk that differs.
class HashTrail;

struct TrailedHash {
  Hash hash;
  std::shared_ptr<const HashTrail> trail;
};
// state_hash, resumed after the leading chunks `state` shares with the state
// `prior` was made for (from the start when null), and the trail of `state`.
// Chunks are matched by identity: the state `prior` belongs to must be alive
// and unchanged.
TrailedHash state_hash_trailed(const KnowledgeState& state, const HashTrail* prior);

// ---- canonical writer pieces, each appending to `out` (compact JSON) ----
void write_string(std::string& out, std::string_view text);
// The float text; non-finite values as null.
void write_f64(std::string& out, double value);
void write_hash(std::string& out, const Hash& hash);  // array of 32 numbers
void write_timestamp(std::string& out, Timestamp ts);  // JSON string, ends in Z
void write_evidence(std::string& out, const std::vector<EvidenceRef>& evidence);
// Full objects in declared field order. In the state text, zero confidences are
// written as positive zero (`normalize_zero`); operation payloads keep values.
void write_concept(std::string& out, const Concept& concept_value, bool normalize_zero);
void write_relation(std::string& out, const Relation& relation, bool normalize_zero);
void write_structure_node(std::string& out, const StructureNode& node);
void write_structure_map(std::string& out, const StructureMap& structure);
// The member text `"<key>":{...}` of a state entry (zero confidences written
// as positive zero), written into the storage `place(context, size)` returns
// for its exact size.
using PlaceText = char* (*)(void* context, std::size_t size);
void write_member(const Uuid& key, const Concept& value, PlaceText place, void* context);
void write_member(const Uuid& key, const Relation& value, PlaceText place, void* context);
void write_member(const Uuid& key, const StructureNode& value, PlaceText place, void* context);
void write_operation(std::string& out, const EvolutionOperation& operation);
void write_justification(std::string& out, const OperationJustification& justification);

// ---- text forms ----
// The float text of JSON: shortest round trip, ".0" on whole numbers, exponent
// form outside decimal exponents -5..15 (1e+16, 1.5e-7). Finite values only.
std::string format_f64(double value);
// The float form of messages: shortest round trip, never exponent, no ".0"
// on whole numbers; NaN, inf, -inf.
std::string format_f64_display(double value);
// ISO 8601 ending in Z, fraction in 0/3/6/9 digits (hashed JSON).
std::string format_timestamp_z(Timestamp ts);
// RFC 3339 with offset +00:00, same fraction rule (documents, dicts, PROV-JSON).
std::string format_timestamp_rfc3339(Timestamp ts);
// Strict RFC 3339 with any offset, converted to UTC (chrono's
// DateTime::parse_from_rfc3339: "T", "t" or a space between date and time,
// "Z" or "z" or +hh:mm / -hh:mm / U+2212 hh:mm up to 23:59; 4-digit year;
// any number of fraction digits, the first 9 kept).
std::optional<Timestamp> parse_rfc3339(std::string_view text);
// The relaxed RFC 3339 form accepted for callers' own time stamps (chrono's
// `str::parse::<DateTime<Utc>>`): as above, plus white space before every
// number and around the separators, 1- or 2-digit fields, a signed year of
// any length, "UTC" (any case) as an offset, +hhmm / "+hh mm" offsets up to
// 99:59, and trailing white space.
std::optional<Timestamp> parse_rfc3339_relaxed(std::string_view text);
// The same two parses with chrono's error text on failure: "input is out of
// range", "input contains invalid characters", "premature end of input",
// "trailing input".
std::expected<Timestamp, std::string> parse_rfc3339_checked(std::string_view text);
std::expected<Timestamp, std::string> parse_rfc3339_relaxed_checked(std::string_view text);

// Reads a JSON number text the way the document readers do.
std::optional<double> parse_f64(std::string_view text);

}  // namespace kelvora::serialization
