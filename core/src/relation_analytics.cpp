// Relation analytics: type counts, degree centrality, dead relations and the
// connected clusters of the Active concepts.
#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <vector>

#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"
#include "state_walks.hpp"

namespace kelvora::analysis {

namespace {

// Disjoint sets over concept numbers (union by size, path halving). The
// clusters are the connected components of the live relations, which a
// breadth-first search would find too; this needs no adjacency lists and no
// walk at all, so no chain can be too long for it.
class Components {
 public:
  explicit Components(std::size_t n) : parent_(n), size_(n, 1) {
    std::iota(parent_.begin(), parent_.end(), std::uint32_t{0});
  }

  std::uint32_t root(std::uint32_t k) {
    while (parent_[k] != k) {
      parent_[k] = parent_[parent_[k]];
      k = parent_[k];
    }
    return k;
  }

  void join(std::uint32_t a, std::uint32_t b) {
    a = root(a);
    b = root(b);
    if (a == b) return;
    if (size_[a] < size_[b]) std::swap(a, b);
    parent_[b] = a;
    size_[a] += size_[b];
  }

 private:
  std::vector<std::uint32_t> parent_;
  std::vector<std::uint32_t> size_;
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
    std::uint32_t& cluster = cluster_of_root[components.root(k)];
    if (cluster == kNone) {
      cluster = static_cast<std::uint32_t>(clusters.size());
      clusters.emplace_back();
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
  std::vector<std::uint64_t> degree(n, 0);  // out-degree + in-degree
  Components components(n);
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
          return;
        }
        // A self-relation counts once out and once in.
        ++degree[from];
        ++degree[to];
        components.join(from, to);
      });

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
