// The convergence trajectory: coherence and direction after every record of
// one replay. Recomputing coherence over each prefix would cost the whole
// prefix per record; instead the figures coherence needs are kept up to date
// from what each record changed:
//   - per concept: its stability steps so far (all steps, revise steps) and
//     whether it is Active;
//   - the Contradicts relations, each indexed under both ends and under the
//     pair of ends, and how many of them join two Active concepts;
//   - the sum of (1 - volatility) over the Active concepts, held exactly.
// Which entries a record can change follows from its operation; the new
// state is then asked for their actual status and presence.
#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kelvora/operations.hpp"
#include "kelvora/seeded_hash.hpp"
#include "kelvora/temporal.hpp"
#include "stability_sum.hpp"
#include "unverified_replay.hpp"

namespace kelvora::temporal {

namespace {

using Units = analysis::StabilityUnits;
using analysis::stability_units;

struct PairKey {
  ConceptId low;
  ConceptId high;
  friend bool operator==(const PairKey&, const PairKey&) = default;
};

PairKey pair_key(const ConceptId& a, const ConceptId& b) {
  return a < b ? PairKey{a, b} : PairKey{b, a};
}

struct PairHash {
  std::size_t operator()(const PairKey& key) const {
    return IdHash{}(key.low) ^ mix_bits(IdHash{}(key.high) + 0x9e3779b97f4a7c15ULL);
  }
};

// A reference to a Contradicts relation from one of the indexes; stale once
// the relation is gone or its id holds a newer relation.
struct Link {
  RelationId id;
  std::uint64_t serial = 0;
};

class CoherenceTracker {
 public:
  explicit CoherenceTracker(const KnowledgeState& initial) {
    for (const auto& [id, entry] : initial.concepts) {
      if (entry->status != ConceptStatus::Active) continue;
      info(id).active = true;
      ++active_count_;
      stability_ += stability_units(0, 0);
    }
    for (const auto& [id, entry] : initial.relations) {
      if (entry->relation_type == RelationType::Contradicts) add_contradiction(id, *entry);
    }
  }

  // Brings the figures from the state before to `after`, the result of
  // applying records[index].operation to it; `prior` is the prior state hash
  // a Merge or Split was applied with (unused for the other operations).
  void record(std::size_t index, const EvolutionOperation& operation, const Hash& prior,
              const KnowledgeState& after) {
    drop_removed_relations(operation, after);
    add_inserted_relations(operation, prior, after);
    const std::string_view kind = analysis::step_kind(operation);
    const bool is_revise = kind == "revise";
    analysis::for_each_touched(
        operation, [&](const ConceptId& id) { update_concept(id, after, index, is_revise); });
    for (const ConceptId& id : created_concepts(operation, prior)) {
      update_concept(id, after, kNoStep, false);
    }
  }

  std::size_t contradiction_count() const { return contradictions_between_active_; }

  double coherence_score() const {
    return analysis::coherence_score(active_count_, contradictions_between_active_,
                                     analysis::stability_total(stability_));
  }

 private:
  static constexpr std::size_t kNoStep = static_cast<std::size_t>(-1);

  struct ConceptInfo {
    std::uint64_t steps = 0;
    std::uint64_t revises = 0;
    std::size_t last_step = kNoStep;  // record index of the last counted step
    bool active = false;
    std::vector<Link> contradicts;  // Contradicts relations with this concept as an end
  };

  struct Contradiction {
    ConceptId from;
    ConceptId to;
    std::uint64_t serial = 0;
  };

  ConceptInfo& info(const ConceptId& id) {
    const auto [it, inserted] = slot_of_.try_emplace(id, concepts_.size());
    if (inserted) concepts_.emplace_back();
    return concepts_[it->second];
  }

  bool is_active(const ConceptId& id) const {
    const auto it = slot_of_.find(id);
    return it != slot_of_.end() && concepts_[it->second].active;
  }

  bool counted(const Contradiction& c) const { return is_active(c.from) && is_active(c.to); }

  const Contradiction* live(const Link& link) const {
    const auto it = contradictions_.find(link.id);
    return it != contradictions_.end() && it->second.serial == link.serial ? &it->second : nullptr;
  }

  // `id` is the relation's key in the state.
  void add_contradiction(const RelationId& id, const Relation& relation) {
    const Contradiction c{relation.from_concept, relation.to_concept, ++serial_};
    contradictions_.insert_or_assign(id, c);
    const Link link{id, c.serial};
    info(c.from).contradicts.push_back(link);
    if (c.to != c.from) info(c.to).contradicts.push_back(link);
    by_pair_[pair_key(c.from, c.to)].push_back(link);
    if (counted(c)) ++contradictions_between_active_;
  }

  void remove_contradiction(const RelationId& id) {
    const auto it = contradictions_.find(id);
    if (it == contradictions_.end()) return;
    if (counted(it->second)) --contradictions_between_active_;
    contradictions_.erase(it);
  }

  // Removes the relations of `links` that `after` no longer holds; keeps the
  // live ones that remain and drops stale links.
  void drop_gone(std::vector<Link>& links, const KnowledgeState& after) {
    std::size_t kept = 0;
    for (const Link& link : links) {
      if (live(link) == nullptr) continue;
      if (!after.relations.contains(link.id)) {
        remove_contradiction(link.id);
        continue;
      }
      links[kept++] = link;
    }
    links.resize(kept);
  }

  // Retract drops every relation of the concept; Revise the Contradicts
  // relations between the concept and its conflict set (all of the
  // concept's when it is in its own conflict set). Each list walked here is
  // emptied of what it held, so every link is walked a bounded number of times.
  void drop_removed_relations(const EvolutionOperation& operation, const KnowledgeState& after) {
    if (const auto* retract = std::get_if<op::Retract>(&operation)) {
      drop_gone(info(retract->concept_id).contradicts, after);
    } else if (const auto* revise = std::get_if<op::Revise>(&operation)) {
      const ConceptId& c = revise->concept_id;
      const auto& conflicts = revise->conflict_set;
      if (std::find(conflicts.begin(), conflicts.end(), c) != conflicts.end()) {
        drop_gone(info(c).contradicts, after);
        return;
      }
      for (const ConceptId& other : conflicts) {
        const auto it = by_pair_.find(pair_key(c, other));
        if (it == by_pair_.end()) continue;
        drop_gone(it->second, after);
        if (it->second.empty()) by_pair_.erase(it);
      }
    }
  }

  // The relations a record puts in (a new one, or a new one under an id
  // already used): Relate's, and the DerivesFrom links of a Merge or Split.
  void add_inserted_relations(const EvolutionOperation& operation, const Hash& prior,
                              const KnowledgeState& after) {
    auto put = [&](const RelationId& id) {
      remove_contradiction(id);
      const auto it = after.relations.find(id);
      if (it != after.relations.end() && it->second->relation_type == RelationType::Contradicts) {
        add_contradiction(id, *it->second);
      }
    };
    if (const auto* relate = std::get_if<op::Relate>(&operation)) {
      put(relate->relation.id);
      return;
    }
    // A DerivesFrom link can only replace a Contradicts relation whose id
    // happens to equal its derived id.
    if (contradictions_.empty()) return;
    if (const auto* merge = std::get_if<op::Merge>(&operation)) {
      const ConceptId merged = merged_id(*merge, prior);
      for (const ConceptId& source : merge->concept_ids) {
        put(operations::derive_merge_derives_from_id(prior, merged, source));
      }
    } else if (const auto* split = std::get_if<op::Split>(&operation)) {
      for (const ConceptId& part : split_ids(*split, prior)) {
        put(operations::derive_split_derives_from_id(prior, part, split->concept_id));
      }
    }
  }

  static ConceptId merged_id(const op::Merge& merge, const Hash& prior) {
    return operations::derive_merged_concept_id(prior, merge.concept_ids, merge.merged_term,
                                                merge.merged_definition);
  }

  static std::vector<ConceptId> split_ids(const op::Split& split, const Hash& prior) {
    std::vector<ConceptId> ids;
    ids.reserve(split.new_concepts.size());
    for (std::size_t k = 0; k < split.new_concepts.size(); ++k) {
      const auto& [term, definition] = split.new_concepts[k];
      ids.push_back(operations::derive_split_concept_id(
          prior, split.concept_id, static_cast<std::uint32_t>(k), term, definition));
    }
    return ids;
  }

  // The concepts a Merge or Split creates (no stability step for them).
  static std::vector<ConceptId> created_concepts(const EvolutionOperation& operation,
                                                 const Hash& prior) {
    if (const auto* merge = std::get_if<op::Merge>(&operation)) {
      return {merged_id(*merge, prior)};
    }
    if (const auto* split = std::get_if<op::Split>(&operation)) {
      return split_ids(*split, prior);
    }
    return {};
  }

  // Counts the step of record `step` (unless kNoStep, or already counted for
  // this record) and takes the concept's status from `after`.
  void update_concept(const ConceptId& id, const KnowledgeState& after, std::size_t step,
                      bool is_revise) {
    ConceptInfo& c = info(id);
    const bool new_step = step != kNoStep && c.last_step != step;
    const auto found = after.concepts.find(id);
    const bool now_active =
        found != after.concepts.end() && found->second->status == ConceptStatus::Active;
    if (!new_step && now_active == c.active) return;
    if (c.active) stability_ -= stability_units(c.revises, c.steps);
    if (new_step) {
      c.last_step = step;
      ++c.steps;
      if (is_revise) ++c.revises;
    }
    if (now_active != c.active) set_active(id, c, now_active);
    if (c.active) stability_ += stability_units(c.revises, c.steps);
  }

  void set_active(const ConceptId& id, ConceptInfo& c, bool active) {
    std::size_t kept = 0;
    for (const Link& link : c.contradicts) {
      const Contradiction* relation = live(link);
      if (relation == nullptr) continue;
      c.contradicts[kept++] = link;
      const bool other_active = relation->from == relation->to ||
                                is_active(relation->from == id ? relation->to : relation->from);
      if (!other_active) continue;
      if (active) {
        ++contradictions_between_active_;
      } else {
        --contradictions_between_active_;
      }
    }
    c.contradicts.resize(kept);
    c.active = active;
    if (active) {
      ++active_count_;
    } else {
      --active_count_;
    }
  }

  std::unordered_map<ConceptId, std::size_t, IdHash> slot_of_;
  std::vector<ConceptInfo> concepts_;
  std::unordered_map<RelationId, Contradiction, IdHash> contradictions_;
  std::unordered_map<PairKey, std::vector<Link>, PairHash> by_pair_;
  std::uint64_t serial_ = 0;
  std::size_t active_count_ = 0;
  std::size_t contradictions_between_active_ = 0;
  Units stability_ = 0;
};

// Bucket counts over a trailing window of records.
class DirectionWindow {
 public:
  DirectionWindow(std::span<const EvolutionRecord> records, std::uint64_t window)
      : records_(records), window_(window) {}

  analysis::Direction after(std::size_t index) {
    ++counts_[bucket(index)];
    if (window_ != 0 && index >= window_) --counts_[bucket(index - window_)];
    return analysis::direction_of(counts_[0], counts_[1], counts_[2]);
  }

 private:
  std::size_t bucket(std::size_t index) const {
    return static_cast<std::size_t>(analysis::bucket_of(records_[index].operation));
  }

  std::span<const EvolutionRecord> records_;
  std::uint64_t window_;
  std::array<std::size_t, 3> counts_{};
};

}  // namespace

Result<std::vector<CoherenceSnapshot>> convergence_trajectory(
    const KnowledgeState& initial, std::span<const EvolutionRecord> records, std::uint64_t window,
    RecordChain chain) {
  std::vector<CoherenceSnapshot> points;
  if (records.empty()) return points;
  points.reserve(records.size());
  UnverifiedReplay replay(initial, records, chain);
  CoherenceTracker tracker(replay.state());
  DirectionWindow directions(records, window);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const EvolutionRecord& record = records[i];
    auto prior = replay.step(record);
    if (!prior) return fail(std::move(prior.error()));
    tracker.record(i, record.operation, *prior, replay.state());
    points.push_back(CoherenceSnapshot{i, tracker.coherence_score(), tracker.contradiction_count(),
                                       replay.state().concepts.size(), directions.after(i)});
  }
  return points;
}

}  // namespace kelvora::temporal
