// The engine's value types: identifiers, hashes, time stamps, concepts,
// relations, structure nodes, operations and records. The shared entries a
// state holds them in are in entry.hpp, the state itself in knowledge_state.hpp.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <cstring>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "kelvora/error.hpp"

namespace kelvora {

// ---------------------------------------------------------------- identifiers

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // A random version-4 UUID from the OS's random source.
  static Uuid random_v4();
  // Hyphenated, simple (32 digits), braced and "urn:uuid:" forms, either case.
  static std::optional<Uuid> parse(std::string_view text);
  // The same parse with the reason on failure, naming what is wrong where:
  // "invalid character: ...", "invalid length: ...", "invalid group count:
  // ...", "invalid group length in group ...", "non-UTF8 input".
  static std::expected<Uuid, std::string> parse_checked(std::string_view text);
  // 36 characters, lower-case, 8-4-4-4-12.
  std::string to_string() const;

  // Byte-wise unsigned comparison == big-endian number order == text order
  // (two 64-bit big-endian halves: the order every identifier map walks in).
  friend std::strong_ordering operator<=>(const Uuid& a, const Uuid& b) {
    const std::uint64_t ah = big_endian_half(a, 0), bh = big_endian_half(b, 0);
    if (ah != bh) return ah <=> bh;
    return big_endian_half(a, 8) <=> big_endian_half(b, 8);
  }
  friend bool operator==(const Uuid& a, const Uuid& b) {
    std::uint64_t x[2], y[2];
    std::memcpy(x, a.bytes.data(), 16);
    std::memcpy(y, b.bytes.data(), 16);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
  }

  // Bytes at..at+7 as one big-endian number (one load and a byte swap).
  static std::uint64_t big_endian_half(const Uuid& u, std::size_t at) {
    std::uint64_t v = 0;
    std::memcpy(&v, u.bytes.data() + at, 8);
    if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
    return v;
  }
};

// One strongly typed identifier per kind of entry; the four never mix.
template <class Tag>
struct Id {
  Uuid uuid;

  static Id random() { return Id{Uuid::random_v4()}; }
  std::string to_string() const { return uuid.to_string(); }

  friend auto operator<=>(const Id&, const Id&) = default;
  friend bool operator==(const Id&, const Id&) = default;
};

struct ConceptTag {};
struct RelationTag {};
struct StructureNodeTag {};
struct RecordTag {};
using ConceptId = Id<ConceptTag>;
using RelationId = Id<RelationTag>;
using StructureNodeId = Id<StructureNodeTag>;
using RecordId = Id<RecordTag>;

// "StructureNodeId(<uuid>)"; optional: "Some(StructureNodeId(<uuid>))" or "None".
std::string debug_string(const StructureNodeId& id);
std::string debug_string(const std::optional<StructureNodeId>& id);

// ----------------------------------------------------------------------- hash

struct Hash {
  std::array<std::uint8_t, 32> bytes{};

  static Hash zero() { return Hash{}; }
  std::string to_hex() const;
  // Exactly 64 hex digits of either case; the error is the message text.
  static std::expected<Hash, std::string> from_hex(std::string_view text);

  friend auto operator<=>(const Hash&, const Hash&) = default;
  friend bool operator==(const Hash&, const Hash&) = default;
};

// ----------------------------------------------------------------- time stamp

// A UTC instant with nanosecond resolution. Seconds are counted from the Unix
// epoch; the range is wide enough for every year a document may carry.
// A leap second read from text (":60") is kept as second 59 with nanos of
// 1'000'000'000 or more, so that it orders after every other instant of
// second 59; it prints back as ":60". Every other value has nanos in
// 0..999'999'999.
struct Timestamp {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;  // 0..999'999'999 (1'999'999'999 for a leap second)

  static Timestamp now();

  friend auto operator<=>(const Timestamp&, const Timestamp&) = default;
  friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

// -------------------------------------------------------------- enumerations

enum class ConceptStatus : std::uint8_t { Active, Superseded, Coexisting };

enum class RelationType : std::uint8_t {
  DerivesFrom,
  Contradicts,
  Exemplifies,
  Tension,
  Subsumes,
  Enables,
  Supports,
  Explains,
  Extends,
  Qualifies,
  Contrasts,
  Motivates,
  Necessitates,
  Operationalizes,
  Reframes,
  Completes,
  Independent,
};
inline constexpr int kRelationTypeCount = 17;

enum class AgmType : std::uint8_t { Expansion, Revision, Contraction };

enum class OperationSource : std::uint8_t {
  UserExplicit,
  UserImplicit,
  SystemEnrichment,
  SystemRestructure,
};

enum class RetractionReason : std::uint8_t { UserExplicit, Contradiction, Cascade };

// The PascalCase variant name: the only text form of each enumeration (its
// debug form, its canonical JSON value and its document value).
std::string_view name(ConceptStatus v);
std::string_view name(RelationType v);
std::string_view name(AgmType v);
std::string_view name(OperationSource v);
std::string_view name(RetractionReason v);

namespace relation_type {
// PascalCase first, then snake_case, variant by variant; case-sensitive.
std::optional<RelationType> from_wire_str(std::string_view text);
// The snake_case name.
std::string_view canonical_str(RelationType v);
// Indices 0..10 of the 11-class detector map to Supports..Independent.
std::optional<RelationType> from_detector_index(std::int64_t index);
}  // namespace relation_type

// ------------------------------------------------------------------- entries

struct EvidenceRef {
  std::uint32_t turn_number = 0;
  std::string text_excerpt;

  friend bool operator==(const EvidenceRef&, const EvidenceRef&) = default;
};

struct Concept {
  ConceptId id;
  std::string term;
  std::string definition;
  double confidence = 1.0;
  ConceptStatus status = ConceptStatus::Active;
  Timestamp created_at;
  std::vector<EvidenceRef> source_evidence;

  // A fresh id (drawn first), confidence 1.0, Active, created now, no evidence.
  static Concept create(std::string term, std::string definition);

  // Field by field; floats as numbers (0.0 == -0.0, NaN equals nothing).
  friend bool operator==(const Concept&, const Concept&) = default;
};

struct Relation {
  RelationId id;
  ConceptId from_concept;
  ConceptId to_concept;
  RelationType relation_type = RelationType::DerivesFrom;
  std::vector<EvidenceRef> evidence;
  double confidence = 1.0;
  std::optional<std::string> source_document;
  std::optional<double> classification_confidence;

  friend bool operator==(const Relation&, const Relation&) = default;
};

struct StructureNode {
  StructureNodeId id;
  std::string title;
  std::string node_type;
  std::optional<StructureNodeId> parent;
  std::uint32_t position = 0;
  Hash content_hash;
  std::vector<ConceptId> concept_refs;

  friend bool operator==(const StructureNode&, const StructureNode&) = default;
};

// ---------------------------------------------------------------- operations

namespace op {
struct Assert {
  Concept concept_;  // "concept" in JSON (the word is a C++20 keyword)
  friend bool operator==(const Assert&, const Assert&) = default;
};
struct Revise {
  ConceptId concept_id;
  std::string new_definition;
  std::vector<ConceptId> conflict_set;
  std::vector<EvidenceRef> evidence;
  friend bool operator==(const Revise&, const Revise&) = default;
};
struct Retract {
  ConceptId concept_id;
  RetractionReason reason = RetractionReason::UserExplicit;
  friend bool operator==(const Retract&, const Retract&) = default;
};
struct Relate {
  Relation relation;
  friend bool operator==(const Relate&, const Relate&) = default;
};
struct Restructure {
  Hash old_structure_hash;
  std::vector<StructureNode> new_nodes;
  std::string justification;
  friend bool operator==(const Restructure&, const Restructure&) = default;
};
struct Refine {
  ConceptId concept_id;
  std::string new_definition;
  std::vector<EvidenceRef> evidence;
  friend bool operator==(const Refine&, const Refine&) = default;
};
struct Merge {
  std::vector<ConceptId> concept_ids;
  std::string merged_term;
  std::string merged_definition;
  std::vector<EvidenceRef> evidence;
  friend bool operator==(const Merge&, const Merge&) = default;
};
struct Reinforce {
  ConceptId concept_id;
  std::vector<EvidenceRef> evidence;
  friend bool operator==(const Reinforce&, const Reinforce&) = default;
};
struct Split {
  ConceptId concept_id;
  std::vector<std::pair<std::string, std::string>> new_concepts;  // (term, definition)
  std::vector<EvidenceRef> evidence;
  friend bool operator==(const Split&, const Split&) = default;
};
}  // namespace op

// The nine operations, in their declared order (variant index == order).
using EvolutionOperation =
    std::variant<op::Assert, op::Revise, op::Retract, op::Relate, op::Restructure, op::Refine,
                 op::Merge, op::Reinforce, op::Split>;

// "Assert", "Revise", ...: canonical JSON key and the document's "type".
std::string_view variant_name(const EvolutionOperation& operation);
// "assert", "revise", ...: the kind name of dicts, reports and provenance.
std::string_view kind_name(const EvolutionOperation& operation);
// The fixed AGM class of each operation kind.
AgmType agm_type_of(const EvolutionOperation& operation);

// ------------------------------------------------------------------- records

struct OperationJustification {
  AgmType agm_type = AgmType::Expansion;
  double minimality_score = 0.0;
  std::optional<double> content_shift_score;
  std::optional<double> structure_delta_score;
  std::vector<EvidenceRef> evidence_refs;
};

struct EvolutionRecord {
  RecordId id;
  EvolutionOperation operation;
  Timestamp timestamp;
  OperationSource source = OperationSource::UserExplicit;
  Hash prior_state_hash;
  Hash resulting_state_hash;
  Hash chain_hash;
  OperationJustification justification;
};

}  // namespace kelvora
