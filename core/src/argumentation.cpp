// Argumentation status: the Active concepts as arguments that attack each
// other along Contradicts relations, and their grounded extension.
#include <cstdint>
#include <vector>

#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"
#include "lookahead_walk.hpp"

namespace kelvora::analysis {

// Attack is symmetric: a Contradicts relation between two Active concepts
// makes each an attacker of the other (a self-relation makes a concept its
// own attacker); other relations and relations with an end that is not
// Active are ignored. So an uncontested concept attacks nobody, and the
// grounded labelling (accept the unattacked, defeat what an accepted concept
// attacks, accept what only defeated concepts attack, until nothing changes)
// stops after its first round: it accepts exactly the uncontested concepts,
// defeats none and defends none. Every attacked concept stays undecided.
ArgumentationReport argumentation_status(const KnowledgeState& state) {
  const ActiveConcepts active = active_concepts(state);
  constexpr std::uint32_t kAbsent = IdIndex<ConceptId>::kAbsent;
  std::vector<bool> attacked(active.ids.size(), false);
  walk_ahead(
      state.relations, prefetch_relation,
      [&](const RelationId&, const Relation& relation) {
        if (relation.relation_type != RelationType::Contradicts) return;
        active.number.prefetch(relation.from_concept);
        active.number.prefetch(relation.to_concept);
      },
      [&](const RelationId&, const Relation& relation) {
        if (relation.relation_type != RelationType::Contradicts) return;
        const std::uint32_t from = active.number.find(relation.from_concept);
        const std::uint32_t to = active.number.find(relation.to_concept);
        if (from == kAbsent || to == kAbsent) return;
        attacked[from] = true;
        attacked[to] = true;
      });

  // Numbers ascend with the ids, so every list comes out in id order.
  ArgumentationReport report;
  for (std::size_t k = 0; k < active.ids.size(); ++k) {
    (attacked[k] ? report.attacked : report.uncontested).push_back(active.ids[k]);
  }
  report.grounded_extension = report.uncontested;
  return report;
}

}  // namespace kelvora::analysis
