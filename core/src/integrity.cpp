#include "kelvora/integrity.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "entry_walk.hpp"
#include "kelvora/debug_text.hpp"
#include "kelvora/document_fields.hpp"
#include "kelvora/first_positions.hpp"
#include "kelvora/relation_ends.hpp"

namespace kelvora::exchange {
namespace {

// Depth-first search over DerivesFrom edges with an explicit stack, so a
// chain of any length is searched in constant call depth.
Result<void> check_derives_from_cycles(const KnowledgeState& state) {
  std::map<ConceptId, std::vector<ConceptId>> successors;
  for (const auto& [key, relation] : state.relations) {
    if (relation->relation_type == RelationType::DerivesFrom) {
      successors[relation->from_concept].push_back(relation->to_concept);
    }
  }
  if (successors.empty()) return {};

  enum Mark : std::uint8_t { kNone = 0, kOnPath = 1, kDone = 2 };
  std::map<ConceptId, std::uint8_t> marks;
  std::vector<std::pair<ConceptId, bool>> stack;  // (concept, exiting)
  const std::vector<ConceptId> none;
  for (const auto& [start, entry] : state.concepts) {
    if (marks[start] != kNone) continue;
    stack.emplace_back(start, false);
    while (!stack.empty()) {
      const auto [n, exiting] = stack.back();
      stack.pop_back();
      std::uint8_t& mark = marks[n];
      if (exiting) {
        mark = kDone;
        continue;
      }
      if (mark == kDone) continue;
      if (mark == kOnPath)
        return refuse("DerivesFrom cycle reachable from concept " + n.to_string());
      mark = kOnPath;
      stack.emplace_back(n, true);
      const auto found = successors.find(n);
      for (const ConceptId& s : found == successors.end() ? none : found->second) {
        if (s == n) return refuse("self-referential DerivesFrom on concept " + n.to_string());
        if (marks[s] == kDone) continue;
        stack.emplace_back(s, false);
      }
    }
  }
  return {};
}

}  // namespace

Result<void> validate_referential_integrity(const KnowledgeState& state) {
  if (const auto dangling = first_dangling_end(state)) {
    return refuse("relation " + dangling->id->to_string() + " has a dangling " +
                  (dangling->from ? "from_concept: " : "to_concept: ") +
                  dangling->concept_id().to_string());
  }

  // The normal forms of the Active terms in identifier order: the first
  // one met before names the clash, whatever the table's order.
  std::vector<std::pair<const ConceptId*, const Entry<Concept>*>> active;
  std::vector<std::string_view> terms;
  walk_entries_ahead<16, 0>(
      state.concepts, [](const ConceptId&, const Entry<Concept>& entry) { entry.prefetch_value(); },
      [](const ConceptId&, const Entry<Concept>&) {},
      [&](const ConceptId& key, const Entry<Concept>& entry) {
        if (entry->status != ConceptStatus::Active) return;
        active.emplace_back(&key, &entry);
        terms.push_back(entry.normalized_term());
      });
  const FirstPositions<std::string_view> first(terms);
  for (std::size_t k = 0; k < terms.size(); ++k) {
    const std::size_t before = first.find(terms[k]);
    if (before != k) {
      return refuse("two Active concepts share the normalized term " +
                    debug_quoted((*active[k].second)->term) + ": " +
                    active[before].first->to_string() + " and " + active[k].first->to_string());
    }
  }

  return check_derives_from_cycles(state);
}

}  // namespace kelvora::exchange
