// Impact radius: what a change to one concept reaches along DerivesFrom
// relations (a relation from A to B says that A derives from B, so a change
// to B reaches A), and the structure nodes that refer to any of it.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"
#include "lookahead_walk.hpp"

namespace kelvora::analysis {

namespace {

constexpr std::uint32_t kAbsent = IdIndex<ConceptId>::kAbsent;

// Every concept named by a DerivesFrom relation, whatever its status and
// whether the state holds it, numbered in the order the relations name them;
// the concepts deriving from concept k are derived[begin[k] .. end[k]).
struct DerivationGraph {
  IdIndex<ConceptId> number;
  std::vector<ConceptId> ids;  // by number
  std::vector<IdOrder> order;  // by number
  std::vector<std::uint32_t> begin, end;
  std::vector<std::uint32_t> derived;

  explicit DerivationGraph(const KnowledgeState& state) {
    // The ends of every DerivesFrom relation, then their numbers: gathering
    // first lets the index be made at its final size and asked for ahead.
    std::vector<std::pair<ConceptId, ConceptId>> ends;  // (source, derived)
    walk_ahead(
        state.relations, prefetch_relation, [](const RelationId&, const Relation&) {},
        [&](const RelationId&, const Relation& relation) {
          if (relation.relation_type == RelationType::DerivesFrom) {
            ends.emplace_back(relation.to_concept, relation.from_concept);
          }
        });
    number = IdIndex<ConceptId>(2 * ends.size());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
    edges.reserve(ends.size());
    const auto number_of = [&](const ConceptId& id) {
      const auto [k, added] = number.insert(id);
      if (added) {
        ids.push_back(id);
        order.push_back(IdOrder::of(id));
      }
      return k;
    };
    for (std::size_t i = 0; i < ends.size(); ++i) {
      if (i + kWalkNear < ends.size()) {
        number.prefetch(ends[i + kWalkNear].first);
        number.prefetch(ends[i + kWalkNear].second);
      }
      const std::uint32_t source = number_of(ends[i].first);
      edges.emplace_back(source, number_of(ends[i].second));
    }
    const std::size_t n = ids.size();
    begin.assign(n + 1, 0);
    for (const auto& edge : edges) ++begin[edge.first + 1];
    for (std::size_t k = 0; k < n; ++k) begin[k + 1] += begin[k];
    end.assign(begin.begin(), begin.end() - 1);
    derived.resize(edges.size());
    for (const auto& [source, to] : edges) derived[end[source]++] = to;
  }

  // Sorts the list of k ascending by id and drops repeats (once per concept,
  // when the walk first reaches it).
  void sort_list(std::uint32_t k) {
    const auto first = derived.begin() + begin[k], last = derived.begin() + end[k];
    std::sort(first, last, [&](std::uint32_t a, std::uint32_t b) { return order[a] < order[b]; });
    end[k] = static_cast<std::uint32_t>(std::unique(first, last) - derived.begin());
  }
};

// The length of the longest derivation chain below `start`: a depth-first
// walk on an explicit stack. A concept is opened, its derived concepts are
// walked (the largest id first), and it is closed with one more than the
// deepest of them that is closed. A concept met again while still open (an
// edge back into the chain being walked) has no depth yet and adds nothing,
// so the walk ends on cycles too. Needs the sorted lists of every concept
// reachable from `start`.
std::size_t depth_below(const DerivationGraph& graph, std::uint32_t start) {
  enum Mark : std::uint8_t { kNew, kOpen, kDone };
  std::vector<Mark> mark(graph.ids.size(), kNew);
  std::vector<std::size_t> depth(graph.ids.size(), 0);
  struct Visit {
    std::uint32_t k;
    bool exit;
  };
  std::vector<Visit> stack{{start, false}};
  while (!stack.empty()) {
    const Visit visit = stack.back();
    stack.pop_back();
    const std::uint32_t k = visit.k;
    if (!visit.exit) {
      if (mark[k] != kNew) continue;
      mark[k] = kOpen;
      stack.push_back({k, true});
      for (std::uint32_t i = graph.begin[k]; i < graph.end[k]; ++i) {
        if (mark[graph.derived[i]] != kDone) stack.push_back({graph.derived[i], false});
      }
      continue;
    }
    std::size_t deepest = 0;
    for (std::uint32_t i = graph.begin[k]; i < graph.end[k]; ++i) {
      const std::uint32_t d = graph.derived[i];
      if (mark[d] == kDone) deepest = std::max(deepest, depth[d] + 1);
    }
    depth[k] = deepest;
    mark[k] = kDone;
  }
  return depth[start];
}

}  // namespace

ImpactReport impact_radius(const KnowledgeState& state, const ConceptId& concept_id) {
  ImpactReport report;
  DerivationGraph graph(state);
  const std::uint32_t start = graph.number.find(concept_id);
  std::vector<bool> reached(graph.ids.size(), false);
  if (start != kAbsent) {
    // Breadth-first: everything that derives from the start, directly or not.
    std::vector<std::uint32_t> queue{start};
    reached[start] = true;
    for (std::size_t head = 0; head < queue.size(); ++head) {
      const std::uint32_t k = queue[head];
      graph.sort_list(k);
      for (std::uint32_t i = graph.begin[k]; i < graph.end[k]; ++i) {
        const std::uint32_t d = graph.derived[i];
        if (!reached[d]) {
          reached[d] = true;
          queue.push_back(d);
        }
      }
    }
    std::vector<std::pair<IdOrder, std::uint32_t>> below;
    below.reserve(queue.size() - 1);
    for (std::size_t i = 1; i < queue.size(); ++i)
      below.emplace_back(graph.order[queue[i]], queue[i]);
    std::sort(below.begin(), below.end());
    report.downstream_concepts.reserve(below.size());
    for (const auto& [order, k] : below) report.downstream_concepts.push_back(graph.ids[k]);
    report.radius = depth_below(graph, start);
  }

  const auto affected = [&](const ConceptId& id) {
    if (id == concept_id) return true;
    const std::uint32_t k = graph.number.find(id);
    return k != kAbsent && reached[k];
  };
  for (const auto& [id, node] : state.structure) {
    if (std::any_of(node->concept_refs.begin(), node->concept_refs.end(), affected)) {
      report.affected_structure.push_back(id);
    }
  }
  return report;
}

}  // namespace kelvora::analysis
