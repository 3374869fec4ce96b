#include "kelvora/canonical.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <variant>

#include "kelvora/float_text.hpp"
#include "kelvora/timestamp_text.hpp"
#include "text_emitters.hpp"

namespace kelvora::serialization {

namespace {

void append_uuid(std::string& out, const Uuid& id) {
  const std::size_t at = out.size();
  out.resize(at + 36);
  put_uuid(out.data() + at, id);
}

void write_uuid(std::string& out, const Uuid& id) {
  out.push_back('"');
  append_uuid(out, id);
  out.push_back('"');
}

template <class U>
void write_uint(std::string& out, U value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void write_name(std::string& out, std::string_view name) {
  out.push_back('"');
  out.append(name);
  out.push_back('"');
}

template <class IdT>
void write_id_list(std::string& out, const std::vector<IdT>& ids) {
  out.push_back('[');
  bool first = true;
  for (const auto& id : ids) {
    if (!first) out.push_back(',');
    first = false;
    write_uuid(out, id.uuid);
  }
  out.push_back(']');
}

template <class E>
void emit_evidence(E& e, const std::vector<EvidenceRef>& evidence) {
  e.ch('[');
  bool first = true;
  for (const EvidenceRef& ref : evidence) {
    if (!first) e.ch(',');
    first = false;
    e.lit("{\"turn_number\":");
    e.uint(ref.turn_number);
    e.lit(",\"text_excerpt\":");
    e.str(ref.text_excerpt);
    e.ch('}');
  }
  e.ch(']');
}

template <class E>
void emit_hash(E& e, const Hash& hash) {
  e.ch('[');
  for (std::size_t i = 0; i < hash.bytes.size(); ++i) {
    if (i != 0) e.ch(',');
    e.uint(hash.bytes[i]);
  }
  e.ch(']');
}

template <class E, class IdT>
void emit_id_list(E& e, const std::vector<IdT>& ids) {
  e.ch('[');
  bool first = true;
  for (const auto& id : ids) {
    if (!first) e.ch(',');
    first = false;
    e.uuid(id.uuid);
  }
  e.ch(']');
}

template <class E>
void emit_name(E& e, std::string_view name) {
  e.ch('"');
  e.raw(name);
  e.ch('"');
}

template <class E>
void emit_concept(E& e, const Concept& c, const Piece& confidence, const Piece& created_at) {
  e.lit("{\"id\":");
  e.uuid(c.id.uuid);
  e.lit(",\"term\":");
  e.str(c.term);
  e.lit(",\"definition\":");
  e.str(c.definition);
  e.lit(",\"confidence\":");
  e.raw(confidence.view());
  e.lit(",\"status\":");
  emit_name(e, name(c.status));
  e.lit(",\"created_at\":");
  e.raw(created_at.view());
  e.lit(",\"source_evidence\":");
  emit_evidence(e, c.source_evidence);
  e.ch('}');
}

template <class E>
void emit_relation(E& e, const Relation& r, const Piece& confidence,
                   const std::optional<Piece>& classification) {
  e.lit("{\"id\":");
  e.uuid(r.id.uuid);
  e.lit(",\"from_concept\":");
  e.uuid(r.from_concept.uuid);
  e.lit(",\"to_concept\":");
  e.uuid(r.to_concept.uuid);
  e.lit(",\"relation_type\":");
  emit_name(e, name(r.relation_type));
  e.lit(",\"evidence\":");
  emit_evidence(e, r.evidence);
  e.lit(",\"confidence\":");
  e.raw(confidence.view());
  if (r.source_document) {
    e.lit(",\"source_document\":");
    e.str(*r.source_document);
  }
  if (classification) {
    e.lit(",\"classification_confidence\":");
    e.raw(classification->view());
  }
  e.ch('}');
}

template <class E>
void emit_structure_node(E& e, const StructureNode& n) {
  e.lit("{\"id\":");
  e.uuid(n.id.uuid);
  e.lit(",\"title\":");
  e.str(n.title);
  e.lit(",\"node_type\":");
  e.str(n.node_type);
  e.lit(",\"parent\":");
  if (n.parent) {
    e.uuid(n.parent->uuid);
  } else {
    e.lit("null");
  }
  e.lit(",\"position\":");
  e.uint(n.position);
  e.lit(",\"content_hash\":");
  emit_hash(e, n.content_hash);
  e.lit(",\"concept_refs\":");
  emit_id_list(e, n.concept_refs);
  e.ch('}');
}

}  // namespace

void write_string(std::string& out, std::string_view text) {
  emit_sized(out, [&](auto& e) { e.str(text); });
}

void write_f64(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null", 4);
    return;
  }
  char buf[kF64JsonTextSize];
  out.append(buf, put_f64_json(buf, value));
}

void write_hash(std::string& out, const Hash& hash) {
  emit_sized(out, [&](auto& e) { emit_hash(e, hash); });
}

void write_timestamp(std::string& out, Timestamp ts) {
  char buf[kTimestampTextSize];
  out.push_back('"');
  out.append(buf, put_timestamp(buf, ts, /*zulu=*/true));
  out.push_back('"');
}

void write_evidence(std::string& out, const std::vector<EvidenceRef>& evidence) {
  emit_sized(out, [&](auto& e) { emit_evidence(e, evidence); });
}

void write_concept(std::string& out, const Concept& c, bool normalize_zero) {
  const Piece confidence = f64_piece(c.confidence, normalize_zero);
  const Piece created_at = timestamp_piece(c.created_at, /*zulu=*/true);
  emit_sized(out, [&](auto& e) { emit_concept(e, c, confidence, created_at); });
}

void write_relation(std::string& out, const Relation& r, bool normalize_zero) {
  const Piece confidence = f64_piece(r.confidence, normalize_zero);
  std::optional<Piece> classification;
  if (r.classification_confidence) {
    classification = f64_piece(*r.classification_confidence, normalize_zero);
  }
  emit_sized(out, [&](auto& e) { emit_relation(e, r, confidence, classification); });
}

void write_structure_node(std::string& out, const StructureNode& n) {
  emit_sized(out, [&](auto& e) { emit_structure_node(e, n); });
}

namespace {
// `"<key>":` and the object `body` emits, placed by `place`.
template <class Body>
void emit_member(const Uuid& key, PlaceText place, void* context, Body&& body) {
  emit_placed([&](std::size_t n) { return place(context, n); },
              [&](auto& e) {
                e.uuid(key);
                e.ch(':');
                body(e);
              });
}
}  // namespace

void write_member(const Uuid& key, const Concept& c, PlaceText place, void* context) {
  const Piece confidence = f64_piece(c.confidence, /*normalize_zero=*/true);
  const Piece created_at = timestamp_piece(c.created_at, /*zulu=*/true);
  emit_member(key, place, context, [&](auto& e) { emit_concept(e, c, confidence, created_at); });
}

void write_member(const Uuid& key, const Relation& r, PlaceText place, void* context) {
  const Piece confidence = f64_piece(r.confidence, /*normalize_zero=*/true);
  std::optional<Piece> classification;
  if (r.classification_confidence) {
    classification = f64_piece(*r.classification_confidence, /*normalize_zero=*/true);
  }
  emit_member(key, place, context,
              [&](auto& e) { emit_relation(e, r, confidence, classification); });
}

void write_member(const Uuid& key, const StructureNode& n, PlaceText place, void* context) {
  emit_member(key, place, context, [&](auto& e) { emit_structure_node(e, n); });
}

void write_operation(std::string& out, const EvolutionOperation& operation) {
  out.append("{\"");
  out.append(variant_name(operation));
  out.append("\":");
  std::visit(
      [&out](const auto& op) {
        using T = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<T, op::Assert>) {
          out.append("{\"concept\":");
          write_concept(out, op.concept_, false);
        } else if constexpr (std::is_same_v<T, op::Revise>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"new_definition\":");
          write_string(out, op.new_definition);
          out.append(",\"conflict_set\":");
          write_id_list(out, op.conflict_set);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else if constexpr (std::is_same_v<T, op::Retract>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"reason\":");
          write_name(out, name(op.reason));
        } else if constexpr (std::is_same_v<T, op::Relate>) {
          out.append("{\"relation\":");
          write_relation(out, op.relation, false);
        } else if constexpr (std::is_same_v<T, op::Restructure>) {
          out.append("{\"old_structure_hash\":");
          write_hash(out, op.old_structure_hash);
          out.append(",\"new_nodes\":[");
          bool first = true;
          for (const StructureNode& n : op.new_nodes) {
            if (!first) out.push_back(',');
            first = false;
            write_structure_node(out, n);
          }
          out.append("],\"justification\":");
          write_string(out, op.justification);
        } else if constexpr (std::is_same_v<T, op::Refine>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"new_definition\":");
          write_string(out, op.new_definition);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else if constexpr (std::is_same_v<T, op::Merge>) {
          out.append("{\"concept_ids\":");
          write_id_list(out, op.concept_ids);
          out.append(",\"merged_term\":");
          write_string(out, op.merged_term);
          out.append(",\"merged_definition\":");
          write_string(out, op.merged_definition);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else if constexpr (std::is_same_v<T, op::Reinforce>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else {
          static_assert(std::is_same_v<T, op::Split>);
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"new_concepts\":[");
          bool first = true;
          for (const auto& [term, definition] : op.new_concepts) {
            if (!first) out.push_back(',');
            first = false;
            out.push_back('[');
            write_string(out, term);
            out.push_back(',');
            write_string(out, definition);
            out.push_back(']');
          }
          out.append("],\"evidence\":");
          write_evidence(out, op.evidence);
        }
      },
      operation);
  out.append("}}");
}

void write_justification(std::string& out, const OperationJustification& j) {
  out.append("{\"agm_type\":");
  write_name(out, name(j.agm_type));
  out.append(",\"minimality_score\":");
  write_f64(out, j.minimality_score);
  out.append(",\"content_shift_score\":");
  if (j.content_shift_score) {
    write_f64(out, *j.content_shift_score);
  } else {
    out.append("null", 4);
  }
  out.append(",\"structure_delta_score\":");
  if (j.structure_delta_score) {
    write_f64(out, *j.structure_delta_score);
  } else {
    out.append("null", 4);
  }
  out.append(",\"evidence_refs\":");
  write_evidence(out, j.evidence_refs);
  out.push_back('}');
}

}  // namespace kelvora::serialization
