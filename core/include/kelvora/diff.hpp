// What changed between two knowledge states.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kelvora/knowledge_state.hpp"
#include "kelvora/types.hpp"

namespace kelvora {

// Concept changes; each carries the old value, then the new one.
struct DefinitionChanged {
  std::string old_value;
  std::string new_value;
  friend bool operator==(const DefinitionChanged&, const DefinitionChanged&) = default;
};
struct ConfidenceChanged {
  double old_value = 0.0;
  double new_value = 0.0;
  friend bool operator==(const ConfidenceChanged&, const ConfidenceChanged&) = default;
};
struct StatusChanged {
  ConceptStatus old_value = ConceptStatus::Active;
  ConceptStatus new_value = ConceptStatus::Active;
  friend bool operator==(const StatusChanged&, const StatusChanged&) = default;
};
using ConceptChange = std::variant<DefinitionChanged, ConfidenceChanged, StatusChanged>;

// Structure node changes.
struct TitleChanged {
  std::string old_value;
  std::string new_value;
  friend bool operator==(const TitleChanged&, const TitleChanged&) = default;
};
struct ParentChanged {
  std::optional<StructureNodeId> old_value;
  std::optional<StructureNodeId> new_value;
  friend bool operator==(const ParentChanged&, const ParentChanged&) = default;
};
struct PositionChanged {
  std::uint32_t old_value = 0;
  std::uint32_t new_value = 0;
  friend bool operator==(const PositionChanged&, const PositionChanged&) = default;
};
struct ConceptRefsChanged {
  std::vector<ConceptId> added;
  std::vector<ConceptId> removed;
  friend bool operator==(const ConceptRefsChanged&, const ConceptRefsChanged&) = default;
};
using StructureChange =
    std::variant<TitleChanged, ParentChanged, PositionChanged, ConceptRefsChanged>;

// Every list in ascending identifier order; a modified entry never carries an
// empty change list. Relations present on both sides are never compared.
struct StateDiff {
  std::vector<ConceptId> concepts_added;
  std::vector<ConceptId> concepts_removed;
  std::vector<std::pair<ConceptId, std::vector<ConceptChange>>> concepts_modified;
  std::vector<RelationId> relations_added;
  std::vector<RelationId> relations_removed;
  std::vector<StructureNodeId> structure_added;
  std::vector<StructureNodeId> structure_removed;
  std::vector<std::pair<StructureNodeId, std::vector<StructureChange>>> structure_modified;

  friend bool operator==(const StateDiff&, const StateDiff&) = default;
};

namespace diff {

StateDiff diff(const KnowledgeState& before, const KnowledgeState& after);

// The changes of one concept (definition, confidence beyond machine epsilon,
// status) and of one structure node (title, parent, position, references).
std::vector<ConceptChange> compare_concepts(const Concept& before, const Concept& after);
std::vector<StructureChange> compare_nodes(const StructureNode& before, const StructureNode& after);

}  // namespace diff

}  // namespace kelvora
