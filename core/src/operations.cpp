// Helpers of the evolution operations: structure hash, float normalisation,
// derived identifiers, and the justification, record and chain hash of a step
// (which build on diff and structure).
#include "kelvora/operations.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "kelvora/canonical.hpp"
#include "kelvora/diff.hpp"
#include "kelvora/float_text.hpp"
#include "kelvora/sha256.hpp"
#include "kelvora/state_text.hpp"
#include "kelvora/structure.hpp"

namespace kelvora::operations {

namespace {

std::string_view bytes_of(const Hash& h) {
  return {reinterpret_cast<const char*>(h.bytes.data()), h.bytes.size()};
}

template <class Tag>
std::string_view bytes_of(const Id<Tag>& id) {
  return {reinterpret_cast<const char*>(id.uuid.bytes.data()), id.uuid.bytes.size()};
}

}  // namespace

Hash compute_structure_hash(const StructureMap& structure) {
  std::string text;
  text.reserve(128);
  serialization::write_structure_map(text, structure);
  return serialization::compute_hash(text);
}

double normalize_f64_for_json(double value) {
  if (!std::isfinite(value)) internal_fault("f64 deserialization should never fail");
  auto parsed = serialization::parse_f64(serialization::format_f64(value));
  if (!parsed) internal_fault("f64 deserialization should never fail");
  return *parsed;
}

ConceptId derive_merged_concept_id(const Hash& prior_state_hash,
                                   const std::vector<ConceptId>& concept_ids,
                                   std::string_view merged_term,
                                   std::string_view merged_definition) {
  std::vector<std::string_view> parts;
  parts.reserve(3 + concept_ids.size());
  parts.push_back(bytes_of(prior_state_hash));
  parts.push_back(merged_term);
  parts.push_back(merged_definition);
  for (const ConceptId& id : concept_ids) parts.push_back(bytes_of(id));
  return ConceptId{serialization::derive_uuid("kelvora.op.merge.concept.v1", parts)};
}

RelationId derive_merge_derives_from_id(const Hash& prior_state_hash, const ConceptId& merged_id,
                                        const ConceptId& source_id) {
  const std::array<std::string_view, 3> parts = {bytes_of(prior_state_hash), bytes_of(merged_id),
                                                 bytes_of(source_id)};
  return RelationId{serialization::derive_uuid("kelvora.op.merge.derivesfrom.v1", parts)};
}

ConceptId derive_split_concept_id(const Hash& prior_state_hash, const ConceptId& source_id,
                                  std::uint32_t k, std::string_view term,
                                  std::string_view definition) {
  const char k_bytes[4] = {static_cast<char>(k >> 24), static_cast<char>(k >> 16),
                           static_cast<char>(k >> 8), static_cast<char>(k)};
  const std::array<std::string_view, 5> parts = {bytes_of(prior_state_hash), bytes_of(source_id),
                                                 std::string_view(k_bytes, 4), term, definition};
  return ConceptId{serialization::derive_uuid("kelvora.op.split.concept.v1", parts)};
}

RelationId derive_split_derives_from_id(const Hash& prior_state_hash, const ConceptId& new_id,
                                        const ConceptId& source_id) {
  const std::array<std::string_view, 3> parts = {bytes_of(prior_state_hash), bytes_of(new_id),
                                                 bytes_of(source_id)};
  return RelationId{serialization::derive_uuid("kelvora.op.split.derivesfrom.v1", parts)};
}

// The justification of a step, its record and the chain hash.

namespace {

// The lists of changed ids mostly arrive sorted but for a few at the end (a
// Split notes its new concepts in id order, then its source): only that tail
// is sorted and merged in. A plain sort of such a list degrades badly.
template <class Id>
void sort_unique(std::vector<Id>& ids) {
  const auto tail = std::is_sorted_until(ids.begin(), ids.end());
  std::sort(tail, ids.end());
  std::inplace_merge(ids.begin(), tail, ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

// Collects the keys at which two maps differ; shared entries are skipped
// without looking at their values.
template <class Map, class Key>
void collect_changed(const Map& before, const Map& after, std::vector<Key>& out) {
  auto b = before.begin();
  auto a = after.begin();
  while (b != before.end() || a != after.end()) {
    if (b == before.end() || (a != after.end() && a->first < b->first)) {
      out.push_back(a->first);
      ++a;
    } else if (a == after.end() || b->first < a->first) {
      out.push_back(b->first);
      ++b;
    } else {
      if (!a->second.same_node(b->second)) out.push_back(a->first);
      ++a;
      ++b;
    }
  }
}

// What the concept lists of diff::diff(before, after) would count, and whether
// the two concept maps are equal, judged at the changed ids alone.
struct ConceptDelta {
  std::size_t added = 0;
  std::size_t removed = 0;
  std::size_t modified = 0;
  bool maps_equal = true;
};

ConceptDelta concept_delta(const KnowledgeState& before, const KnowledgeState& after,
                           std::vector<ConceptId> ids) {
  sort_unique(ids);
  ConceptDelta delta;
  for (const auto& id : ids) {
    auto b = before.concepts.find(id);
    auto a = after.concepts.find(id);
    const bool in_before = b != before.concepts.end();
    const bool in_after = a != after.concepts.end();
    if (in_before && in_after) {
      if (a->second == b->second) continue;
      delta.maps_equal = false;
      if (!diff::compare_concepts(*b->second, *a->second).empty()) ++delta.modified;
    } else if (in_after) {
      delta.maps_equal = false;
      ++delta.added;
    } else if (in_before) {
      delta.maps_equal = false;
      ++delta.removed;
    }
  }
  return delta;
}

std::size_t relations_removed(const KnowledgeState& before, const KnowledgeState& after,
                              std::vector<RelationId> ids) {
  sort_unique(ids);
  std::size_t removed = 0;
  for (const auto& id : ids) {
    if (before.relations.contains(id) && !after.relations.contains(id)) ++removed;
  }
  return removed;
}

bool structure_equal(const KnowledgeState& before, const KnowledgeState& after,
                     const ChangeSet& changes) {
  if (changes.structure_replaced) return before.structure == after.structure;
  for (const auto& id : changes.structure) {
    auto b = before.structure.find(id);
    auto a = after.structure.find(id);
    const bool in_before = b != before.structure.end();
    const bool in_after = a != after.structure.end();
    if (in_before != in_after) return false;
    if (in_before && !(a->second == b->second)) return false;
  }
  return true;
}

double ratio(std::size_t numerator, std::size_t denominator) {
  return static_cast<double>(numerator) /
         static_cast<double>(std::max<std::size_t>(denominator, 1));
}

// The minimality score, with the structure delta passed in when the caller has
// it already (it walks the whole structure).
double minimality(const KnowledgeState& before, const EvolutionOperation& operation,
                  const KnowledgeState& after, const ChangeSet& changes,
                  std::optional<double> known_structure_delta) {
  const std::size_t n_c = before.concepts.size();
  const std::size_t n_r = before.relations.size();
  struct Visitor {
    const KnowledgeState& before;
    const KnowledgeState& after;
    const ChangeSet& changes;
    std::optional<double> known_delta;
    std::size_t n_c;
    std::size_t n_r;

    double operator()(const op::Assert&) const { return 1.0; }
    double operator()(const op::Relate&) const { return 1.0; }
    double operator()(const op::Refine&) const { return 1.0; }
    double operator()(const op::Reinforce&) const { return 1.0; }
    double operator()(const op::Revise&) const {
      return 1.0 - ratio(concept_delta(before, after, changes.concepts).modified, n_c);
    }
    double operator()(const op::Retract&) const {
      const std::size_t removed = concept_delta(before, after, changes.concepts).removed +
                                  relations_removed(before, after, changes.relations);
      return 1.0 - ratio(removed, n_c + n_r);
    }
    double operator()(const op::Restructure&) const {
      return 1.0 - (known_delta ? *known_delta
                                : structure::structure_delta(before.structure, after.structure));
    }
    double operator()(const op::Merge& m) const {
      return std::max(0.0, 1.0 - ratio(m.concept_ids.size() + 1, n_c));
    }
    double operator()(const op::Split& s) const {
      return std::max(0.0, 1.0 - ratio(s.new_concepts.size() + 1, n_c));
    }
  };
  return std::visit(Visitor{before, after, changes, known_structure_delta, n_c, n_r}, operation);
}

std::vector<EvidenceRef> evidence_of(const EvolutionOperation& operation) {
  return std::visit(
      [](const auto& o) -> std::vector<EvidenceRef> {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, op::Assert>) {
          return o.concept_.source_evidence;
        } else if constexpr (std::is_same_v<T, op::Relate>) {
          return o.relation.evidence;
        } else if constexpr (std::is_same_v<T, op::Retract> || std::is_same_v<T, op::Restructure>) {
          return {};
        } else {
          return o.evidence;
        }
      },
      operation);
}

void write_payload(std::string& out, const EvolutionOperation& operation, Timestamp timestamp,
                   OperationSource source, const Hash& prior, const Hash& resulting,
                   const OperationJustification& justification) {
  out += "{\"operation\":";
  serialization::write_operation(out, operation);
  out += ",\"timestamp\":";
  serialization::write_timestamp(out, timestamp);
  out += ",\"source\":";
  serialization::write_string(out, name(source));
  out += ",\"prior_state_hash\":";
  serialization::write_hash(out, prior);
  out += ",\"resulting_state_hash\":";
  serialization::write_hash(out, resulting);
  out += ",\"justification\":";
  serialization::write_justification(out, justification);
  out += '}';
}

Hash chain_hash(const Hash& prev_chain_hash, const EvolutionRecord& record) {
  std::string bytes(prev_chain_hash.bytes.begin(), prev_chain_hash.bytes.end());
  write_payload(bytes, record.operation, record.timestamp, record.source, record.prior_state_hash,
                record.resulting_state_hash, record.justification);
  return serialization::compute_hash(bytes);
}

}  // namespace

ChangeSet changed_entries(const KnowledgeState& before, const KnowledgeState& after) {
  ChangeSet changes;
  collect_changed(before.concepts, after.concepts, changes.concepts);
  collect_changed(before.relations, after.relations, changes.relations);
  collect_changed(before.structure, after.structure, changes.structure);
  return changes;
}

double compute_minimality(const KnowledgeState& before, const EvolutionOperation& operation,
                          const KnowledgeState& after) {
  return compute_minimality(before, operation, after, changed_entries(before, after));
}

double compute_minimality(const KnowledgeState& before, const EvolutionOperation& operation,
                          const KnowledgeState& after, const ChangeSet& changes) {
  return minimality(before, operation, after, changes, std::nullopt);
}

OperationJustification build_justification(const KnowledgeState& before,
                                           const EvolutionOperation& operation,
                                           const KnowledgeState& after) {
  return build_justification(before, operation, after, changed_entries(before, after));
}

OperationJustification build_justification(const KnowledgeState& before,
                                           const EvolutionOperation& operation,
                                           const KnowledgeState& after, const ChangeSet& changes) {
  OperationJustification j;
  j.agm_type = agm_type_of(operation);

  std::optional<double> delta;
  if (!structure_equal(before, after, changes)) {
    delta = structure::structure_delta(before.structure, after.structure);
  }
  // Restructure scores the delta even when the maps are equal (it is then 0).
  std::optional<double> known_delta = delta;
  if (!known_delta && changes.structure_replaced) known_delta = 0.0;
  j.minimality_score =
      normalize_f64_for_json(minimality(before, operation, after, changes, known_delta));

  const ConceptDelta concepts = concept_delta(before, after, changes.concepts);
  if (!concepts.maps_equal) {
    j.content_shift_score = normalize_f64_for_json(
        ratio(concepts.added + concepts.removed + concepts.modified, before.concepts.size()));
  }
  if (delta) j.structure_delta_score = normalize_f64_for_json(*delta);
  j.evidence_refs = evidence_of(operation);
  return j;
}

std::string record_hash_payload(const EvolutionRecord& record) {
  std::string out;
  write_payload(out, record.operation, record.timestamp, record.source, record.prior_state_hash,
                record.resulting_state_hash, record.justification);
  return out;
}

EvolutionRecord build_evolution_record(EvolutionOperation operation, const ApplyContext& context,
                                       Timestamp timestamp, const Hash& prior_state_hash,
                                       const Hash& resulting_state_hash,
                                       OperationJustification justification) {
  EvolutionRecord record;
  record.operation = std::move(operation);
  record.timestamp = timestamp;
  record.source = context.source;
  record.prior_state_hash = prior_state_hash;
  record.resulting_state_hash = resulting_state_hash;
  record.justification = std::move(justification);
  record.chain_hash = chain_hash(context.prev_chain_hash, record);
  record.id = RecordId::random();  // drawn after the hash; no hash covers it
  return record;
}

Hash recompute_chain_hash(const EvolutionRecord& record, const Hash& prev_chain_hash) {
  return chain_hash(prev_chain_hash, record);
}

}  // namespace kelvora::operations
