// The pieces both JSON documents are read with: member access and the field
// readers (each failure a SerializationError with the reader's fixed text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvora/error.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/types.hpp"

namespace kelvora::exchange {

// Field readers shared by both documents.
Result<std::string> str_field(const Json& object, std::string_view key);
// The member "confidence" as a float (any JSON number).
Result<double> f64_field(const Json& object);
Result<ConceptId> concept_id_from_json(const Json& value);
Result<StructureNodeId> structure_node_id_from_json(const Json& value);
Result<Hash> hash_from_value(const Json& value);
Result<std::vector<EvidenceRef>> evidence_refs_from_json(const Json& value);

// A SerializationError with `message`.
std::unexpected<EngineError> refuse(std::string message);
// "missing or invalid field: <key>".
std::unexpected<EngineError> refuse_field(std::string_view key);

// The member named `key`, or null when `object` is not an object or lacks it.
inline const Json* member(const Json& object, std::string_view key) {
  const auto* members = object.get_ptr<const Json::object_t*>();
  if (members == nullptr) return nullptr;
  const auto it = members->find(key);
  return it == members->end() ? nullptr : &it->second;
}

// Any JSON number as the nearest float.
inline std::optional<double> number_value(const Json& value) {
  if (const auto* u = value.get_ptr<const Json::number_unsigned_t*>())
    return static_cast<double>(*u);
  if (const auto* i = value.get_ptr<const Json::number_integer_t*>())
    return static_cast<double>(*i);
  if (const auto* f = value.get_ptr<const Json::number_float_t*>()) return *f;
  return std::nullopt;
}

// A non-negative JSON integer that fits 32 bits; larger values are refused
// rather than cut to their low bits.
Result<std::uint32_t> u32_field(const Json& object, std::string_view key);
// An identifier, with `context` before the parser's text on failure.
Result<Uuid> parse_uuid(std::string_view text, std::string_view context);
// An optional evidence member: absent gives an empty list; present (null
// included) must be an array.
Result<std::vector<EvidenceRef>> optional_evidence(const Json& object, std::string_view key);
// A required concept id member: absent gives `missing`.
Result<ConceptId> required_concept_id(const Json& object, std::string_view key,
                                      std::string_view missing);
// A required hash member: absent gives `missing`.
Result<Hash> required_hash(const Json& object, std::string_view key, std::string_view missing);
// A string member holding a strict RFC 3339 time stamp.
Result<Timestamp> timestamp_field(const Json& object, std::string_view key);

// The enumeration value whose name is `text`, exact case.
template <class E, std::size_t N>
std::optional<E> enum_from_name(std::string_view text, const E (&values)[N]) {
  for (E v : values) {
    if (name(v) == text) return v;
  }
  return std::nullopt;
}

// The statuses a concept member may name.
inline constexpr ConceptStatus kStatuses[] = {ConceptStatus::Active, ConceptStatus::Superseded,
                                              ConceptStatus::Coexisting};

// A string member naming one of `values`; another name gives `unknown` and
// the name.
template <class E, std::size_t N>
Result<E> enum_field(const Json& object, std::string_view key, const E (&values)[N],
                     std::string_view unknown) {
  auto text = str_field(object, key);
  if (!text) return std::unexpected(std::move(text.error()));
  if (auto v = enum_from_name(*text, values)) return *v;
  return refuse(std::string(unknown) + *text);
}

}  // namespace kelvora::exchange
