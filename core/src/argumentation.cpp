// Argumentation status: the Active concepts as arguments that attack each
// other along Contradicts relations, and their grounded extension.
#include <cstdint>
#include <utility>
#include <vector>

#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"
#include "state_walks.hpp"

namespace kelvora::analysis {

namespace {

enum class Label : std::uint8_t { Undecided, In, Out };

// Attackers of each Active concept by number, in compressed rows: the
// attackers of k are attackers[offsets[k] .. offsets[k + 1]). Repeats are
// kept; they change no test below.
struct AttackGraph {
  std::vector<std::uint32_t> offsets;
  std::vector<std::uint32_t> attackers;

  std::size_t count(std::uint32_t k) const { return offsets[k + 1] - offsets[k]; }
  template <class Pred>
  bool any_attacker(std::uint32_t k, Pred&& pred) const {
    for (std::uint32_t i = offsets[k]; i < offsets[k + 1]; ++i) {
      if (pred(attackers[i])) return true;
    }
    return false;
  }
};

// Attack is symmetric: a Contradicts relation between two Active concepts
// makes each one an attacker of the other (a self-relation makes the concept
// its own attacker). Other relations and dead ends are ignored.
AttackGraph attack_graph(const KnowledgeState& state, const IdIndex<ConceptId>& number,
                         std::size_t active) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> attacks;  // (attacker, attacked)
  walk_ahead(
      state.relations, prefetch_relation,
      [&](const RelationId&, const Relation& relation) {
        if (relation.relation_type != RelationType::Contradicts) return;
        number.prefetch(relation.from_concept);
        number.prefetch(relation.to_concept);
      },
      [&](const RelationId&, const Relation& relation) {
        if (relation.relation_type != RelationType::Contradicts) return;
        const std::uint32_t from = number.find(relation.from_concept);
        const std::uint32_t to = number.find(relation.to_concept);
        if (from == IdIndex<ConceptId>::kAbsent || to == IdIndex<ConceptId>::kAbsent) return;
        attacks.emplace_back(from, to);
        attacks.emplace_back(to, from);
      });
  AttackGraph graph;
  graph.offsets.assign(active + 1, 0);
  for (const auto& [attacker, attacked] : attacks) ++graph.offsets[attacked + 1];
  for (std::size_t k = 0; k < active; ++k) graph.offsets[k + 1] += graph.offsets[k];
  graph.attackers.resize(attacks.size());
  std::vector<std::uint32_t> fill(graph.offsets.begin(), graph.offsets.end() - 1);
  for (const auto& [attacker, attacked] : attacks) graph.attackers[fill[attacked]++] = attacker;
  return graph;
}

}  // namespace

ArgumentationReport argumentation_status(const KnowledgeState& state) {
  // Active concepts numbered in ascending id order: every list below comes
  // out sorted by walking the numbers in order.
  const ActiveConcepts active_set = active_concepts(state);
  const std::vector<ConceptId>& active = active_set.ids;
  const auto n = static_cast<std::uint32_t>(active.size());
  const AttackGraph graph = attack_graph(state, active_set.number, n);

  ArgumentationReport report;
  std::vector<Label> label(n, Label::Undecided);
  for (std::uint32_t k = 0; k < n; ++k) {
    if (graph.count(k) == 0) {
      report.uncontested.push_back(active[k]);
      label[k] = Label::In;
    } else {
      report.attacked.push_back(active[k]);
    }
  }

  // Grounded labelling: a concept attacked by an accepted one is defeated; a
  // concept all of whose attackers are defeated is accepted. Repeat until
  // nothing changes.
  for (bool changed = true; changed;) {
    changed = false;
    for (std::uint32_t k = 0; k < n; ++k) {
      if (label[k] != Label::Undecided) continue;
      if (graph.any_attacker(k, [&](std::uint32_t a) { return label[a] == Label::In; })) {
        label[k] = Label::Out;
        changed = true;
      }
    }
    for (std::uint32_t k = 0; k < n; ++k) {
      if (label[k] != Label::Undecided || graph.count(k) == 0) continue;
      if (!graph.any_attacker(k, [&](std::uint32_t a) { return label[a] != Label::Out; })) {
        label[k] = Label::In;
        changed = true;
      }
    }
  }

  for (std::uint32_t k = 0; k < n; ++k) {
    if (label[k] != Label::In) continue;
    report.grounded_extension.push_back(active[k]);
    if (graph.count(k) != 0) report.defended.push_back(active[k]);
  }
  return report;
}

}  // namespace kelvora::analysis
