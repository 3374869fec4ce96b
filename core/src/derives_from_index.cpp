#include "derives_from_index.hpp"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "kelvora/id_hash.hpp"

namespace kelvora {

namespace {

bool is_derivation(const Relation& relation) {
  return relation.relation_type == RelationType::DerivesFrom;
}

}  // namespace

DerivesFromIndex DerivesFromIndex::build(const RelationMap& relations) {
  std::vector<std::pair<Key, ConceptId>> edges;
  for (const auto& [id, entry] : relations) {
    if (is_derivation(*entry)) edges.emplace_back(Key{entry->from_concept, id}, entry->to_concept);
  }
  std::sort(edges.begin(), edges.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  DerivesFromIndex index;
  for (const auto& [key, to] : edges) index.edges_.emplace(key, to);  // appends, in key order
  return index;
}

void DerivesFromIndex::update(const RelationMap& before, const RelationMap& after,
                              std::span<const RelationId> changed) {
  for (const RelationId& id : changed) {
    const auto old_entry = before.find(id);
    const auto new_entry = after.find(id);
    if (old_entry != before.end() && is_derivation(*old_entry->second)) {
      edges_.erase(Key{old_entry->second->from_concept, id});
    }
    if (new_entry != after.end() && is_derivation(*new_entry->second)) {
      edges_.insert_or_assign(Key{new_entry->second->from_concept, id},
                              new_entry->second->to_concept);
    }
  }
}

bool DerivesFromIndex::reaches(const ConceptId& start, const ConceptId& target) const {
  std::vector<ConceptId> stack{start};
  std::unordered_set<ConceptId, IdHash> visited;
  while (!stack.empty()) {
    const ConceptId current = stack.back();
    stack.pop_back();
    if (current == target) return true;
    if (!visited.insert(current).second) continue;
    for (auto it = edges_.lower_bound(Key{current, RelationId{}});
         it != edges_.end() && it->first.from == current; ++it) {
      stack.push_back(it->second);
    }
  }
  return false;
}

}  // namespace kelvora
