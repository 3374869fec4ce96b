#include "kelvora/diff.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kelvora::diff {

namespace {

// Each id of `list` that `other` lacks, in list order (a repeated id as
// often as it stands there). A long `other` is searched in a sorted copy:
// a node may refer to tens of thousands of concepts.
std::vector<ConceptId> missing_from(const std::vector<ConceptId>& list,
                                    const std::vector<ConceptId>& other) {
  std::vector<ConceptId> missing;
  if (other.size() <= 16) {
    for (const ConceptId& id : list) {
      if (std::find(other.begin(), other.end(), id) == other.end()) missing.push_back(id);
    }
    return missing;
  }
  std::vector<ConceptId> sorted = other;
  std::sort(sorted.begin(), sorted.end());
  for (const ConceptId& id : list) {
    if (!std::binary_search(sorted.begin(), sorted.end(), id)) missing.push_back(id);
  }
  return missing;
}

// Walks two maps in key order together. Entries both states share are skipped
// without a look at their values: they cannot differ.
template <class Map, class OnAdded, class OnRemoved, class OnBoth>
void join(const Map& before, const Map& after, OnAdded on_added, OnRemoved on_removed,
          OnBoth on_both) {
  auto b = before.begin();
  auto a = after.begin();
  while (b != before.end() || a != after.end()) {
    if (b == before.end() || (a != after.end() && a->first < b->first)) {
      on_added(a->first);
      ++a;
    } else if (a == after.end() || b->first < a->first) {
      on_removed(b->first);
      ++b;
    } else {
      if (!a->second.same_node(b->second)) on_both(a->first, *b->second, *a->second);
      ++a;
      ++b;
    }
  }
}

}  // namespace

std::vector<ConceptChange> compare_concepts(const Concept& before, const Concept& after) {
  std::vector<ConceptChange> changes;
  if (before.definition != after.definition) {
    changes.emplace_back(DefinitionChanged{before.definition, after.definition});
  }
  // NaN on either side compares false and so records nothing.
  if (std::abs(before.confidence - after.confidence) > std::numeric_limits<double>::epsilon()) {
    changes.emplace_back(ConfidenceChanged{before.confidence, after.confidence});
  }
  if (before.status != after.status) {
    changes.emplace_back(StatusChanged{before.status, after.status});
  }
  return changes;
}

std::vector<StructureChange> compare_nodes(const StructureNode& before,
                                           const StructureNode& after) {
  std::vector<StructureChange> changes;
  if (before.title != after.title) changes.emplace_back(TitleChanged{before.title, after.title});
  if (before.parent != after.parent) {
    changes.emplace_back(ParentChanged{before.parent, after.parent});
  }
  if (before.position != after.position) {
    changes.emplace_back(PositionChanged{before.position, after.position});
  }
  if (before.concept_refs != after.concept_refs) {
    ConceptRefsChanged refs;
    refs.added = missing_from(after.concept_refs, before.concept_refs);
    refs.removed = missing_from(before.concept_refs, after.concept_refs);
    if (!refs.added.empty() || !refs.removed.empty()) changes.emplace_back(std::move(refs));
  }
  return changes;
}

StateDiff diff(const KnowledgeState& before, const KnowledgeState& after) {
  StateDiff d;
  join(
      before.concepts, after.concepts, [&](const ConceptId& id) { d.concepts_added.push_back(id); },
      [&](const ConceptId& id) { d.concepts_removed.push_back(id); },
      [&](const ConceptId& id, const Concept& old_value, const Concept& new_value) {
        auto changes = compare_concepts(old_value, new_value);
        if (!changes.empty()) d.concepts_modified.emplace_back(id, std::move(changes));
      });
  join(
      before.relations, after.relations,
      [&](const RelationId& id) { d.relations_added.push_back(id); },
      [&](const RelationId& id) { d.relations_removed.push_back(id); },
      [](const RelationId&, const Relation&, const Relation&) {});
  join(
      before.structure, after.structure,
      [&](const StructureNodeId& id) { d.structure_added.push_back(id); },
      [&](const StructureNodeId& id) { d.structure_removed.push_back(id); },
      [&](const StructureNodeId& id, const StructureNode& old_value,
          const StructureNode& new_value) {
        auto changes = compare_nodes(old_value, new_value);
        if (!changes.empty()) d.structure_modified.emplace_back(id, std::move(changes));
      });
  return d;
}

}  // namespace kelvora::diff
