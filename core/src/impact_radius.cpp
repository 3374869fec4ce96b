// Impact radius: what a change to one concept reaches along DerivesFrom
// relations (a relation from A to B says that A derives from B, so a change
// to B reaches A), and the structure nodes that refer to any of it.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"
#include "lookahead_walk.hpp"

namespace kelvora::analysis {

// Every concept named by a DerivesFrom relation or by a structure node,
// whatever its status and whether the state holds it, numbered in the order
// they are met. The concepts deriving from concept k are
// derived[derived_begin[k] .. derived_begin[k + 1]), ascending by id without
// repeats; the structure nodes referring to it are, as positions in
// node_ids (ascending ids), nodes[nodes_begin[k] .. nodes_begin[k + 1]).
struct DerivationIndex {
  IdIndex<ConceptId> number;
  std::vector<ConceptId> ids;  // by number
  std::vector<std::uint32_t> derived_begin, derived;
  std::vector<std::uint32_t> nodes_begin, nodes;
  std::vector<StructureNodeId> node_ids;

  explicit DerivationIndex(const KnowledgeState& state);
};

namespace {

constexpr std::uint32_t kAbsent = IdIndex<ConceptId>::kAbsent;

using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// The second members of `pairs` grouped by their first (a number below n):
// begin has n + 1 entries, the group of k is out[begin[k] .. begin[k + 1]),
// in the order of `pairs`.
void group(std::size_t n, const Pairs& pairs, std::vector<std::uint32_t>& begin,
           std::vector<std::uint32_t>& out) {
  begin.assign(n + 1, 0);
  for (const auto& pair : pairs) ++begin[pair.first + 1];
  for (std::size_t k = 0; k < n; ++k) begin[k + 1] += begin[k];
  std::vector<std::uint32_t> fill(begin.begin(), begin.end() - 1);
  out.resize(pairs.size());
  for (const auto& [k, value] : pairs) out[fill[k]++] = value;
}

}  // namespace

DerivationIndex::DerivationIndex(const KnowledgeState& state) {
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
  const auto number_of = [&](const ConceptId& id) {
    const auto [k, added] = number.insert(id);
    if (added) ids.push_back(id);
    return k;
  };
  Pairs edges;
  edges.reserve(ends.size());
  for (std::size_t i = 0; i < ends.size(); ++i) {
    if (i + kWalkNear < ends.size()) {
      number.prefetch(ends[i + kWalkNear].first);
      number.prefetch(ends[i + kWalkNear].second);
    }
    const std::uint32_t source = number_of(ends[i].first);
    edges.emplace_back(source, number_of(ends[i].second));
  }
  Pairs refs;  // (concept, node position)
  for (const auto& [id, node] : state.structure) {
    const auto position = static_cast<std::uint32_t>(node_ids.size());
    node_ids.push_back(id);
    for (const ConceptId& ref : node->concept_refs) refs.emplace_back(number_of(ref), position);
  }
  const std::size_t n = ids.size();
  group(n, refs, nodes_begin, nodes);

  // Each list sorted by id, repeats dropped, and the lists packed again.
  std::vector<std::uint32_t> lists;
  group(n, edges, derived_begin, lists);
  std::vector<IdOrder> order;
  order.reserve(n);
  for (const ConceptId& id : ids) order.push_back(IdOrder::of(id));
  derived.clear();
  derived.reserve(lists.size());
  for (std::size_t k = 0; k < n; ++k) {
    const auto first = lists.begin() + derived_begin[k],
               last = lists.begin() + derived_begin[k + 1];
    std::sort(first, last, [&](std::uint32_t a, std::uint32_t b) { return order[a] < order[b]; });
    derived_begin[k] = static_cast<std::uint32_t>(derived.size());
    derived.insert(derived.end(), first, std::unique(first, last));
  }
  derived_begin[n] = static_cast<std::uint32_t>(derived.size());
}

namespace {

// Local numbers, in the order of first insertion, for the index's numbers
// one call reaches: a flat hash table while they are few, an array over all
// numbers once they are an eighth of them (its size is then of the order of
// what was reached, so a call still costs what it reaches).
class LocalNumbers {
 public:
  explicit LocalNumbers(std::size_t universe) : universe_(universe) { slots_.assign(16, kFree); }

  std::uint32_t size() const { return size_; }

  // The local number of `g`, added as the next one when absent (then true).
  std::pair<std::uint32_t, bool> insert(std::uint32_t g) {
    if (!dense_.empty()) {
      if (dense_[g] != kAbsent) return {dense_[g], false};
      dense_[g] = size_;
      return {size_++, true};
    }
    std::size_t at = slot_of(g);
    for (; slots_[at] != kFree; at = (at + 1) & (slots_.size() - 1)) {
      if (static_cast<std::uint32_t>(slots_[at] >> 32) == g) {
        return {static_cast<std::uint32_t>(slots_[at]), false};
      }
    }
    slots_[at] = (std::uint64_t{g} << 32) | size_;
    const std::uint32_t added = size_++;
    if (std::size_t{size_} * 8 > universe_) {
      to_dense();
    } else if (std::size_t{size_} * 2 > slots_.size()) {
      grow();
    }
    return {added, true};
  }

  // The local number of `g`, which must have been inserted.
  std::uint32_t find(std::uint32_t g) const {
    if (!dense_.empty()) return dense_[g];
    for (std::size_t at = slot_of(g);; at = (at + 1) & (slots_.size() - 1)) {
      if (static_cast<std::uint32_t>(slots_[at] >> 32) == g) {
        return static_cast<std::uint32_t>(slots_[at]);
      }
    }
  }

 private:
  static constexpr std::uint64_t kFree = ~std::uint64_t{0};  // no number is 2^32 - 1

  std::size_t slot_of(std::uint32_t g) const {
    return static_cast<std::size_t>((std::uint64_t{g} * 0x9e3779b97f4a7c15ULL) >> 32) &
           (slots_.size() - 1);
  }

  void grow() {
    std::vector<std::uint64_t> old(slots_.size() * 2, kFree);
    old.swap(slots_);
    for (const std::uint64_t slot : old) {
      if (slot == kFree) continue;
      std::size_t at = slot_of(static_cast<std::uint32_t>(slot >> 32));
      while (slots_[at] != kFree) at = (at + 1) & (slots_.size() - 1);
      slots_[at] = slot;
    }
  }

  void to_dense() {
    dense_.assign(universe_, kAbsent);
    for (const std::uint64_t slot : slots_) {
      if (slot != kFree) dense_[slot >> 32] = static_cast<std::uint32_t>(slot);
    }
    slots_ = {};
  }

  std::size_t universe_;
  std::uint32_t size_ = 0;
  std::vector<std::uint64_t> slots_;  // (number << 32) | local number
  std::vector<std::uint32_t> dense_;  // by number, once in use
};

// The concepts reached from one start, numbered locally in the order the
// breadth-first walk reaches them (the start is 0).
struct Reached {
  LocalNumbers local;
  std::vector<std::uint32_t> global;  // the index's number, by local number
};

Reached reach(const DerivationIndex& index, std::uint32_t start) {
  Reached r{LocalNumbers(index.ids.size()), {start}};
  r.local.insert(start);
  for (std::size_t head = 0; head < r.global.size(); ++head) {
    const std::uint32_t k = r.global[head];
    for (std::uint32_t i = index.derived_begin[k]; i < index.derived_begin[k + 1]; ++i) {
      const std::uint32_t d = index.derived[i];
      if (r.local.insert(d).second) r.global.push_back(d);
    }
  }
  return r;
}

// The length of the longest derivation chain below the start: a depth-first
// walk on an explicit stack. A concept is opened, its derived concepts are
// walked (the largest id first), and it is closed with one more than the
// deepest of them that is closed. A concept met again while still open (an
// edge back into the chain being walked) has no depth yet and adds nothing,
// so the walk ends on cycles too.
std::size_t depth_below(const DerivationIndex& index, const Reached& reached) {
  enum Mark : std::uint8_t { kNew, kOpen, kDone };
  const std::size_t n = reached.global.size();
  std::vector<Mark> mark(n, kNew);
  std::vector<std::size_t> depth(n, 0);
  // The derived concepts of local k, as local numbers.
  const auto derived = [&](std::uint32_t k, auto visit) {
    const std::uint32_t g = reached.global[k];
    for (std::uint32_t i = index.derived_begin[g]; i < index.derived_begin[g + 1]; ++i) {
      visit(reached.local.find(index.derived[i]));
    }
  };
  struct Visit {
    std::uint32_t k;
    bool exit;
  };
  std::vector<Visit> stack{{0, false}};
  while (!stack.empty()) {
    const Visit visit = stack.back();
    stack.pop_back();
    const std::uint32_t k = visit.k;
    if (!visit.exit) {
      if (mark[k] != kNew) continue;
      mark[k] = kOpen;
      stack.push_back({k, true});
      derived(k, [&](std::uint32_t d) {
        if (mark[d] != kDone) stack.push_back({d, false});
      });
      continue;
    }
    std::size_t deepest = 0;
    derived(k, [&](std::uint32_t d) {
      if (mark[d] == kDone) deepest = std::max(deepest, depth[d] + 1);
    });
    depth[k] = deepest;
    mark[k] = kDone;
  }
  return depth[0];
}

}  // namespace

ImpactReport impact_radius(const KnowledgeState& state, const ConceptId& concept_id) {
  ImpactReport report;
  const DerivationIndex& index = state.derivation_index();
  const std::uint32_t start = index.number.find(concept_id);
  // A concept the index does not hold has nothing derived from it and no
  // node refers to it.
  if (start == kAbsent) return report;
  const Reached reached = reach(index, start);

  std::vector<std::pair<IdOrder, std::uint32_t>> below;
  below.reserve(reached.global.size() - 1);
  for (std::size_t i = 1; i < reached.global.size(); ++i) {
    const std::uint32_t k = reached.global[i];
    below.emplace_back(IdOrder::of(index.ids[k]), k);
  }
  std::sort(below.begin(), below.end());
  report.downstream_concepts.reserve(below.size());
  for (const auto& [order, k] : below) report.downstream_concepts.push_back(index.ids[k]);
  report.radius = depth_below(index, reached);

  // Node positions ascend as the node ids do.
  std::vector<std::uint32_t> positions;
  for (const std::uint32_t k : reached.global) {
    positions.insert(positions.end(), index.nodes.begin() + index.nodes_begin[k],
                     index.nodes.begin() + index.nodes_begin[k + 1]);
  }
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  report.affected_structure.reserve(positions.size());
  for (const std::uint32_t p : positions) report.affected_structure.push_back(index.node_ids[p]);
  return report;
}

}  // namespace kelvora::analysis

namespace kelvora {

const analysis::DerivationIndex& KnowledgeState::derivation_index() const {
  if (!derivation_index_) derivation_index_ = std::make_shared<analysis::DerivationIndex>(*this);
  return *derivation_index_;
}

}  // namespace kelvora
