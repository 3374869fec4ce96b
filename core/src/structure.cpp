#include "kelvora/structure.hpp"

#include <algorithm>
#include <set>
#include <string>
#include <utility>

namespace kelvora::structure {

namespace {

Result<void> check_parents_exist(const StructureMap& structure) {
  for (const auto& [id, node] : structure) {
    if (node->parent && !structure.contains(*node->parent)) {
      return fail(EngineError::invalid_structure("node " + id.to_string() +
                                                 " references nonexistent parent " +
                                                 node->parent->to_string()));
    }
  }
  return {};
}

// Walks each parent chain; a chain that ended cleanly marks all of its nodes,
// so later walks stop there and the pass stays linear on deep trees.
Result<void> check_no_cycles(const StructureMap& structure) {
  std::set<StructureNodeId> terminated;
  std::vector<StructureNodeId> walk;
  std::set<StructureNodeId> visited;
  for (const auto& entry : structure) {
    const StructureNodeId& start = entry.first;
    walk.clear();
    visited.clear();
    StructureNodeId current = start;
    while (true) {
      if (terminated.contains(current)) break;
      if (!visited.insert(current).second) {
        return fail(EngineError::invalid_structure(
            "cycle detected in parent chain involving node " + start.to_string()));
      }
      walk.push_back(current);
      auto it = structure.find(current);
      if (it == structure.end() || !it->second->parent) break;
      current = *it->second->parent;
    }
    terminated.insert(walk.begin(), walk.end());
  }
  return {};
}

Result<void> check_unique_positions(const StructureMap& structure) {
  std::set<std::pair<std::optional<StructureNodeId>, std::uint32_t>> seen;
  for (const auto& [id, node] : structure) {
    if (!seen.emplace(node->parent, node->position).second) {
      return fail(EngineError::invalid_structure(
          "duplicate position " + std::to_string(node->position) + " among siblings with parent " +
          debug_string(node->parent)));
    }
  }
  return {};
}

}  // namespace

Result<void> validate_structure(const StructureMap& structure) {
  if (auto r = check_parents_exist(structure); !r) return r;
  if (auto r = check_no_cycles(structure); !r) return r;
  return check_unique_positions(structure);
}

Grouping group_by_parent(const StructureMap& structure) {
  std::map<std::optional<StructureNodeId>, std::vector<std::pair<std::uint32_t, StructureNodeId>>>
      children;
  for (const auto& [id, node] : structure) children[node->parent].emplace_back(node->position, id);

  Grouping grouping;
  for (auto& [parent, list] : children) {
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    auto& ids = grouping[parent];
    ids.reserve(list.size());
    for (const auto& item : list) ids.push_back(item.second);
  }
  return grouping;
}

std::uint64_t count_inversions(std::span<const std::uint64_t> s) {
  if (s.size() < 2) return 0;
  const std::size_t mid = s.size() / 2;
  const auto left = s.first(mid);
  const auto right = s.subspan(mid);
  std::uint64_t count = count_inversions(left) + count_inversions(right);
  // Merge-count the halves as they stand; they are deliberately not sorted.
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < left.size() && j < right.size()) {
    if (left[i] <= right[j]) {
      ++i;
    } else {
      count += left.size() - i;
      ++j;
    }
  }
  return count;
}

double kendall_tau_distance(std::span<const StructureNodeId> first,
                            std::span<const StructureNodeId> second) {
  std::map<StructureNodeId, std::uint64_t> position;
  for (std::size_t i = 0; i < first.size(); ++i) position[first[i]] = i;
  std::vector<std::uint64_t> s;
  s.reserve(second.size());
  for (const auto& id : second) {
    if (auto it = position.find(id); it != position.end()) s.push_back(it->second);
  }
  const std::uint64_t m = s.size();
  if (m < 2) return 0.0;
  return static_cast<double>(count_inversions(s)) / static_cast<double>(m * (m - 1) / 2);
}

double structure_delta(const StructureMap& before, const StructureMap& after) {
  const double total = static_cast<double>(before.size() + after.size());
  if (before.size() + after.size() == 0) return 0.0;

  std::size_t added = 0;
  std::size_t removed = 0;
  std::size_t common = 0;
  std::size_t title_changed = 0;
  for (const auto& [id, node] : after) {
    auto it = before.find(id);
    if (it == before.end()) {
      ++added;
    } else {
      ++common;
      if (it->second->title != node->title) ++title_changed;
    }
  }
  for (const auto& entry : before) {
    if (!after.contains(entry.first)) ++removed;
  }

  const Grouping old_groups = group_by_parent(before);
  const Grouping new_groups = group_by_parent(after);
  double tau_sum = 0.0;
  std::size_t tau_count = 0;
  // Both groupings are ordered by parent key, so walking one and looking up the
  // other visits the shared keys in ascending order.
  for (const auto& [parent, old_list] : old_groups) {
    auto it = new_groups.find(parent);
    if (it == new_groups.end()) continue;
    const auto& new_list = it->second;
    if (old_list.size() < 2 && new_list.size() < 2) continue;
    tau_sum += kendall_tau_distance(old_list, new_list);
    ++tau_count;
  }

  const double tau_term = tau_count == 0 ? 0.0 : (tau_sum / static_cast<double>(tau_count)) * 0.3;
  const double title_term =
      (static_cast<double>(title_changed) / static_cast<double>(std::max<std::size_t>(common, 1))) *
      0.1;
  const double removed_term = (static_cast<double>(removed) / total) * 0.2;
  const double added_term = (static_cast<double>(added) / total) * 0.15;
  return (title_term + (removed_term + added_term)) + tau_term;
}

}  // namespace kelvora::structure
