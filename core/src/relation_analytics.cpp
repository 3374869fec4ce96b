// Relation analytics: type counts, degree centrality, dead relations and the
// connected clusters of the Active concepts.
#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"
#include "lookahead_walk.hpp"

namespace kelvora::analysis {

namespace {

// Disjoint sets over concept numbers (union by size, path halving). The
// clusters are the connected components of the live relations, which a
// breadth-first search would find too; this needs no adjacency lists and no
// walk at all, so no chain can be too long for it.
class Components {
 public:
  // parent_[k] is k's parent, or minus the size of the set whose root k is.
  explicit Components(std::size_t n) : parent_(n, -1) {}

  std::uint32_t root(std::uint32_t k) {
    while (parent_[k] >= 0) {
      const auto up = static_cast<std::uint32_t>(parent_[k]);
      if (parent_[up] >= 0) parent_[k] = parent_[up];
      k = up;
    }
    return k;
  }

  void join(std::uint32_t a, std::uint32_t b) {
    a = root(a);
    b = root(b);
    if (a == b) return;
    if (parent_[a] > parent_[b]) std::swap(a, b);  // a is the larger set
    parent_[a] += parent_[b];
    parent_[b] = static_cast<std::int32_t>(a);
  }

  // The number of members of the set whose root is `r`.
  std::uint32_t size_at_root(std::uint32_t r) const {
    return static_cast<std::uint32_t>(-parent_[r]);
  }

  void prefetch(std::uint32_t k) const { __builtin_prefetch(&parent_[k]); }

 private:
  std::vector<std::int32_t> parent_;
};

// Members ascending (concepts are numbered in id order); largest cluster
// first, clusters of equal size by their smallest member.
std::vector<std::vector<ConceptId>> clusters_of(Components& components,
                                                const std::vector<ConceptId>& active) {
  const auto n = static_cast<std::uint32_t>(active.size());
  constexpr std::uint32_t kNone = IdIndex<ConceptId>::kAbsent;
  std::vector<std::uint32_t> cluster_of_root(n, kNone);
  std::vector<std::vector<ConceptId>> clusters;
  for (std::uint32_t k = 0; k < n; ++k) {
    const std::uint32_t r = components.root(k);
    std::uint32_t& cluster = cluster_of_root[r];
    if (cluster == kNone) {
      cluster = static_cast<std::uint32_t>(clusters.size());
      clusters.emplace_back().reserve(components.size_at_root(r));
    }
    clusters[cluster].push_back(active[k]);
  }
  std::stable_sort(clusters.begin(), clusters.end(),
                   [](const auto& a, const auto& b) { return a.size() > b.size(); });
  return clusters;
}

}  // namespace

RelationReport relation_analytics(const KnowledgeState& state) {
  const ActiveConcepts active = active_concepts(state);
  const std::size_t n = active.ids.size();
  constexpr std::uint32_t kDead = IdIndex<ConceptId>::kAbsent;

  RelationReport report;
  std::array<std::size_t, kRelationTypeCount> type_counts{};
  // The numbers of the ends of every live relation, gathered first so that
  // the second pass can ask for the sets it joins ahead.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> live;
  live.reserve(state.relations.size());
  walk_ahead(
      state.relations, prefetch_relation,
      [&](const RelationId&, const Relation& relation) {
        active.number.prefetch(relation.from_concept);
        active.number.prefetch(relation.to_concept);
      },
      [&](const RelationId& id, const Relation& relation) {
        ++type_counts[static_cast<std::size_t>(relation.relation_type)];
        const std::uint32_t from = active.number.find(relation.from_concept);
        const std::uint32_t to = active.number.find(relation.to_concept);
        if (from == kDead || to == kDead) {
          report.dead_relations.push_back(id);
        } else {
          live.emplace_back(from, to);
        }
      });

  std::vector<std::uint32_t> degree(n, 0);  // out-degree + in-degree
  Components components(n);
  for (std::size_t i = 0; i < live.size(); ++i) {
    if (i + kWalkFar < live.size()) {
      components.prefetch(live[i + kWalkFar].first);
      components.prefetch(live[i + kWalkFar].second);
      __builtin_prefetch(&degree[live[i + kWalkFar].first]);
      __builtin_prefetch(&degree[live[i + kWalkFar].second]);
    }
    const auto [from, to] = live[i];
    // A self-relation counts once out and once in.
    ++degree[from];
    ++degree[to];
    components.join(from, to);
  }

  for (int t = 0; t < kRelationTypeCount; ++t) {
    if (type_counts[t] != 0) {
      report.type_distribution.emplace_back(static_cast<RelationType>(t), type_counts[t]);
    }
  }
  report.concept_centrality.reserve(n);
  const double scale = 2.0 * static_cast<double>(n);
  for (std::size_t k = 0; k < n; ++k) {
    report.concept_centrality.emplace_back(active.ids[k], static_cast<double>(degree[k]) / scale);
  }
  report.clusters = clusters_of(components, active.ids);
  return report;
}

}  // namespace kelvora::analysis
