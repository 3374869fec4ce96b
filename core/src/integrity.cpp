#include "kelvora/integrity.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvora/debug_text.hpp"
#include "kelvora/document_fields.hpp"
#include "kelvora/seeded_hash.hpp"

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
  for (const auto& [key, relation] : state.relations) {
    if (!state.concepts.contains(relation->from_concept)) {
      return refuse("relation " + key.to_string() +
                    " has a dangling from_concept: " + relation->from_concept.to_string());
    }
    if (!state.concepts.contains(relation->to_concept)) {
      return refuse("relation " + key.to_string() +
                    " has a dangling to_concept: " + relation->to_concept.to_string());
    }
  }

  // Hashed: only the first repeat in identifier order matters, and the
  // walk meets it in that order whatever the container.
  TextMap<ConceptId> active_terms;
  active_terms.reserve(state.concepts.size());
  for (const auto& [key, entry] : state.concepts) {
    if (entry->status != ConceptStatus::Active) continue;
    const auto [it, inserted] = active_terms.try_emplace(entry.normalized_term(), key);
    if (!inserted) {
      return refuse("two Active concepts share the normalized term " + debug_quoted(entry->term) +
                    ": " + it->second.to_string() + " and " + key.to_string());
    }
  }

  return check_derives_from_cycles(state);
}

}  // namespace kelvora::exchange
