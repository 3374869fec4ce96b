// The relations of a state by concept, so that a step asks for the
// relations it concerns instead of walking them all: the DerivesFrom
// relations by the concept they start from (whether a new derivation would
// close a cycle walks what it reaches), and every relation under each
// concept it names (what a Retract or Revise removes). Both sit in
// persistent maps: a state made from another shares the unchanged chunks
// with it, as its relation map does.
#pragma once

#include <compare>
#include <span>
#include <vector>

#include "kelvora/entry.hpp"
#include "kelvora/persistent_map.hpp"
#include "kelvora/types.hpp"

namespace kelvora {

class RelationIndex {
 public:
  // Every relation of the map.
  static RelationIndex build(const RelationMap& relations);

  // Carries this index (made for `before`) over to `after`, where only the
  // relations under `changed` may differ from `before`; an identifier may
  // repeat.
  void update(const RelationMap& before, const RelationMap& after,
              std::span<const RelationId> changed);

  // Whether `target` is `start` or is reached from it along DerivesFrom
  // relations (from the concept a relation starts at to the one it names).
  bool reaches(const ConceptId& start, const ConceptId& target) const;

  // Calls `visit(id, relation)` for each relation from or to `concept_id`,
  // in identifier order.
  template <class Visit>
  void for_each_touching(const ConceptId& concept_id, Visit visit) const {
    for (auto it = touching_.lower_bound(Key{concept_id, RelationId{}});
         it != touching_.end() && it->first.concept_id == concept_id; ++it) {
      visit(it->first.id, *it->second);
    }
  }

 private:
  struct Key {
    ConceptId concept_id;
    RelationId id;
    friend auto operator<=>(const Key&, const Key&) = default;
    friend bool operator==(const Key&, const Key&) = default;
  };
  // The keys a relation has in touching_ (one when it starts and ends at
  // the same concept).
  static std::vector<Key> touching_keys(const RelationId& id, const Relation& relation);

  PersistentMap<Key, ConceptId> derives_;         // each to_concept
  PersistentMap<Key, Entry<Relation>> touching_;  // under both ends
};

}  // namespace kelvora
