#include "kelvora/document_fields.hpp"

#include <limits>

#include "kelvora/timestamp_text.hpp"

namespace kelvora::exchange {

std::unexpected<EngineError> refuse(std::string message) {
  return fail(EngineError::serialization_error(std::move(message)));
}

std::unexpected<EngineError> refuse_field(std::string_view key) {
  return refuse("missing or invalid field: " + std::string(key));
}

Result<std::uint32_t> u32_field(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value != nullptr) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (const auto* u = value->get_ptr<const Json::number_unsigned_t*>(); u && *u <= kMax) {
      return static_cast<std::uint32_t>(*u);
    }
    // Trees built in code hold small integers as signed.
    if (const auto* i = value->get_ptr<const Json::number_integer_t*>();
        i && *i >= 0 && static_cast<std::uint64_t>(*i) <= kMax) {
      return static_cast<std::uint32_t>(*i);
    }
  }
  return refuse_field(key);
}

Result<Uuid> parse_uuid(std::string_view text, std::string_view context) {
  auto parsed = Uuid::parse_checked(text);
  if (!parsed) return refuse(std::string(context) + parsed.error());
  return *parsed;
}

Result<std::vector<EvidenceRef>> optional_evidence(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr) return std::vector<EvidenceRef>{};
  return evidence_refs_from_json(*value);
}

Result<ConceptId> required_concept_id(const Json& object, std::string_view key,
                                      std::string_view missing) {
  const Json* value = member(object, key);
  if (value == nullptr) return refuse(std::string(missing));
  return concept_id_from_json(*value);
}

Result<Hash> required_hash(const Json& object, std::string_view key, std::string_view missing) {
  const Json* value = member(object, key);
  if (value == nullptr) return refuse(std::string(missing));
  return hash_from_value(*value);
}

Result<Timestamp> timestamp_field(const Json& object, std::string_view key) {
  auto text = str_field(object, key);
  if (!text) return std::unexpected(std::move(text.error()));
  auto parsed = serialization::parse_rfc3339_checked(*text);
  if (!parsed) return refuse("invalid timestamp: " + parsed.error());
  return *parsed;
}

Result<std::string> str_field(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  const auto* text = value ? value->get_ptr<const std::string*>() : nullptr;
  if (text == nullptr) return refuse_field(key);
  return *text;
}

Result<double> f64_field(const Json& object) {
  const Json* value = member(object, "confidence");
  if (value != nullptr) {
    if (auto number = number_value(*value)) return *number;
  }
  return refuse_field("confidence");
}

Result<ConceptId> concept_id_from_json(const Json& value) {
  const auto* text = value.get_ptr<const std::string*>();
  if (text == nullptr) return refuse("expected string for concept_id");
  KELVORA_TRY(uuid, parse_uuid(*text, "invalid uuid: "));
  return ConceptId{uuid};
}

Result<StructureNodeId> structure_node_id_from_json(const Json& value) {
  const auto* text = value.get_ptr<const std::string*>();
  if (text == nullptr) return refuse("expected string for node_id");
  KELVORA_TRY(uuid, parse_uuid(*text, "invalid uuid: "));
  return StructureNodeId{uuid};
}

Result<Hash> hash_from_value(const Json& value) {
  const auto* text = value.get_ptr<const std::string*>();
  if (text == nullptr) return refuse("expected hex string for hash");
  auto hash = Hash::from_hex(*text);
  if (!hash) return refuse(std::move(hash.error()));
  return *hash;
}

Result<std::vector<EvidenceRef>> evidence_refs_from_json(const Json& value) {
  const auto* items = value.get_ptr<const Json::array_t*>();
  if (items == nullptr) return refuse("expected array for evidence_refs");
  std::vector<EvidenceRef> out;
  out.reserve(items->size());
  for (const Json& item : *items) {
    KELVORA_TRY(turn, u32_field(item, "turn_number"));
    KELVORA_TRY(excerpt, str_field(item, "text_excerpt"));
    out.push_back(EvidenceRef{turn, std::move(excerpt)});
  }
  return out;
}

}  // namespace kelvora::exchange
