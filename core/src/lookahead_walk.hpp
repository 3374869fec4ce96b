// Walks over a state for the reports: the walk of entry_walk.hpp, over the
// entries' values, with the distances the reports use. `far` asks for the
// fields a report reads, `near` (once they have arrived) for whatever `body`
// will read next, such as an index slot.
#pragma once

#include <cstddef>
#include <vector>

#include "entry_walk.hpp"
#include "kelvora/id_index.hpp"
#include "kelvora/knowledge_state.hpp"

namespace kelvora::analysis {

inline constexpr std::size_t kWalkFar = 16;
inline constexpr std::size_t kWalkNear = 8;

// Asks for the cache line that holds `field` (locality: see __builtin_prefetch).
template <class T>
void prefetch_field(const T& field) {
  __builtin_prefetch(&field, 0, 3);
}

// Walks `map` in key order: far(value) kWalkFar entries ahead, where it may
// only ask for the fields it wants (their block is not loaded yet), then
// near(key, value) kWalkNear entries ahead, when those fields have arrived,
// and body(key, value) last.
template <class Map, class Far, class Near, class Body>
void walk_ahead(const Map& map, Far&& far, Near&& near, Body&& body) {
  walk_entries_ahead<kWalkFar, kWalkNear>(
      map, [&](const auto&, const auto& entry) { far(entry.value()); },
      [&](const auto& key, const auto& entry) { near(key, entry.value()); },
      [&](const auto& key, const auto& entry) { body(key, entry.value()); });
}

// The fields a report reads of a relation: its ends and its type.
inline void prefetch_relation(const Relation& relation) {
  prefetch_field(relation.from_concept);
  prefetch_field(relation.relation_type);
}

// The Active concepts of a state in ascending id order, numbered in that
// order: number.find(ids[k]) == k.
struct ActiveConcepts {
  std::vector<ConceptId> ids;
  IdIndex<ConceptId> number;
};

// The ids are gathered first, so that the index is sized for the Active
// concepts alone. It is sized for twice as many (at most three eighths
// full): the reports look up far more ids than they insert, many of them
// absent, and a sparser table ends a probe sooner.
inline ActiveConcepts active_concepts(const KnowledgeState& state) {
  std::vector<ConceptId> ids;
  ids.reserve(state.concepts.size());
  walk_ahead(
      state.concepts, [](const Concept& c) { prefetch_field(c.status); },
      [](const ConceptId&, const Concept&) {},
      [&](const ConceptId& id, const Concept& c) {
        if (c.status == ConceptStatus::Active) ids.push_back(id);
      });
  IdIndex<ConceptId> number(2 * ids.size());
  for (std::size_t k = 0; k < ids.size(); ++k) {
    if (k + kWalkFar < ids.size()) number.prefetch(ids[k + kWalkFar]);
    number.insert(ids[k]);
  }
  return {std::move(ids), std::move(number)};
}

}  // namespace kelvora::analysis
