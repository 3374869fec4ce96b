#include "kelvora/diff.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvora::diff {

namespace {

bool contains(const std::vector<ConceptId>& list, const ConceptId& id) {
  return std::find(list.begin(), list.end(), id) != list.end();
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
    for (const auto& id : after.concept_refs) {
      if (!contains(before.concept_refs, id)) refs.added.push_back(id);
    }
    for (const auto& id : before.concept_refs) {
      if (!contains(after.concept_refs, id)) refs.removed.push_back(id);
    }
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
