// Records: the history an object shares with the objects made from it, and
// the dicts Python sees (a read-only picture built afresh on every call).
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "kelvora/timestamp_text.hpp"
#include "knowledge_state.hpp"
#include "py_util.hpp"

namespace kelvora::py {

// ------------------------------------------------------------ record history

RecordHistory::RecordHistory(std::vector<EvolutionRecord> records) {
  if (records.empty()) return;
  auto storage = std::make_shared<Storage>();
  storage->live_views.assign(records.size(), 0);
  storage->records = std::move(records);
  size_ = storage->records.size();
  storage_ = std::move(storage);
  attach();
}

RecordHistory::RecordHistory(const RecordHistory& other)
    : storage_(other.storage_), size_(other.size_) {
  attach();
}

RecordHistory::RecordHistory(RecordHistory&& other) noexcept
    : storage_(std::move(other.storage_)), size_(std::exchange(other.size_, 0)) {}

RecordHistory& RecordHistory::operator=(RecordHistory other) noexcept {
  detach();
  storage_ = std::move(other.storage_);
  size_ = std::exchange(other.size_, 0);
  return *this;
}

RecordHistory::~RecordHistory() { detach(); }

void RecordHistory::attach() noexcept {
  if (storage_ && size_ > 0) ++storage_->live_views[size_ - 1];
}

void RecordHistory::detach() noexcept {
  if (storage_ && size_ > 0) --storage_->live_views[size_ - 1];
}

bool RecordHistory::tail_is_seen() const {
  // From the far end: the longest history is usually the one still alive.
  for (std::size_t i = storage_->records.size(); i > size_; --i) {
    if (storage_->live_views[i - 1] != 0) return true;
  }
  return false;
}

std::span<const EvolutionRecord> RecordHistory::view() const {
  if (size_ == 0) return {};
  return {storage_->records.data(), size_};
}

const EvolutionRecord* RecordHistory::last() const {
  return size_ == 0 ? nullptr : &storage_->records[size_ - 1];
}

RecordHistory RecordHistory::prefix(std::size_t count) const {
  RecordHistory out;
  if (count == 0) return out;
  out.storage_ = storage_;
  out.size_ = count < size_ ? count : size_;
  out.attach();
  return out;
}

RecordHistory RecordHistory::appended(EvolutionRecord record) const {
  std::shared_ptr<Storage> target = storage_;
  if (target && target->records.size() > size_ && !tail_is_seen()) {
    // Records past our end that no live history reaches: drop them. Erasing
    // at the end moves nothing, so pinned records stay where they are.
    target->records.resize(size_);
    target->live_views.resize(size_);
  }
  const bool at_end = target && target->records.size() == size_;
  const bool may_move = target && (target->pins == 0 || size_ < target->records.capacity());
  if (!at_end || !may_move) {
    // Another live object sees records past our end (or there is no vector
    // yet, or its records are pinned): branch off.
    auto fresh = std::make_shared<Storage>();
    fresh->records.reserve(size_ + 1);
    for (std::size_t i = 0; i < size_; ++i) fresh->records.push_back(storage_->records[i]);
    fresh->live_views.assign(size_, 0);
    target = std::move(fresh);
  }
  target->live_views.reserve(size_ + 1);
  target->records.push_back(std::move(record));
  target->live_views.push_back(0);  // cannot throw: reserved above
  RecordHistory out;
  out.storage_ = std::move(target);
  out.size_ = size_ + 1;
  out.attach();
  return out;
}

RecordPin::RecordPin(const RecordHistory& history) : history_(history) {
  if (history_.storage_) ++history_.storage_->pins;
}

RecordPin::~RecordPin() {
  if (history_.storage_) --history_.storage_->pins;
}

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
