#include "kelvora/agm.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kelvora {
namespace {

template <class IdT>
IdT id(std::uint8_t n) {
  IdT out;
  out.uuid.bytes[15] = n;
  return out;
}
const ConceptId c1 = id<ConceptId>(1), c2 = id<ConceptId>(2), c3 = id<ConceptId>(3),
                c9 = id<ConceptId>(9);
const RelationId r1 = id<RelationId>(1);
const StructureNodeId n1 = id<StructureNodeId>(1), n2 = id<StructureNodeId>(2);
std::string t(const auto& x) { return x.to_string(); }

// c1 "one" and c2 "two" Active, c3 "three" Superseded, plus the given
// relations (all with id r1, so at most one) and nodes.
KnowledgeState state(std::vector<Relation> relations = {}, std::vector<StructureNode> nodes = {}) {
  KnowledgeState s;
  for (auto [cid, term] : {std::pair{c1, "one"}, {c2, "two"}, {c3, "three"}}) {
    const auto status = cid == c3 ? ConceptStatus::Superseded : ConceptStatus::Active;
    s.concepts.insert_or_assign(cid, Entry(Concept{cid, term, "def", 1.0, status, {}, {}}));
  }
  for (const auto& r : relations) s.relations.insert_or_assign(r.id, Entry(r));
  for (const auto& n : nodes) s.structure.insert_or_assign(n.id, Entry(n));
  return s;
}
Relation contradicts(ConceptId from, ConceptId to, RelationType type = RelationType::Contradicts) {
  return Relation{r1, from, to, type, {}, 1.0, {}, {}};
}
StructureNode node(StructureNodeId nid, std::optional<StructureNodeId> parent,
                   std::vector<ConceptId> refs = {}) {
  return StructureNode{nid, "title", "section", parent, 0, {}, std::move(refs)};
}

// An empty reason stands for Satisfied.
void expect(const char* name, agm::PostulateResult agm::AgmReport::* field,
            const KnowledgeState& before, const EvolutionOperation& operation,
            const KnowledgeState& after, const std::string& reason) {
  const agm::PostulateResult expected =
      reason.empty() ? agm::PostulateResult{} : agm::postulate::Violated{reason};
  EXPECT_EQ(agm::check_agm_compliance(before, operation, after).*field, expected) << name;
}

TEST(Agm, FirstOffendingItemIsTheReason) {
  const auto closure = &agm::AgmReport::closure, success = &agm::AgmReport::success,
             vacuity = &agm::AgmReport::vacuity, consistency = &agm::AgmReport::consistency;
  const op::Reinforce any{c1, {}};
  const auto cycle = std::vector{node(n1, n2), node(n2, n1)};
  const std::string rel = "relation " + t(r1) + " references nonexistent ";
  expect("both ends missing", closure, {}, any, state({contradicts(id<ConceptId>(7), c9)}),
         rel + "from_concept " + t(id<ConceptId>(7)));
  expect("relation before structure", closure, {}, any, state({contradicts(c1, c9)}, cycle),
         rel + "to_concept " + t(c9));
  expect("parent cycle", closure, {}, any, state({}, cycle),
         "invalid structure: invalid structure: cycle detected in parent chain involving node " +
             t(n1));
  expect("dangling reference", closure, {}, any, state({}, {node(n1, {}, {c1, c9})}),
         "structure node " + t(n1) + " references nonexistent concept " + t(c9));

  expect("retract", success, {}, op::Retract{c1, {}}, state(),
         "retracted concept " + t(c1) + " still present in result");
  expect("revise", success, {}, op::Revise{c1, "new", {c2}, {}}, state(),
         "revised concept " + t(c1) + " has definition 'def', expected 'new'");
  expect("merge term only superseded", success, {}, op::Merge{{c1, c2}, "three", "", {}}, state(),
         "merged concept 'three' not found as active in result");
  expect("reinforce", success, {}, op::Reinforce{c3, {}}, state(),
         "reinforced concept " + t(c3) + " has status Superseded, expected Active");
  expect("split result", success, {}, op::Split{c3, {{"one", ""}, {"One", ""}}, {}}, state(),
         "split result concept 'One' not found as active in result");

  const std::string no_conflict =
      "no Contradicts relations found between revised concept and conflict_set; Revise without "
      "real conflict should be Refine (vacuity postulate)";
  EXPECT_EQ(no_conflict.size(), 138u);
  expect("empty set", vacuity, state({contradicts(c1, c2)}), op::Revise{c1, "", {}, {}}, {},
         no_conflict);
  expect("not the revised", vacuity, state({contradicts(c2, c3)}), op::Revise{c1, "", {c2}, {}}, {},
         no_conflict);
  expect("member as from", vacuity, state({contradicts(c2, c1)}), op::Revise{c1, "", {c2}, {}}, {},
         "");
  expect("member as to", vacuity, state({contradicts(c1, c3)}), op::Revise{c1, "", {c3}, {}}, {},
         "");

  expect("two active", consistency, {}, any, state({contradicts(c2, c1)}),
         "active concepts " + t(c2) + " and " + t(c1) + " have a Contradicts relation");
  expect("one superseded", consistency, {}, any, state({contradicts(c1, c3)}), "");
}

TEST(Agm, NormalizeTerm) {
  EXPECT_EQ(agm::normalize_term("\u3000 Cafe\u0301 \u00c9T\u00c9S\t\n"),
            "caf\u00e9 \u00e9t\u00e9s");
  EXPECT_EQ(agm::normalize_term(" \u2003\n"), "");
}

}  // namespace
}  // namespace kelvora
