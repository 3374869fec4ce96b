#include "relation_index.hpp"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "kelvora/seeded_hash.hpp"

namespace kelvora {

namespace {

bool is_derivation(const Relation& relation) {
  return relation.relation_type == RelationType::DerivesFrom;
}

}  // namespace

std::vector<RelationIndex::Key> RelationIndex::touching_keys(const RelationId& id,
                                                             const Relation& relation) {
  if (relation.from_concept == relation.to_concept) return {Key{relation.from_concept, id}};
  return {Key{relation.from_concept, id}, Key{relation.to_concept, id}};
}

RelationIndex RelationIndex::build(const RelationMap& relations) {
  std::vector<std::pair<Key, ConceptId>> derives;
  std::vector<std::pair<Key, const Entry<Relation>*>> touching;
  touching.reserve(2 * relations.size());
  for (const auto& [id, entry] : relations) {
    if (is_derivation(*entry))
      derives.emplace_back(Key{entry->from_concept, id}, entry->to_concept);
    for (const Key& key : touching_keys(id, *entry)) touching.emplace_back(key, &entry);
  }
  const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::sort(derives.begin(), derives.end(), by_key);
  std::sort(touching.begin(), touching.end(), by_key);
  RelationIndex index;
  // Appends, in key order.
  for (const auto& [key, to] : derives) index.derives_.emplace(key, to);
  for (const auto& [key, entry] : touching) index.touching_.emplace(key, *entry);
  return index;
}

void RelationIndex::update(const RelationMap& before, const RelationMap& after,
                           std::span<const RelationId> changed) {
  for (const RelationId& id : changed) {
    const auto old_entry = before.find(id);
    const auto new_entry = after.find(id);
    if (old_entry != before.end()) {
      if (is_derivation(*old_entry->second))
        derives_.erase(Key{old_entry->second->from_concept, id});
      for (const Key& key : touching_keys(id, *old_entry->second)) touching_.erase(key);
    }
    if (new_entry != after.end()) {
      if (is_derivation(*new_entry->second)) {
        derives_.insert_or_assign(Key{new_entry->second->from_concept, id},
                                  new_entry->second->to_concept);
      }
      for (const Key& key : touching_keys(id, *new_entry->second)) {
        touching_.insert_or_assign(key, new_entry->second);
      }
    }
  }
}

bool RelationIndex::reaches(const ConceptId& start, const ConceptId& target) const {
  std::vector<ConceptId> stack{start};
  std::unordered_set<ConceptId, IdHash> visited;
  while (!stack.empty()) {
    const ConceptId current = stack.back();
    stack.pop_back();
    if (current == target) return true;
    if (!visited.insert(current).second) continue;
    for (auto it = derives_.lower_bound(Key{current, RelationId{}});
         it != derives_.end() && it->first.concept_id == current; ++it) {
      stack.push_back(it->second);
    }
  }
  return false;
}

}  // namespace kelvora
