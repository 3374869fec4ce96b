// The DerivesFrom relations of a state by the concept they start from, so
// that whether a new derivation would close a cycle is answered by walking
// what it reaches rather than every relation. The edges sit in a persistent
// map: a state made from another shares the unchanged chunks with it, as its
// relation map does.
#pragma once

#include <compare>
#include <span>

#include "kelvora/entry.hpp"
#include "kelvora/persistent_map.hpp"
#include "kelvora/types.hpp"

namespace kelvora {

class DerivesFromIndex {
 public:
  // Every DerivesFrom relation of the map.
  static DerivesFromIndex build(const RelationMap& relations);

  // Carries this index (made for `before`) over to `after`, where only the
  // relations under `changed` may differ from `before`; an identifier may
  // repeat.
  void update(const RelationMap& before, const RelationMap& after,
              std::span<const RelationId> changed);

  // Whether `target` is `start` or is reached from it along DerivesFrom
  // relations (from the concept a relation starts at to the one it names).
  bool reaches(const ConceptId& start, const ConceptId& target) const;

 private:
  struct Key {
    ConceptId from;
    RelationId id;
    friend auto operator<=>(const Key&, const Key&) = default;
    friend bool operator==(const Key&, const Key&) = default;
  };

  PersistentMap<Key, ConceptId> edges_;  // to each relation's to_concept
};

}  // namespace kelvora
