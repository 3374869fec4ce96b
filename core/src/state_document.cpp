#include "kelvora/state_document.hpp"

#include <string_view>
#include <utility>

#include "document_text.hpp"
#include "kelvora/document_fields.hpp"
#include "kelvora/integrity.hpp"
#include "kelvora/state_hash.hpp"
#include "kelvora/timestamp_text.hpp"
#include "member_walk.hpp"

namespace kelvora::exchange {
Result<Concept> concept_from_json(const Json& value) {
  Concept c;
  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing concept id");
  KELVORA_TRY(concept_id, concept_id_from_json(*id));
  c.id = concept_id;
  KELVORA_TRY(status, enum_field(value, "status", kStatuses, "unknown status: "));
  c.status = status;
  KELVORA_TRY(created_at, timestamp_field(value, "created_at"));
  c.created_at = created_at;
  KELVORA_TRY(evidence, optional_evidence(value, "source_evidence"));
  c.source_evidence = std::move(evidence);
  KELVORA_TRY(term, str_field(value, "term"));
  c.term = std::move(term);
  KELVORA_TRY(definition, str_field(value, "definition"));
  c.definition = std::move(definition);
  KELVORA_TRY(confidence, f64_field(value));
  c.confidence = confidence;
  return c;
}

Result<Relation> relation_from_json(const Json& value) {
  Relation r;
  KELVORA_TRY(type_text, str_field(value, "relation_type"));
  const auto type = relation_type::from_wire_str(type_text);
  if (!type) return refuse("unknown relation_type: " + type_text);
  r.relation_type = *type;

  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing relation id");
  const auto* id_text = id->get_ptr<const std::string*>();
  if (id_text == nullptr) return refuse("expected string for relation_id");
  KELVORA_TRY(uuid, parse_uuid(*id_text, "invalid uuid: "));
  r.id = RelationId{uuid};

  KELVORA_TRY(from, required_concept_id(value, "from_concept", "missing from_concept"));
  r.from_concept = from;
  KELVORA_TRY(to, required_concept_id(value, "to_concept", "missing to_concept"));
  r.to_concept = to;
  KELVORA_TRY(evidence, optional_evidence(value, "evidence"));
  r.evidence = std::move(evidence);
  KELVORA_TRY(confidence, f64_field(value));
  r.confidence = confidence;
  // Both optional members fall back to absent for any other type.
  if (const Json* doc = member(value, "source_document")) {
    if (const auto* text = doc->get_ptr<const std::string*>()) r.source_document = *text;
  }
  if (const Json* cc = member(value, "classification_confidence")) {
    r.classification_confidence = number_value(*cc);
  }
  return r;
}

Result<StructureNode> structure_node_from_json(const Json& value) {
  StructureNode node;
  if (const Json* parent = member(value, "parent"); parent != nullptr && !parent->is_null()) {
    KELVORA_TRY(parent_id, structure_node_id_from_json(*parent));
    node.parent = parent_id;
  }
  if (const Json* refs = member(value, "concept_refs")) {
    if (const auto* items = refs->get_ptr<const Json::array_t*>()) {
      node.concept_refs.reserve(items->size());
      for (const Json& item : *items) {
        KELVORA_TRY(ref, concept_id_from_json(item));
        node.concept_refs.push_back(ref);
      }
    }
  }
  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing node id");
  KELVORA_TRY(node_id, structure_node_id_from_json(*id));
  node.id = node_id;
  KELVORA_TRY(title, str_field(value, "title"));
  node.title = std::move(title);
  KELVORA_TRY(node_type, str_field(value, "node_type"));
  node.node_type = std::move(node_type);
  KELVORA_TRY(position, u32_field(value, "position"));
  node.position = position;
  KELVORA_TRY(content_hash, required_hash(value, "content_hash", "missing content_hash"));
  node.content_hash = content_hash;
  return node;
}

namespace {

// Reads one map member of the state document: the member name is the key
// the entry is stored under; a later name for the same id replaces it.
template <class Id, class T, class Map, class Read>
Result<void> read_map(const Json& document, std::string_view key, std::string_view missing,
                      std::string_view bad_key, Read read, Map& out) {
  const Json* value = member(document, key);
  const auto* members = value ? value->get_ptr<const Json::object_t*>() : nullptr;
  if (members == nullptr) return refuse(std::string(missing));
  for (const auto& [name_text, item] : *members) {
    KELVORA_TRY(uuid, parse_uuid(name_text, bad_key));
    KELVORA_TRY(entry, read(item));
    out.insert_or_assign(Id{uuid}, Entry<T>(std::move(entry)));
  }
  return {};
}

}  // namespace

Result<KnowledgeState> state_from_json(const Json& value) {
  KnowledgeState state;
  if (auto r =
          read_map<ConceptId, Concept>(value, "concepts", "missing or invalid concepts",
                                       "invalid concept id: ", concept_from_json, state.concepts);
      !r) {
    return std::unexpected(std::move(r.error()));
  }
  if (auto r = read_map<RelationId, Relation>(value, "relations", "missing or invalid relations",
                                              "invalid relation id: ", relation_from_json,
                                              state.relations);
      !r) {
    return std::unexpected(std::move(r.error()));
  }
  if (auto r = read_map<StructureNodeId, StructureNode>(
          value, "structure", "missing or invalid structure",
          "invalid node id: ", structure_node_from_json, state.structure);
      !r) {
    return std::unexpected(std::move(r.error()));
  }
  if (auto r = validate_referential_integrity(state); !r) {
    return std::unexpected(std::move(r.error()));
  }
  (void)state.state_hash();  // computed once here and kept with the state
  return state;
}

namespace {

// An identifier-keyed map as an object at depth 2: each entry `"<key>": {...}`
// at depth 4, keyed by its map key, in identifier order, which is key order.
template <class Map, class Emit>
void write_map(text::TextSink& sink, const Map& map, Emit emit) {
  if (map.empty()) {
    sink.raw("{}");
    return;
  }
  bool first = true;
  serialization::for_each_prefetched(map, [&](const auto& id, const auto& entry) {
    sink.emit([&](auto& e) {
      e.ch(first ? '{' : ',');
      e.newline(4);
      e.uuid(id.uuid);
      e.lit(": ");
      emit(e, *entry, 4);
    });
    first = false;
  });
  sink.raw("\n  }");
}

}  // namespace

void write_state_text(const KnowledgeState& state, serialization::PlaceText place, void* context) {
  text::TextSink sink{place, context};
  sink.raw("{\n  \"concepts\": ");
  write_map(sink, state.concepts,
            [](auto& e, const Concept& c, std::size_t depth) { text::emit_concept(e, c, depth); });
  sink.raw(",\n  \"relations\": ");
  write_map(sink, state.relations, [](auto& e, const Relation& r, std::size_t depth) {
    text::emit_relation(e, r, depth);
  });
  sink.raw(",\n  \"state_hash\": \"");
  sink.raw(state.state_hash().to_hex());  // computed once per state
  sink.raw("\",\n  \"structure\": ");
  write_map(sink, state.structure, [](auto& e, const StructureNode& n, std::size_t depth) {
    text::emit_structure_node(e, n, depth);
  });
  sink.raw("\n}");
}

std::string state_to_json_text(const KnowledgeState& state) {
  std::string out;
  write_state_text(state, text::place_in_string, &out);
  return out;
}

}  // namespace kelvora::exchange
