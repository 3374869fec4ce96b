// Rules for the structure tree: validation, grouping by parent and the
// structure delta score that enters record chain hashes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "kelvora/entry.hpp"
#include "kelvora/error.hpp"
#include "kelvora/types.hpp"

namespace kelvora::structure {

// Parents exist, parent chains have no cycles, sibling positions are unique;
// the first failure is an InvalidStructure error.
Result<void> validate_structure(const StructureMap& structure);

// Children per parent key (top level = nullopt, ordered first), each list by
// position, equal positions in identifier order.
using Grouping = std::map<std::optional<StructureNodeId>, std::vector<StructureNodeId>>;
Grouping group_by_parent(const StructureMap& structure);

// A merge count over unsorted halves: equals the number of inversions only when
// every half it visits is already ascending. Stored chain hashes depend on this
// exact value, so it must not be "fixed".
std::uint64_t count_inversions(std::span<const std::uint64_t> sequence);

// Normalised inversion count of `second` against the order of `first`, over
// the ids present in both.
double kendall_tau_distance(std::span<const StructureNodeId> first,
                            std::span<const StructureNodeId> second);

// How far `after` is from `before`, between 0 and 0.6.
double structure_delta(const StructureMap& before, const StructureMap& after);

}  // namespace kelvora::structure
