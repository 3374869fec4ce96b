// History queries by unverified replay: the state at an index, the states
// and diff of a range, and the histories of a concept and of a term.
#include "kelvora/temporal.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>
#include <variant>

#include "kelvora/operations.hpp"
#include "kelvora/seeded_hash.hpp"
#include "unverified_replay.hpp"

namespace kelvora::temporal {

namespace {

EngineError out_of_range(std::uint64_t index, std::size_t size) {
  return EngineError::conflict_detected("index " + std::to_string(index) +
                                        " out of range (records len = " + std::to_string(size) +
                                        ")");
}

// Relate touches a concept for stability but not for its history.
bool touches_history(const EvolutionOperation& operation) {
  return !analysis::step_kind(operation).empty() && !std::holds_alternative<op::Relate>(operation);
}

ConceptSnapshot snapshot_of(const EvolutionRecord& record, std::size_t index) {
  ConceptSnapshot snapshot;
  snapshot.record_index = index;
  snapshot.operation_type = analysis::step_kind(record.operation);
  if (const std::string* definition = analysis::step_definition(record.operation)) {
    snapshot.definition = *definition;
  }
  if (std::holds_alternative<op::Assert>(record.operation)) snapshot.confidence = 1.0;
  snapshot.timestamp = record.timestamp;
  return snapshot;
}

// The identifiers a term (in normal form) has had: asserted with it, merged
// into it, split into it. Each term is normalised once.
std::unordered_set<ConceptId, IdHash> identifiers_of(std::span<const EvolutionRecord> records,
                                                     const std::string& target) {
  std::unordered_set<ConceptId, IdHash> ids;
  for (const EvolutionRecord& record : records) {
    const EvolutionOperation& operation = record.operation;
    if (const auto* a = std::get_if<op::Assert>(&operation)) {
      if (operations::normalize_term(a->concept_.term) == target) ids.insert(a->concept_.id);
    } else if (const auto* m = std::get_if<op::Merge>(&operation)) {
      if (operations::normalize_term(m->merged_term) == target) {
        ids.insert(operations::derive_merged_concept_id(record.prior_state_hash, m->concept_ids,
                                                        m->merged_term, m->merged_definition));
      }
    } else if (const auto* s = std::get_if<op::Split>(&operation)) {
      for (std::size_t k = 0; k < s->new_concepts.size(); ++k) {
        const auto& [term, definition] = s->new_concepts[k];
        if (operations::normalize_term(term) != target) continue;
        ids.insert(operations::derive_split_concept_id(record.prior_state_hash, s->concept_id,
                                                       static_cast<std::uint32_t>(k), term,
                                                       definition));
      }
    }
  }
  return ids;
}

}  // namespace

Result<KnowledgeState> state_at(const KnowledgeState& initial,
                                std::span<const EvolutionRecord> records, std::uint64_t index,
                                RecordChain chain) {
  if (index >= records.size()) return fail(out_of_range(index, records.size()));
  UnverifiedReplay replay(initial, records, chain);
  if (auto replayed = replay.run(records, 0, index + 1); !replayed) {
    return fail(std::move(replayed.error()));
  }
  return replay.take();
}

// One replay to to_index that keeps the state at from_index. Each error
// comes where the replay to from_index, then the one to to_index, would
// meet it: a record up to from_index that fails does so in both, and the
// first replay reports it.
Result<RangeStates> range_states(const KnowledgeState& initial,
                                 std::span<const EvolutionRecord> records, std::uint64_t from_index,
                                 std::uint64_t to_index, RecordChain chain) {
  if (from_index > to_index) {
    return fail(EngineError::conflict_detected("from_index " + std::to_string(from_index) +
                                               " > to_index " + std::to_string(to_index)));
  }
  if (from_index >= records.size()) return fail(out_of_range(from_index, records.size()));
  UnverifiedReplay replay(initial, records, chain);
  if (auto replayed = replay.run(records, 0, from_index + 1); !replayed) {
    return fail(std::move(replayed.error()));
  }
  if (to_index >= records.size()) return fail(out_of_range(to_index, records.size()));
  KnowledgeState from_state = replay.state();
  if (auto replayed = replay.run(records, from_index + 1, to_index + 1); !replayed) {
    return fail(std::move(replayed.error()));
  }
  return RangeStates{std::move(from_state), replay.take()};
}

Result<StateDiff> range_diff(const KnowledgeState& initial,
                             std::span<const EvolutionRecord> records, std::uint64_t from_index,
                             std::uint64_t to_index, RecordChain chain) {
  auto states = range_states(initial, records, from_index, to_index, chain);
  if (!states) return fail(std::move(states.error()));
  return diff::diff(states->from_state, states->to_state);
}

std::vector<ConceptSnapshot> concept_history(std::span<const EvolutionRecord> records,
                                             const ConceptId& concept_id) {
  std::vector<ConceptSnapshot> history;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const EvolutionOperation& operation = records[i].operation;
    if (!touches_history(operation)) continue;
    bool touched = false;
    analysis::for_each_touched(operation,
                               [&](const ConceptId& id) { touched = touched || id == concept_id; });
    if (touched) history.push_back(snapshot_of(records[i], i));
  }
  return history;
}

// A snapshot depends on the record alone, so the merged, sorted list of the
// identifiers' histories holds, for each record, one copy of the record's
// snapshot per identifier of the term it touches; a second pass over the
// records builds exactly that. (An identifier can be touched before the
// record that gives it the term: asserted under another term, retracted and
// asserted again under this one; its whole history still counts.)
std::vector<ConceptSnapshot> concept_history_by_term(std::span<const EvolutionRecord> records,
                                                     std::string_view term) {
  const std::unordered_set<ConceptId, IdHash> ids =
      identifiers_of(records, operations::normalize_term(term));
  std::vector<ConceptSnapshot> history;
  if (ids.empty()) return history;
  std::vector<ConceptId> hits;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const EvolutionOperation& operation = records[i].operation;
    if (!touches_history(operation)) continue;
    hits.clear();
    analysis::for_each_touched(operation, [&](const ConceptId& id) {
      if (ids.contains(id)) hits.push_back(id);
    });
    if (hits.empty()) continue;
    std::sort(hits.begin(), hits.end());
    const auto distinct = std::unique(hits.begin(), hits.end()) - hits.begin();
    for (std::ptrdiff_t k = 0; k < distinct; ++k) history.push_back(snapshot_of(records[i], i));
  }
  return history;
}

}  // namespace kelvora::temporal
