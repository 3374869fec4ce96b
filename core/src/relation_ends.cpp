#include "kelvora/relation_ends.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "entry_walk.hpp"

namespace kelvora {

namespace {

// A relation end: the concept it names, and 2 × the relation's position in
// identifier order, plus 1 for the `to` end.
struct End {
  ConceptId concept_id;
  std::size_t code;
};

// The ends in concept order: grouped by the leading bits of the identifier,
// about eight ends to a group, in two passes, then each group sorted. A sort
// of all the ends at once would compare each of them many times.
void sort_by_concept(std::vector<End>& ends) {
  int bits = 1;
  while (bits < 24 && (std::size_t{1} << (bits + 3)) < ends.size()) ++bits;
  auto group = [bits](const End& end) {
    return static_cast<std::size_t>(Uuid::big_endian_half(end.concept_id.uuid, 0) >> (64 - bits));
  };
  std::vector<std::size_t> start((std::size_t{1} << bits) + 1, 0);
  for (const End& end : ends) ++start[group(end) + 1];
  for (std::size_t g = 1; g < start.size(); ++g) start[g] += start[g - 1];
  std::vector<End> grouped(ends.size());
  std::vector<std::size_t> next(start.begin(), start.end() - 1);
  for (const End& end : ends) grouped[next[group(end)]++] = end;
  auto by_concept = [](const End& a, const End& b) { return a.concept_id < b.concept_id; };
  for (std::size_t g = 0; g + 1 < start.size(); ++g) {
    const auto from = grouped.begin() + static_cast<std::ptrdiff_t>(start[g]);
    const auto to = grouped.begin() + static_cast<std::ptrdiff_t>(start[g + 1]);
    std::sort(from, to, by_concept);
  }
  ends = std::move(grouped);
}

}  // namespace

// The ends are checked in concept order rather than looked up one by one at
// random: a large state's concept map does not stay in the cache.
std::optional<DanglingEnd> first_dangling_end(const KnowledgeState& state) {
  std::vector<std::pair<const RelationId*, const Relation*>> relations;
  std::vector<End> ends;
  relations.reserve(state.relations.size());
  ends.reserve(2 * state.relations.size());
  walk_entries_ahead<16, 0>(
      state.relations,
      [](const RelationId&, const Entry<Relation>& entry) { entry.prefetch_value(); },
      [](const RelationId&, const Entry<Relation>&) {},
      [&](const RelationId& key, const Entry<Relation>& entry) {
        // An end the relation before has on the same side is left out: it
        // is found or missing with that one, whose code is smaller. (The
        // relations of a Split all lead to one concept, those of a Merge
        // from one.)
        const std::size_t code = 2 * relations.size();
        const Relation* before = relations.empty() ? nullptr : relations.back().second;
        relations.emplace_back(&key, &entry.value());
        if (before == nullptr || before->from_concept != entry->from_concept) {
          ends.push_back({entry->from_concept, code});
        }
        if (before == nullptr || before->to_concept != entry->to_concept) {
          ends.push_back({entry->to_concept, code + 1});
        }
      });
  sort_by_concept(ends);
  // Ends at least an eighth as many as the concepts are met in one walk over
  // the concepts; fewer are looked up, each where the one before left off.
  const bool walk = ends.size() * 8 >= state.concepts.size();
  auto concept_at = state.concepts.begin();
  const auto concepts_end = state.concepts.end();
  std::optional<std::size_t> first;
  for (const End& end : ends) {
    bool found = false;
    if (walk) {
      while (concept_at != concepts_end && concept_at->first < end.concept_id) ++concept_at;
      found = concept_at != concepts_end && concept_at->first == end.concept_id;
    } else {
      found = state.concepts.contains(end.concept_id);
    }
    if (!found && (!first || end.code < *first)) first = end.code;
  }
  if (!first) return std::nullopt;
  const auto [id, relation] = relations[*first / 2];
  return DanglingEnd{id, relation, *first % 2 == 0};
}

}  // namespace kelvora
