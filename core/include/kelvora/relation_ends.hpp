// The check that every relation of a state joins two of its concepts, which
// the document reader and the AGM report both make.
#pragma once

#include <optional>

#include "kelvora/knowledge_state.hpp"

namespace kelvora {

// A relation end that names no concept of the state.
struct DanglingEnd {
  const RelationId* id;  // the relation's key in the state
  const Relation* relation;
  bool from;  // the `from` end, else the `to` end

  const ConceptId& concept_id() const {
    return from ? relation->from_concept : relation->to_concept;
  }
};

// The first dangling end in identifier order of the relations, a relation's
// `from` end before its `to` end; none when every end names a concept.
std::optional<DanglingEnd> first_dangling_end(const KnowledgeState& state);

}  // namespace kelvora
