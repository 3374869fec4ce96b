#include "kelvora/records_document.hpp"

#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "document_text.hpp"
#include "kelvora/document_fields.hpp"
#include "kelvora/state_document.hpp"
#include "kelvora/timestamp_text.hpp"

namespace kelvora::exchange {
namespace {

// A required array member whose elements are read in order by `read`.
template <class T, class Read>
Result<std::vector<T>> required_array(const Json& object, std::string_view key,
                                      std::string_view missing, Read read) {
  const Json* value = member(object, key);
  const auto* items = value ? value->get_ptr<const Json::array_t*>() : nullptr;
  if (items == nullptr) return refuse(std::string(missing));
  std::vector<T> out;
  out.reserve(items->size());
  for (const Json& item : *items) {
    auto element = read(item);
    if (!element) return std::unexpected(std::move(element.error()));
    out.push_back(std::move(*element));
  }
  return out;
}

constexpr AgmType kAgmTypes[] = {AgmType::Expansion, AgmType::Revision, AgmType::Contraction};
constexpr OperationSource kSources[] = {
    OperationSource::UserExplicit, OperationSource::UserImplicit, OperationSource::SystemEnrichment,
    OperationSource::SystemRestructure};
constexpr RetractionReason kReasons[] = {
    RetractionReason::UserExplicit, RetractionReason::Contradiction, RetractionReason::Cascade};

Result<EvolutionOperation> read_assert(const Json& v) {
  const Json* concept_value = member(v, "concept");
  if (concept_value == nullptr) return refuse("missing concept");
  KELVORA_TRY(c, concept_from_json(*concept_value));
  return op::Assert{std::move(c)};
}

Result<EvolutionOperation> read_revise(const Json& v) {
  KELVORA_TRY(conflict_set, required_array<ConceptId>(v, "conflict_set", "missing conflict_set",
                                                      concept_id_from_json));
  KELVORA_TRY(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KELVORA_TRY(definition, str_field(v, "new_definition"));
  KELVORA_TRY(evidence, optional_evidence(v, "evidence"));
  return op::Revise{id, std::move(definition), std::move(conflict_set), std::move(evidence)};
}

Result<EvolutionOperation> read_retract(const Json& v) {
  KELVORA_TRY(reason, enum_field(v, "reason", kReasons, "unknown retraction reason: "));
  KELVORA_TRY(id, required_concept_id(v, "concept_id", "missing concept_id"));
  return op::Retract{id, reason};
}

Result<EvolutionOperation> read_relate(const Json& v) {
  const Json* relation = member(v, "relation");
  if (relation == nullptr) return refuse("missing relation");
  KELVORA_TRY(r, relation_from_json(*relation));
  return op::Relate{std::move(r)};
}

Result<EvolutionOperation> read_restructure(const Json& v) {
  KELVORA_TRY(nodes, required_array<StructureNode>(v, "new_nodes", "missing new_nodes",
                                                   structure_node_from_json));
  KELVORA_TRY(old_hash, required_hash(v, "old_structure_hash", "missing old_structure_hash"));
  KELVORA_TRY(justification, str_field(v, "justification"));
  return op::Restructure{old_hash, std::move(nodes), std::move(justification)};
}

Result<EvolutionOperation> read_refine(const Json& v) {
  KELVORA_TRY(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KELVORA_TRY(definition, str_field(v, "new_definition"));
  KELVORA_TRY(evidence, optional_evidence(v, "evidence"));
  return op::Refine{id, std::move(definition), std::move(evidence)};
}

Result<EvolutionOperation> read_merge(const Json& v) {
  KELVORA_TRY(ids, required_array<ConceptId>(v, "concept_ids", "missing concept_ids",
                                             concept_id_from_json));
  KELVORA_TRY(term, str_field(v, "merged_term"));
  KELVORA_TRY(definition, str_field(v, "merged_definition"));
  KELVORA_TRY(evidence, optional_evidence(v, "evidence"));
  return op::Merge{std::move(ids), std::move(term), std::move(definition), std::move(evidence)};
}

Result<EvolutionOperation> read_reinforce(const Json& v) {
  KELVORA_TRY(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KELVORA_TRY(evidence, optional_evidence(v, "evidence"));
  return op::Reinforce{id, std::move(evidence)};
}

Result<std::pair<std::string, std::string>> read_split_pair(const Json& item) {
  const Json* term = member(item, "term");
  if (term == nullptr || !term->is_string()) return refuse("missing term in new_concepts");
  const Json* definition = member(item, "definition");
  if (definition == nullptr || !definition->is_string()) {
    return refuse("missing definition in new_concepts");
  }
  return std::pair{*term->get_ptr<const std::string*>(),
                   *definition->get_ptr<const std::string*>()};
}

Result<EvolutionOperation> read_split(const Json& v) {
  KELVORA_TRY(pairs, (required_array<std::pair<std::string, std::string>>(
                         v, "new_concepts", "missing new_concepts", read_split_pair)));
  KELVORA_TRY(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KELVORA_TRY(evidence, optional_evidence(v, "evidence"));
  return op::Split{id, std::move(pairs), std::move(evidence)};
}

using OperationReader = Result<EvolutionOperation> (*)(const Json&);

struct OperationKind {
  std::string_view name;
  OperationReader read;
};

constexpr OperationKind kOperationKinds[] = {
    {"Assert", read_assert}, {"Revise", read_revise},           {"Retract", read_retract},
    {"Relate", read_relate}, {"Restructure", read_restructure}, {"Refine", read_refine},
    {"Merge", read_merge},   {"Reinforce", read_reinforce},     {"Split", read_split},
};

}  // namespace

Result<OperationJustification> justification_from_json(const Json& value) {
  OperationJustification j;
  KELVORA_TRY(agm_type, enum_field(value, "agm_type", kAgmTypes, "unknown agm_type: "));
  j.agm_type = agm_type;
  const Json* minimality = member(value, "minimality_score");
  const auto score = minimality ? number_value(*minimality) : std::nullopt;
  if (!score) return refuse_field("minimality_score");
  j.minimality_score = *score;
  if (const Json* s = member(value, "content_shift_score"))
    j.content_shift_score = number_value(*s);
  if (const Json* s = member(value, "structure_delta_score")) {
    j.structure_delta_score = number_value(*s);
  }
  KELVORA_TRY(evidence, optional_evidence(value, "evidence_refs"));
  j.evidence_refs = std::move(evidence);
  return j;
}

Result<EvolutionOperation> operation_from_json(const Json& value) {
  KELVORA_TRY(type, str_field(value, "type"));
  for (const auto& kind : kOperationKinds) {
    if (kind.name == type) return kind.read(value);
  }
  return refuse("unknown operation type: " + type);
}

Result<EvolutionRecord> record_from_json(const Json& value) {
  EvolutionRecord record;
  KELVORA_TRY(source, enum_field(value, "source", kSources, "unknown source: "));
  record.source = source;
  KELVORA_TRY(timestamp, timestamp_field(value, "timestamp"));
  record.timestamp = timestamp;

  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing record id");
  const auto* id_text = id->get_ptr<const std::string*>();
  if (id_text == nullptr) return refuse("expected string for record_id");
  KELVORA_TRY(uuid, parse_uuid(*id_text, "invalid uuid: "));
  record.id = RecordId{uuid};

  const Json* operation = member(value, "operation");
  if (operation == nullptr) return refuse("missing operation");
  KELVORA_TRY(op, operation_from_json(*operation));
  record.operation = std::move(op);

  KELVORA_TRY(prior, required_hash(value, "prior_state_hash", "missing prior_state_hash"));
  record.prior_state_hash = prior;
  KELVORA_TRY(resulting,
              required_hash(value, "resulting_state_hash", "missing resulting_state_hash"));
  record.resulting_state_hash = resulting;
  KELVORA_TRY(chain, required_hash(value, "chain_hash", "missing chain_hash"));
  record.chain_hash = chain;

  const Json* justification = member(value, "justification");
  if (justification == nullptr) return refuse("missing justification");
  KELVORA_TRY(j, justification_from_json(*justification));
  record.justification = std::move(j);
  return record;
}

Result<std::vector<EvolutionRecord>> records_from_json(const Json& value) {
  const auto* items = value.get_ptr<const Json::array_t*>();
  if (items == nullptr) return refuse("expected JSON array for records");
  std::vector<EvolutionRecord> records;
  records.reserve(items->size());
  for (const Json& item : *items) {
    KELVORA_TRY(record, record_from_json(item));
    records.push_back(std::move(record));
  }
  return records;
}

namespace {

template <class E>
void emit_optional_f64(E& e, const std::optional<double>& value) {
  if (value) {
    e.f64(*value);
  } else {
    e.lit("null");
  }
}

// The members of an operation object at `depth`, "type" among them in its
// place of the key order.
template <class E>
void emit_operation(E& e, const EvolutionOperation& operation, std::size_t depth) {
  text::Members m(e, depth);
  const std::size_t inner = depth + 2;
  std::visit(
      [&](const auto& o) {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, op::Assert>) {
          text::emit_concept(m("concept"), o.concept_, inner);
        } else if constexpr (std::is_same_v<T, op::Revise>) {
          m("concept_id").uuid(o.concept_id.uuid);
          text::emit_ids(m("conflict_set"), o.conflict_set, inner);
          text::emit_evidence(m("evidence"), o.evidence, inner);
          m("new_definition").str(o.new_definition);
        } else if constexpr (std::is_same_v<T, op::Retract>) {
          m("concept_id").uuid(o.concept_id.uuid);
          m("reason").str(name(o.reason));
        } else if constexpr (std::is_same_v<T, op::Relate>) {
          text::emit_relation(m("relation"), o.relation, inner);
        } else if constexpr (std::is_same_v<T, op::Restructure>) {
          m("justification").str(o.justification);
          text::Items nodes(m("new_nodes"), inner);
          for (const auto& node : o.new_nodes) {
            text::emit_structure_node(nodes.next(), node, inner + 2);
          }
          nodes.close();
          m("old_structure_hash").hex(o.old_structure_hash);
        } else if constexpr (std::is_same_v<T, op::Refine>) {
          m("concept_id").uuid(o.concept_id.uuid);
          text::emit_evidence(m("evidence"), o.evidence, inner);
          m("new_definition").str(o.new_definition);
        } else if constexpr (std::is_same_v<T, op::Merge>) {
          text::emit_ids(m("concept_ids"), o.concept_ids, inner);
          text::emit_evidence(m("evidence"), o.evidence, inner);
          m("merged_definition").str(o.merged_definition);
          m("merged_term").str(o.merged_term);
        } else if constexpr (std::is_same_v<T, op::Reinforce>) {
          m("concept_id").uuid(o.concept_id.uuid);
          text::emit_evidence(m("evidence"), o.evidence, inner);
        } else {
          static_assert(std::is_same_v<T, op::Split>);
          m("concept_id").uuid(o.concept_id.uuid);
          text::emit_evidence(m("evidence"), o.evidence, inner);
          text::Items pairs(m("new_concepts"), inner);
          for (const auto& [term, definition] : o.new_concepts) {
            text::Members pair(pairs.next(), inner + 2);
            pair("definition").str(definition);
            pair("term").str(term);
            pair.close();
          }
          pairs.close();
        }
      },
      operation);
  m("type").str(variant_name(operation));
  m.close();
}

template <class E>
void emit_justification(E& e, const OperationJustification& j, std::size_t depth) {
  text::Members m(e, depth);
  m("agm_type").str(name(j.agm_type));
  emit_optional_f64(m("content_shift_score"), j.content_shift_score);
  text::emit_evidence(m("evidence_refs"), j.evidence_refs, depth + 2);
  m("minimality_score").f64(j.minimality_score);
  emit_optional_f64(m("structure_delta_score"), j.structure_delta_score);
  m.close();
}

template <class E>
void emit_record(E& e, const EvolutionRecord& record, std::size_t depth) {
  text::Members m(e, depth);
  m("chain_hash").hex(record.chain_hash);
  m("id").uuid(record.id.uuid);
  emit_justification(m("justification"), record.justification, depth + 2);
  emit_operation(m("operation"), record.operation, depth + 2);
  m("prior_state_hash").hex(record.prior_state_hash);
  m("resulting_state_hash").hex(record.resulting_state_hash);
  m("source").str(name(record.source));
  m("timestamp").timestamp(record.timestamp);
  m.close();
}

}  // namespace

void write_records_text(std::span<const EvolutionRecord> records, serialization::PlaceText place,
                        void* context) {
  text::TextSink sink{place, context};
  if (records.empty()) {
    sink.raw("[]");
    return;
  }
  bool first = true;
  for (const EvolutionRecord& record : records) {
    sink.emit([&](auto& e) {
      e.ch(first ? '[' : ',');
      e.newline(2);
      emit_record(e, record, 2);
    });
    first = false;
  }
  sink.raw("\n]");
}

std::string records_to_json_text(std::span<const EvolutionRecord> records) {
  std::string out;
  write_records_text(records, text::place_in_string, &out);
  return out;
}

}  // namespace kelvora::exchange
