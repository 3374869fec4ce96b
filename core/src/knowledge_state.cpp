// KnowledgeState::apply: every check runs against the unchanged input state;
// only then is the new state built from copies. Entries are immutable and
// shared, so a copy costs pointers and only the changed entries are rebuilt.
// Also the state's cached hash.
#include "kelvora/knowledge_state.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kelvora/diff.hpp"
#include "kelvora/first_positions.hpp"
#include "kelvora/float_text.hpp"
#include "kelvora/operations.hpp"
#include "kelvora/state_hash.hpp"
#include "kelvora/structure.hpp"
#include "kelvora/term_index.hpp"
#include "relation_index.hpp"

namespace kelvora {

namespace {

struct Built;

struct Step {
  const KnowledgeState& state;
  Timestamp time;
  // An earlier state of the same replay whose hash is known, or null.
  const KnowledgeState* hashed_before = nullptr;
  // The input state's hash as the caller knows it, or null.
  const Hash* known_hash = nullptr;
  // The input state when the new state is to take over its maps, or null
  // (the new state starts from copies).
  KnowledgeState* owned = nullptr;

  // The state hash of the input state: only Merge and Split need it (for
  // their derived identifiers), so it is asked for there.
  Hash prior_hash() const {
    if (known_hash != nullptr) return *known_hash;
    return hashed_before != nullptr ? state.state_hash_from(*hashed_before) : state.state_hash();
  }

  // The state to build the new state in, once every check has passed: a
  // copy of the input state, or its own maps when it is owned (the input
  // state is then left without them).
  Built build() const;
};

// Records, for each concept or relation a step changes, the entry the input
// state held under it before the first change (or nothing when it held
// none): the indexes are carried over with these when the new state took
// over the input state's maps.
template <class Id, class Map>
class Before {
 public:
  void note(const Map& current, const Id& id) {
    if (!touched_.emplace(id, true).second) return;
    if (auto it = current.find(id); it != current.end()) entries_.emplace(id, it->second);
  }
  Map take() { return std::move(entries_); }

 private:
  PersistentMap<Id, bool> touched_;
  Map entries_;
};

struct Built {
  Built() = default;
  explicit Built(KnowledgeState from, bool keeps_before)
      : state(std::move(from)), keeps_before(keeps_before) {}

  KnowledgeState state;
  operations::ChangeSet changes;
  // Whether `state` took over the input state's maps (then `before_*` hold
  // what the changed keys held).
  bool keeps_before = false;
  Before<ConceptId, ConceptMap> before_concepts;
  Before<RelationId, RelationMap> before_relations;

  // To be called before each change of a concept or relation.
  void changing_concept(const ConceptId& id) {
    if (keeps_before) before_concepts.note(state.concepts, id);
  }
  void changing_relation(const RelationId& id) {
    if (keeps_before) before_relations.note(state.relations, id);
  }
};

Built Step::build() const {
  if (owned == nullptr) return Built(state, false);
  KnowledgeState taken;
  taken.concepts = std::move(owned->concepts);
  taken.relations = std::move(owned->relations);
  taken.structure = std::move(owned->structure);
  return Built(std::move(taken), true);
}

const Concept* find_concept(const KnowledgeState& state, const ConceptId& id) {
  auto it = state.concepts.find(id);
  return it == state.concepts.end() ? nullptr : &it->second.value();
}

// The concept must exist (any status) and be Active; `verb`/`past` name the
// operation in the refusal.
Result<const Concept*> require_active(const Concept* found, const ConceptId& id,
                                      std::string_view verb, std::string_view past) {
  if (found == nullptr) return fail(EngineError::concept_not_found(id.to_string()));
  if (found->status != ConceptStatus::Active) {
    return fail(EngineError::conflict_detected(
        "cannot " + std::string(verb) + " concept " + id.to_string() + " with status " +
        std::string(name(found->status)) + "; only Active concepts can be " + std::string(past)));
  }
  return found;
}

Result<const Concept*> require_active(const KnowledgeState& state, const ConceptId& id,
                                      std::string_view verb, std::string_view past) {
  return require_active(find_concept(state, id), id, verb, past);
}

// Calls `visit(id, entry)` for each entry in key order until it returns true;
// the entries' blocks are asked for a few entries ahead, since the scans of
// a large state are bound by memory latency.
template <class Map, class Visit>
bool scan(const Map& map, Visit visit) {
  constexpr std::size_t kAhead = 8;
  bool stopped = false;
  map.for_each_chunk([&](auto chunk) {
    if (stopped) return;
    for (std::size_t k = 0; k < chunk.size() && k < kAhead; ++k) chunk[k].second.prefetch_value();
    for (std::size_t k = 0; k < chunk.size(); ++k) {
      if (k + kAhead < chunk.size()) chunk[k + kAhead].second.prefetch_value();
      if (visit(chunk[k].first, chunk[k].second)) {
        stopped = true;
        return;
      }
    }
  });
  return stopped;
}

// True when an Active concept, other than the `excluded` ones (ascending),
// has this normal form: asked of the state's index of terms, or found by a
// walk over each entry's cached normal form.
bool term_taken(const KnowledgeState& state, std::string_view normalized,
                std::span<const ConceptId> excluded) {
  if (const TermIndex* index = state.term_index_past_walks()) {
    return index->normal_form_taken(normalized, excluded);
  }
  return scan(state.concepts, [&](const ConceptId& id, const Entry<Concept>& entry) {
    return entry->status == ConceptStatus::Active &&
           !std::binary_search(excluded.begin(), excluded.end(), id) &&
           entry.normalized_term() == normalized;
  });
}

std::vector<EvidenceRef> appended(std::vector<EvidenceRef> evidence,
                                  const std::vector<EvidenceRef>& extra) {
  evidence.insert(evidence.end(), extra.begin(), extra.end());
  return evidence;
}

// Stores `value` under `key` (the map key, not the value's id field, names
// the entry).
void replace_concept(Built& built, const ConceptId& key, Concept value) {
  built.changing_concept(key);
  built.state.concepts.insert_or_assign(key, Entry<Concept>(std::move(value)));
  built.changes.concepts.push_back(key);
}

void insert_relation(Built& built, Relation relation) {
  const RelationId id = relation.id;
  built.changing_relation(id);
  built.state.relations.insert_or_assign(id, Entry<Relation>(std::move(relation)));
  built.changes.relations.push_back(id);
}

// Erases every relation from or to `concept_id` that `matches` accepts,
// noting each id in identifier order; `index` (the input state's, taken
// before the new state was built) names by concept the relations the new
// state holds.
template <class Matches>
void erase_relations(Built& built, const RelationIndex& index, const ConceptId& concept_id,
                     Matches matches) {
  const std::size_t first = built.changes.relations.size();
  index.for_each_touching(concept_id, [&](const RelationId& id, const Relation& relation) {
    if (matches(relation)) built.changes.relations.push_back(id);
  });
  for (std::size_t k = first; k < built.changes.relations.size(); ++k) {
    built.changing_relation(built.changes.relations[k]);
    built.state.relations.erase(built.changes.relations[k]);
  }
}

// Rewrites the concept_refs of every node holding a reference `matches`
// accepts: those references go, `additions` are appended where not present.
template <class Matches>
void rewrite_refs(Built& built, Matches matches, const std::vector<ConceptId>& additions) {
  std::vector<std::pair<StructureNodeId, Entry<StructureNode>>> rewritten;
  for (const auto& [id, entry] : built.state.structure) {
    const auto& refs = entry->concept_refs;
    if (std::none_of(refs.begin(), refs.end(), matches)) continue;
    StructureNode node = entry.value();
    std::erase_if(node.concept_refs, matches);
    if (!additions.empty()) {
      // A Split may add many concepts: they are looked up in a sorted copy of
      // the references, not by scanning them. The additions are distinct.
      std::vector<ConceptId> held = node.concept_refs;
      std::sort(held.begin(), held.end());
      for (const auto& added : additions) {
        if (!std::binary_search(held.begin(), held.end(), added)) {
          node.concept_refs.push_back(added);
        }
      }
    }
    rewritten.emplace_back(id, Entry<StructureNode>(std::move(node)));
  }
  for (auto& [id, entry] : rewritten) {
    built.state.structure.insert_or_assign(id, std::move(entry));
    built.changes.structure.push_back(id);
  }
}

void set_superseded(Built& built, const ConceptId& id) {
  Concept value = built.state.concepts.at(id).value();
  value.status = ConceptStatus::Superseded;
  replace_concept(built, id, std::move(value));
}

// Each identifier with its position, in identifier order, equal identifiers
// in position order.
template <class Id>
std::vector<std::pair<Id, std::size_t>> sorted_with_positions(const std::vector<Id>& ids) {
  std::vector<std::pair<Id, std::size_t>> out;
  out.reserve(ids.size());
  for (std::size_t k = 0; k < ids.size(); ++k) out.emplace_back(ids[k], k);
  std::sort(out.begin(), out.end());
  return out;
}

Relation derives_from(const RelationId& id, const ConceptId& from, const ConceptId& to) {
  Relation relation;
  relation.id = id;
  relation.from_concept = from;
  relation.to_concept = to;
  relation.relation_type = RelationType::DerivesFrom;
  relation.confidence = 1.0;
  return relation;
}

Result<void> check_finite(double value, std::string_view what, const std::string& id,
                          std::string_view field) {
  if (std::isfinite(value)) return {};
  return fail(EngineError::invalid_confidence(
      std::string(what) + " " + id + " " + std::string(field) +
      " is not finite: " + serialization::format_f64_display(value)));
}

// ------------------------------------------------------------------ the cases

Result<Built> apply_case(const Step& step, const op::Assert& o) {
  const Concept& c = o.concept_;
  if (auto r = check_finite(c.confidence, "concept", c.id.to_string(), "confidence"); !r) {
    return fail(r.error());
  }
  if (step.state.concepts.contains(c.id)) {
    return fail(EngineError::concept_already_exists(c.id.to_string()));
  }
  Entry<Concept> entry(c);
  if (term_taken(step.state, entry.normalized_term(), {})) {
    return fail(EngineError::duplicate_term(c.term));
  }
  Built built = step.build();
  built.changing_concept(c.id);
  built.state.concepts.emplace(c.id, std::move(entry));
  built.changes.concepts.push_back(c.id);
  return built;
}

Result<Built> apply_case(const Step& step, const op::Relate& o) {
  const Relation& r = o.relation;
  const std::string id = r.id.to_string();
  if (auto ok = check_finite(r.confidence, "relation", id, "confidence"); !ok) {
    return fail(ok.error());
  }
  if (r.classification_confidence) {
    if (auto ok =
            check_finite(*r.classification_confidence, "relation", id, "classification_confidence");
        !ok) {
      return fail(ok.error());
    }
  }
  if (!step.state.concepts.contains(r.from_concept)) {
    return fail(EngineError::unknown_concept_reference(
        "from_concept " + r.from_concept.to_string() + " does not exist"));
  }
  if (!step.state.concepts.contains(r.to_concept)) {
    return fail(EngineError::unknown_concept_reference("to_concept " + r.to_concept.to_string() +
                                                       " does not exist"));
  }
  if (r.relation_type == RelationType::DerivesFrom) {
    if (r.from_concept == r.to_concept) {
      return fail(EngineError::cycle_detected("self-referential DerivesFrom on " +
                                              r.from_concept.to_string()));
    }
    if (step.state.relation_index().reaches(r.to_concept, r.from_concept)) {
      return fail(EngineError::cycle_detected("adding DerivesFrom " + r.from_concept.to_string() +
                                              " -> " + r.to_concept.to_string() +
                                              " would create a cycle"));
    }
  }
  Built built = step.build();
  insert_relation(built, r);
  return built;
}

Result<Built> apply_case(const Step& step, const op::Retract& o) {
  const ConceptId& target = o.concept_id;
  if (!step.state.concepts.contains(target)) {
    return fail(EngineError::concept_not_found(target.to_string()));
  }
  const RelationIndex& relations = step.state.relation_index();
  Built built = step.build();
  built.changing_concept(target);
  built.state.concepts.erase(target);
  built.changes.concepts.push_back(target);
  erase_relations(built, relations, target, [](const Relation&) { return true; });
  rewrite_refs(built, [&](const ConceptId& ref) { return ref == target; }, {});
  return built;
}

Result<Built> apply_case(const Step& step, const op::Revise& o) {
  auto found = require_active(step.state, o.concept_id, "Revise", "revised");
  if (!found) return fail(found.error());
  if (o.conflict_set.empty()) {
    return fail(EngineError::conflict_detected(
        "Revise requires a non-empty conflict_set; use Refine for non-conflicting updates"));
  }
  for (const auto& member : o.conflict_set) {
    if (!step.state.concepts.contains(member)) {
      return fail(EngineError::concept_not_found(member.to_string()));
    }
  }
  const RelationIndex& relations = step.state.relation_index();
  Built built = step.build();
  Concept revised = **found;
  revised.definition = o.new_definition;
  revised.source_evidence = appended(std::move(revised.source_evidence), o.evidence);
  replace_concept(built, o.concept_id, std::move(revised));

  std::vector<ConceptId> conflicts = o.conflict_set;
  std::sort(conflicts.begin(), conflicts.end());
  auto in_conflict = [&](const ConceptId& id) {
    return std::binary_search(conflicts.begin(), conflicts.end(), id);
  };
  erase_relations(built, relations, o.concept_id, [&](const Relation& rel) {
    return rel.relation_type == RelationType::Contradicts &&
           (in_conflict(rel.from_concept) || in_conflict(rel.to_concept));
  });
  return built;
}

Result<Built> apply_case(const Step& step, const op::Refine& o) {
  auto found = require_active(step.state, o.concept_id, "Refine", "refined");
  if (!found) return fail(found.error());
  Built built = step.build();
  Concept refined = **found;
  refined.definition = o.new_definition;
  refined.source_evidence = appended(std::move(refined.source_evidence), o.evidence);
  replace_concept(built, o.concept_id, std::move(refined));
  return built;
}

Result<Built> apply_case(const Step& step, const op::Reinforce& o) {
  auto found = require_active(step.state, o.concept_id, "Reinforce", "reinforced");
  if (!found) return fail(found.error());
  Built built = step.build();
  Concept reinforced = **found;
  reinforced.source_evidence = appended(std::move(reinforced.source_evidence), o.evidence);
  // fmin, not std::min: a NaN sum must give 1.0.
  reinforced.confidence = std::fmin(reinforced.confidence + 0.1, 1.0);
  replace_concept(built, o.concept_id, std::move(reinforced));
  return built;
}

Result<Built> apply_case(const Step& step, const op::Merge& o) {
  if (o.concept_ids.size() < 2) {
    return fail(EngineError::conflict_detected("Merge requires at least 2 concepts"));
  }
  // The sources are looked up in identifier order, one walk over the map
  // however many there are; the first failing entry in list order decides.
  // Equal identifiers sort next to each other, earliest position first, so
  // an entry that repeats an earlier one is the second of its run.
  const std::size_t count = o.concept_ids.size();
  std::vector<const Concept*> found(count);
  std::vector<ConceptId> sources;
  sources.reserve(count);
  std::size_t failing = count;
  std::size_t repeated = count;
  for (const auto& [id, k] : sorted_with_positions(o.concept_ids)) {
    found[k] = find_concept(step.state, id);
    if (found[k] == nullptr || found[k]->status != ConceptStatus::Active) {
      failing = std::min(failing, k);
    }
    if (!sources.empty() && sources.back() == id) {
      repeated = std::min(repeated, k);
    } else {
      sources.push_back(id);
    }
  }
  if (failing < count) {
    return fail(require_active(found[failing], o.concept_ids[failing], "Merge", "merged").error());
  }
  // A source named twice would lend its evidence twice, and a chain of such
  // Merges multiplies the evidence with every step.
  if (repeated < count) {
    return fail(EngineError::conflict_detected(
        "cannot Merge concept " + o.concept_ids[repeated].to_string() + " more than once"));
  }
  auto is_source = [&](const ConceptId& id) {
    return std::binary_search(sources.begin(), sources.end(), id);
  };
  if (term_taken(step.state, operations::normalize_term(o.merged_term), sources)) {
    return fail(EngineError::duplicate_term(o.merged_term));
  }
  const Hash prior_hash = step.prior_hash();
  const ConceptId merged_id = operations::derive_merged_concept_id(
      prior_hash, o.concept_ids, o.merged_term, o.merged_definition);
  if (step.state.concepts.contains(merged_id)) {
    return fail(EngineError::concept_already_exists(merged_id.to_string()));
  }

  Built built = step.build();
  Concept merged;
  merged.id = merged_id;
  merged.term = o.merged_term;
  merged.definition = o.merged_definition;
  merged.confidence = 1.0;
  merged.status = ConceptStatus::Active;
  merged.created_at = step.time;
  merged.source_evidence = o.evidence;
  for (const Concept* source : found) {
    const auto& evidence = source->source_evidence;
    merged.source_evidence.insert(merged.source_evidence.end(), evidence.begin(), evidence.end());
  }
  replace_concept(built, merged_id, std::move(merged));
  for (const auto& id : sources) set_superseded(built, id);
  std::vector<RelationId> relation_ids;
  relation_ids.reserve(count);
  for (const auto& id : o.concept_ids) {
    relation_ids.push_back(operations::derive_merge_derives_from_id(prior_hash, merged_id, id));
  }
  for (const auto& [id, k] : sorted_with_positions(relation_ids)) {
    insert_relation(built, derives_from(id, merged_id, o.concept_ids[k]));
  }
  rewrite_refs(built, is_source, {merged_id});
  return built;
}

Result<Built> apply_case(const Step& step, const op::Split& o) {
  if (o.new_concepts.size() < 2) {
    return fail(EngineError::conflict_detected("Split requires at least 2 new concepts"));
  }
  auto source = require_active(step.state, o.concept_id, "Split", "split");
  if (!source) return fail(source.error());

  const std::size_t count = o.new_concepts.size();
  std::vector<std::string> normalized;
  normalized.reserve(count);
  for (const auto& pair : o.new_concepts)
    normalized.push_back(operations::normalize_term(pair.first));
  const FirstPositions<std::string> first_pair(normalized);
  // The earliest pair whose term is taken: asked of the index of terms pair
  // by pair, or else found in one pass over the concepts, each looked up by
  // its cached normal form.
  std::size_t taken = count;
  if (const TermIndex* index = step.state.term_index_past_walks()) {
    const std::span<const ConceptId> source(&o.concept_id, 1);
    for (std::size_t k = 0; k < count && taken == count; ++k) {
      if (index->normal_form_taken(normalized[k], source)) taken = k;
    }
  } else {
    scan(step.state.concepts, [&](const ConceptId& id, const Entry<Concept>& entry) {
      if (entry->status != ConceptStatus::Active || id == o.concept_id) return false;
      taken = std::min(taken, first_pair.find(entry.normalized_term()));
      return false;
    });
  }
  if (taken < count) return fail(EngineError::duplicate_term(o.new_concepts[taken].first));
  for (std::size_t k = 0; k < count; ++k) {
    if (first_pair.find(normalized[k]) != k) {
      return fail(EngineError::duplicate_term(o.new_concepts[k].first));
    }
  }

  const Hash prior_hash = step.prior_hash();
  std::vector<ConceptId> new_ids;
  new_ids.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const auto& [term, definition] = o.new_concepts[k];
    new_ids.push_back(operations::derive_split_concept_id(
        prior_hash, o.concept_id, static_cast<std::uint32_t>(k), term, definition));
  }
  // The pairs in identifier order (equal identifiers in pair order): the
  // checks and inserts below walk the maps once instead of probing them at
  // random, which is what a Split of many concepts costs most.
  const auto by_id = sorted_with_positions(new_ids);
  // The first pair, in pair order, whose identifier is taken by a concept of
  // the state or by an earlier pair.
  std::size_t clash = count;
  for (std::size_t i = 0; i < count; ++i) {
    const auto& [id, k] = by_id[i];
    if ((i > 0 && by_id[i - 1].first == id) || step.state.concepts.contains(id)) {
      clash = std::min(clash, k);
    }
  }
  if (clash < count) return fail(EngineError::concept_already_exists(new_ids[clash].to_string()));

  Built built = step.build();
  for (const auto& [id, k] : by_id) {
    Concept part;
    part.id = id;
    part.term = o.new_concepts[k].first;
    part.definition = o.new_concepts[k].second;
    part.confidence = 1.0;
    part.status = ConceptStatus::Active;
    part.created_at = step.time;
    part.source_evidence = o.evidence;
    replace_concept(built, id, std::move(part));
  }
  set_superseded(built, o.concept_id);
  std::vector<RelationId> relation_ids;
  relation_ids.reserve(count);
  for (const auto& id : new_ids) {
    relation_ids.push_back(operations::derive_split_derives_from_id(prior_hash, id, o.concept_id));
  }
  // Should two relation identifiers ever be equal, the later pair's stays.
  for (const auto& [id, k] : sorted_with_positions(relation_ids)) {
    insert_relation(built, derives_from(id, new_ids[k], o.concept_id));
  }
  rewrite_refs(built, [&](const ConceptId& ref) { return ref == o.concept_id; }, new_ids);
  return built;
}

Result<Built> apply_case(const Step& step, const op::Restructure& o) {
  const Hash current = operations::compute_structure_hash(step.state.structure);
  if (current != o.old_structure_hash) {
    return fail(EngineError::hash_mismatch(o.old_structure_hash.to_hex(), current.to_hex()));
  }
  for (const auto& node : o.new_nodes) {
    for (const auto& ref : node.concept_refs) {
      if (!step.state.concepts.contains(ref)) {
        return fail(EngineError::invalid_structure("structure node " + node.id.to_string() +
                                                   " references nonexistent concept " +
                                                   ref.to_string()));
      }
    }
  }
  StructureMap structure;
  for (const auto& node : o.new_nodes)
    structure.insert_or_assign(node.id, Entry<StructureNode>(node));
  if (auto valid = structure::validate_structure(structure); !valid) return fail(valid.error());

  Built built = step.build();
  built.state.structure = std::move(structure);
  built.changes.structure_replaced = true;
  return built;
}

}  // namespace

Result<ApplyResult> KnowledgeState::apply(const KnowledgeState& state,
                                          const EvolutionOperation& operation,
                                          const ApplyContext& context) {
  const Hash prior = state.state_hash();
  const Step step{state, context.timestamp ? *context.timestamp : Timestamp::now()};

  auto built = std::visit([&](const auto& o) { return apply_case(step, o); }, operation);
  if (!built) return fail(std::move(built.error()));

  KnowledgeState next = std::move(built->state);
  state.carry_indexes(next, built->changes.concepts, built->changes.relations);
  const Hash resulting = next.state_hash_from(state);
  OperationJustification justification =
      operations::build_justification(state, operation, next, built->changes);
  EvolutionRecord record = operations::build_evolution_record(operation, context, step.time, prior,
                                                              resulting, std::move(justification));
  return ApplyResult{std::move(next), std::move(record)};
}

Result<KnowledgeState> KnowledgeState::apply_unrecorded(const KnowledgeState& state,
                                                        const EvolutionOperation& operation,
                                                        const ApplyContext& context,
                                                        const ReplayStep& replay) {
  const Step step{state, context.timestamp ? *context.timestamp : Timestamp::now(),
                  replay.hashed_before, replay.known_hash};
  auto built = std::visit([&](const auto& o) { return apply_case(step, o); }, operation);
  if (!built) return fail(std::move(built.error()));
  state.carry_indexes(built->state, built->changes.concepts, built->changes.relations,
                      replay.drops_input);
  return std::move(built->state);
}

Result<void> KnowledgeState::apply_unrecorded_in_place(KnowledgeState& state,
                                                       const EvolutionOperation& operation,
                                                       const ApplyContext& context,
                                                       const ReplayStep& replay) {
  const Step step{state, context.timestamp ? *context.timestamp : Timestamp::now(),
                  replay.hashed_before, replay.known_hash, &state};
  auto built = std::visit([&](const auto& o) { return apply_case(step, o); }, operation);
  if (!built) return fail(std::move(built.error()));
  // The input state as far as the indexes see it: the changed keys' former
  // entries, and the indexes themselves, which only this replay holds.
  KnowledgeState before;
  before.concepts = built->before_concepts.take();
  before.relations = built->before_relations.take();
  before.term_index_ = std::move(state.term_index_);
  before.relation_index_ = std::move(state.relation_index_);
  before.lookups_walked_ = state.lookups_walked_;
  before.carry_indexes(built->state, built->changes.concepts, built->changes.relations, true);
  state = std::move(built->state);
  return {};
}

namespace {

// `index` (made for `before`) for `after`, where only the entries under
// `changed` differ: updated in place when `hand_over` allows and no other
// state holds it (it then leaves `index`), else an updated copy. The
// indexes are made as mutable objects, so the one held alone may change.
template <class Index, class Map, class Id>
std::shared_ptr<const Index> carried(std::shared_ptr<const Index>& index, const Map& before,
                                     const Map& after, std::span<const Id> changed,
                                     bool hand_over) {
  if (changed.empty()) return hand_over ? std::move(index) : index;
  if (hand_over && index.use_count() == 1) {
    auto own = std::const_pointer_cast<Index>(std::move(index));
    own->update(before, after, changed);
    return own;
  }
  auto copy = std::make_shared<Index>(*index);
  copy->update(before, after, changed);
  return copy;
}

}  // namespace

void KnowledgeState::carry_indexes(KnowledgeState& next, std::span<const ConceptId> concepts,
                                   std::span<const RelationId> relations, bool hand_over) const {
  // Carried over rather than made afresh on the next use.
  if (term_index_) {
    next.term_index_ = carried(term_index_, this->concepts, next.concepts, concepts, hand_over);
  } else {
    next.lookups_walked_ = lookups_walked_;
  }
  if (relation_index_) {
    next.relation_index_ =
        carried(relation_index_, this->relations, next.relations, relations, hand_over);
  }
}

const RelationIndex& KnowledgeState::relation_index() const {
  if (!relation_index_) {
    relation_index_ = std::make_shared<RelationIndex>(RelationIndex::build(relations));
  }
  return *relation_index_;
}

StateDiff KnowledgeState::diff(const KnowledgeState& other) const {
  return diff::diff(*this, other);
}

Hash KnowledgeState::state_hash() const {
  if (!hash_cache_) {
    auto hashed = serialization::state_hash_trailed(*this, nullptr);
    hash_trail_ = std::move(hashed.trail);
    hash_cache_ = hashed.hash;
  }
  return *hash_cache_;
}

Hash KnowledgeState::state_hash_from(const KnowledgeState& prior) const {
  if (!hash_cache_) {
    prior.state_hash();
    auto hashed = serialization::state_hash_trailed(*this, prior.hash_trail_.get());
    hash_trail_ = std::move(hashed.trail);
    hash_cache_ = hashed.hash;
  }
  return *hash_cache_;
}

std::optional<ConceptId> KnowledgeState::find_concept_by_term(std::string_view term,
                                                              bool any_status) const {
  const TermIndex* index = term_index_past_walks();
  if (index == nullptr) return TermIndex::walk(concepts, term, any_status);
  return any_status ? index->find_any(term) : index->find_active(term);
}

const TermIndex* KnowledgeState::term_index_past_walks() const {
  // Making the index costs some dozen walks over the concepts: a state
  // (or a line of states) asked once or twice does not pay it.
  constexpr std::uint32_t kWalks = 8;
  if (!term_index_) {
    if (lookups_walked_ < kWalks) {
      ++lookups_walked_;
      return nullptr;
    }
    term_index_ = std::make_shared<TermIndex>(TermIndex::build(concepts));
  }
  return term_index_.get();
}

Hash KnowledgeState::structure_hash() const {
  return operations::compute_structure_hash(structure);
}

}  // namespace kelvora
