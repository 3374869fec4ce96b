// Record dicts: the read-only picture of a record that Python sees, built
// afresh on every call.
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "kelvora/timestamp_text.hpp"
#include "knowledge_state.hpp"
#include "py_util.hpp"

namespace kelvora::py {

// ------------------------------------------------------------ record dicts

namespace {

template <class Tag>
std::string text(const Id<Tag>& id) {
  return id.to_string();
}

template <class Tag>
PyObject* id_list(const std::vector<Id<Tag>>& ids) {
  return list_of(ids, [](const Id<Tag>& id) { return to_py(id.to_string()); });
}

// Nested values are built before the dict that holds them, so that nothing
// runs against the interpreter once a step has failed.
PyObject* node_dict(const StructureNode& node) {
  Ref refs(id_list(node.concept_refs));
  if (!refs) return nullptr;
  std::optional<std::string> parent;
  if (node.parent) parent = text(*node.parent);
  Dict d;
  d.set("id", text(node.id))
      .set("title", node.title)
      .set("node_type", node.node_type)
      .set("position", node.position)
      .set("parent", parent)
      .set("content_hash", node.content_hash.to_hex())
      .set("concept_refs", std::move(refs));
  return d.release();
}

// Lists, not tuples: the dict shows each pair as [term, definition].
PyObject* pair_list(const std::vector<std::pair<std::string, std::string>>& pairs) {
  return list_of(pairs, [](const std::pair<std::string, std::string>& p) {
    List item;
    item.append(p.first).append(p.second);
    return item.release();
  });
}

PyObject* details_dict(const EvolutionOperation& operation) {
  Dict d;
  if (!d.ok()) return nullptr;
  const bool built = std::visit(
      [&d](const auto& o) -> bool {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, op::Assert>) {
          const auto& [asserted] = o;
          d.set("concept_id", text(asserted.id))
              .set("term", asserted.term)
              .set("definition", asserted.definition);
        } else if constexpr (std::is_same_v<T, op::Revise>) {
          Ref conflicts(id_list(o.conflict_set));
          if (!conflicts) return false;
          d.set("concept_id", text(o.concept_id))
              .set("new_definition", o.new_definition)
              .set("conflict_set", std::move(conflicts))
              .set("evidence_count", o.evidence.size());
        } else if constexpr (std::is_same_v<T, op::Retract>) {
          d.set("concept_id", text(o.concept_id)).set("reason", name(o.reason));
        } else if constexpr (std::is_same_v<T, op::Relate>) {
          d.set("relation_id", text(o.relation.id))
              .set("from_concept", text(o.relation.from_concept))
              .set("to_concept", text(o.relation.to_concept))
              .set("relation_type", name(o.relation.relation_type));
        } else if constexpr (std::is_same_v<T, op::Restructure>) {
          Ref nodes(list_of(o.new_nodes, node_dict));
          if (!nodes) return false;
          d.set("justification", o.justification)
              .set("old_structure_hash", o.old_structure_hash.to_hex())
              .set("new_nodes", std::move(nodes));
        } else if constexpr (std::is_same_v<T, op::Refine>) {
          d.set("concept_id", text(o.concept_id))
              .set("new_definition", o.new_definition)
              .set("evidence_count", o.evidence.size());
        } else if constexpr (std::is_same_v<T, op::Merge>) {
          Ref ids(id_list(o.concept_ids));
          if (!ids) return false;
          d.set("concept_ids", std::move(ids))
              .set("merged_term", o.merged_term)
              .set("merged_definition", o.merged_definition)
              .set("evidence_count", o.evidence.size());
        } else if constexpr (std::is_same_v<T, op::Reinforce>) {
          d.set("concept_id", text(o.concept_id)).set("evidence_count", o.evidence.size());
        } else {
          static_assert(std::is_same_v<T, op::Split>);
          Ref pairs(pair_list(o.new_concepts));
          if (!pairs) return false;
          d.set("concept_id", text(o.concept_id))
              .set("new_concepts", std::move(pairs))
              .set("evidence_count", o.evidence.size());
        }
        return true;
      },
      operation);
  return built ? d.release() : nullptr;
}

PyObject* justification_dict(const OperationJustification& j) {
  Dict d;
  d.set("agm_type", name(j.agm_type))
      .set("minimality_score", j.minimality_score)
      .set("content_shift_score", j.content_shift_score)
      .set("structure_delta_score", j.structure_delta_score);
  return d.release();
}

}  // namespace

PyObject* record_to_dict(const EvolutionRecord& record) {
  Ref details(details_dict(record.operation));
  if (!details) return nullptr;
  Ref justification(justification_dict(record.justification));
  if (!justification) return nullptr;
  Dict d;
  d.set("id", text(record.id))
      .set("timestamp", serialization::format_timestamp_rfc3339(record.timestamp))
      .set("prior_state_hash", record.prior_state_hash.to_hex())
      .set("resulting_state_hash", record.resulting_state_hash.to_hex())
      .set("chain_hash", record.chain_hash.to_hex())
      .set("operation_type", kind_name(record.operation))
      .set("operation_details", std::move(details))
      .set("source", name(record.source))
      .set("justification", std::move(justification));
  return d.release();
}

}  // namespace kelvora::py
