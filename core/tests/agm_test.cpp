#include "kelvora/agm.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
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

// Random states of a dozen or hundreds of relations, some with an end that names no
// concept, some Contradicts between Active concepts, and Splits whose terms
// are partly missing or repeated: each report names what a walk in
// identifier order (relations: from before to; terms: in pair order) meets
// first.
TEST(Agm, FirstOffendingItemAgreesWithAWalkInOrder) {
  std::mt19937 rng(7);
  auto any_id = [&](auto tag, std::uint32_t range) {
    decltype(tag) out;
    const std::uint32_t n = rng() % range;
    out.uuid.bytes[0] = static_cast<std::uint8_t>(n);  // leading bits vary too
    out.uuid.bytes[15] = static_cast<std::uint8_t>(n >> 8);
    return out;
  };
  for (int round = 0; round < 40; ++round) {
    KnowledgeState s;
    std::vector<std::string> terms;
    for (int k = 0; k < 300; ++k) {
      const ConceptId cid = any_id(ConceptId{}, 600);
      const auto status = rng() % 3 == 0 ? ConceptStatus::Superseded : ConceptStatus::Active;
      const std::string term = "t" + std::to_string(rng() % 400);
      s.concepts.insert_or_assign(cid, Entry(Concept{cid, term, "d", 1.0, status, {}, {}}));
    }
    // Rounds of many relations and of few (whose ends are looked up one by
    // one rather than met in a walk over the concepts).
    const bool few = round % 4 >= 2;
    const int dangling_per_mille = round % 2 == 0 ? 0 : few ? 100 : 3;
    for (int k = 0; k < (few ? 12 : 400); ++k) {
      auto end = [&] {
        if (static_cast<int>(rng() % 1000) < dangling_per_mille) return any_id(ConceptId{}, 600);
        auto at = s.concepts.begin();
        std::advance(at, rng() % s.concepts.size());
        return at->first;
      };
      const auto type = rng() % 8 == 0 ? RelationType::Contradicts : RelationType::Supports;
      const RelationId rid = any_id(RelationId{}, 60000);
      s.relations.insert_or_assign(rid, Entry(Relation{rid, end(), end(), type, {}, 1.0, {}, {}}));
    }
    std::string closure = "", consistency = "", split = "";
    for (const auto& [rid, r] : s.relations) {
      const bool from = s.concepts.contains(r->from_concept),
                 to = s.concepts.contains(r->to_concept);
      if (closure.empty() && !(from && to)) {
        closure = "relation " + t(rid) + " references nonexistent " +
                  (from ? "to_concept " + t(r->to_concept) : "from_concept " + t(r->from_concept));
      }
      auto active = [&](const ConceptId& c) {
        auto it = s.concepts.find(c);
        return it != s.concepts.end() && it->second->status == ConceptStatus::Active;
      };
      if (consistency.empty() && r->relation_type == RelationType::Contradicts &&
          active(r->from_concept) && active(r->to_concept)) {
        consistency = "active concepts " + t(r->from_concept) + " and " + t(r->to_concept) +
                      " have a Contradicts relation";
      }
    }
    std::set<std::string> active_terms;
    for (const auto& [cid, c] : s.concepts) {
      if (c->status == ConceptStatus::Active) active_terms.insert(c->term);
    }
    // The split concept: a Superseded one, as the Split left it.
    auto source = std::find_if(s.concepts.begin(), s.concepts.end(), [](const auto& entry) {
      return entry.second->status == ConceptStatus::Superseded;
    });
    ASSERT_NE(source, s.concepts.end());
    op::Split op{source->first, {}, {}};
    for (int k = 0; k < 50; ++k)
      op.new_concepts.emplace_back("t" + std::to_string(rng() % 400), "");
    for (const auto& [term, definition] : op.new_concepts) {
      if (split.empty() && !active_terms.contains(term)) {
        split = "split result concept '" + term + "' not found as active in result";
      }
    }
    expect("closure", &agm::AgmReport::closure, {}, op::Reinforce{c1, {}}, s, closure);
    expect("consistency", &agm::AgmReport::consistency, {}, op::Reinforce{c1, {}}, s, consistency);
    expect("split", &agm::AgmReport::success, {}, op, s, split);
  }
}

TEST(Agm, NormalizeTerm) {
  EXPECT_EQ(agm::normalize_term("\u3000 Cafe\u0301 \u00c9T\u00c9S\t\n"),
            "caf\u00e9 \u00e9t\u00e9s");
  EXPECT_EQ(agm::normalize_term(" \u2003\n"), "");
}

}  // namespace
}  // namespace kelvora
