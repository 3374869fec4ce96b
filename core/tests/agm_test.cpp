#include "kelvora/agm.hpp"

#include <gtest/gtest.h>

#include <string>

#include "kelvora/structure.hpp"

namespace kelvora {
namespace {

using agm::PostulateResult;
using agm::postulate::NotApplicable;
using agm::postulate::Satisfied;
using agm::postulate::Violated;

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

// c1 "one" and c2 "two" Active, c3 "three" Superseded.
KnowledgeState base() {
  KnowledgeState s;
  for (auto [cid, term] : {std::pair{c1, "one"}, {c2, "two"}, {c3, "three"}}) {
    Concept c;
    c.id = cid;
    c.term = term;
    c.definition = std::string("def ") + term;
    c.status = cid == c3 ? ConceptStatus::Superseded : ConceptStatus::Active;
    s.concepts.insert_or_assign(cid, Entry<Concept>(c));
  }
  return s;
}

KnowledgeState with(KnowledgeState s, Relation r) {
  s.relations.insert_or_assign(r.id, Entry<Relation>(r));
  return s;
}
KnowledgeState with(KnowledgeState s, StructureNode n) {
  s.structure.insert_or_assign(n.id, Entry<StructureNode>(n));
  return s;
}
Relation relation(ConceptId from, ConceptId to, RelationType type = RelationType::Contradicts) {
  return Relation{r1, from, to, type, {}, 1.0, {}, {}};
}
StructureNode node(StructureNodeId nid, std::optional<StructureNodeId> parent,
                   std::vector<ConceptId> refs = {}) {
  return StructureNode{nid, "title", "section", parent, 0, {}, std::move(refs)};
}

Violated v(const std::string& reason) { return Violated{reason}; }
std::string t(const auto& x) { return x.to_string(); }

TEST(Agm, AssertAppliedNormally) {
  Concept c;
  c.id = c9;
  c.term = "nine";
  const auto applied = KnowledgeState::apply(base(), op::Assert{c}, {});
  const auto report = agm::check_agm_compliance(base(), op::Assert{c}, applied->state);
  EXPECT_EQ(report.closure, PostulateResult(Satisfied{}));
  EXPECT_EQ(report.success, PostulateResult(Satisfied{}));
  EXPECT_EQ(report.vacuity, PostulateResult(NotApplicable{}));
  EXPECT_EQ(report.consistency, PostulateResult(Satisfied{}));
  EXPECT_EQ(report.minimality_score, 1.0);
}

struct Case {
  const char* name;
  KnowledgeState before;
  EvolutionOperation operation;
  KnowledgeState after;
  PostulateResult agm::AgmReport::* field;
  PostulateResult expected;
};

TEST(Agm, FirstOffendingItemIsTheReason) {
  const op::Reinforce any{c1, {}};
  const auto closure = &agm::AgmReport::closure, success = &agm::AgmReport::success,
             vacuity = &agm::AgmReport::vacuity, consistency = &agm::AgmReport::consistency;
  const std::string cycle =
      "invalid structure: " +
      structure::validate_structure(with(with(base(), node(n1, n2)), node(n2, n1)).structure)
          .error()
          .message();
  const std::string no_conflict =
      "no Contradicts relations found between revised concept and conflict_set; Revise without "
      "real conflict should be Refine (vacuity postulate)";
  const Case cases[] = {
      {"both ends missing",
       {},
       any,
       with(base(), relation(id<ConceptId>(7), id<ConceptId>(8))),
       closure,
       v("relation " + t(r1) + " references nonexistent from_concept " + t(id<ConceptId>(7)))},
      {"to missing, before a cycle",
       {},
       any,
       with(with(with(base(), relation(c1, c9)), node(n1, n2)), node(n2, n1)),
       closure,
       v("relation " + t(r1) + " references nonexistent to_concept " + t(c9))},
      {"parent cycle", {}, any, with(with(base(), node(n1, n2)), node(n2, n1)), closure, v(cycle)},
      {"dangling reference",
       {},
       any,
       with(base(), node(n1, {}, {c1, c9})),
       closure,
       v("structure node " + t(n1) + " references nonexistent concept " + t(c9))},
      {"assert",
       {},
       op::Assert{Concept{c9, "x", "d", 1.0, {}, {}, {}}},
       base(),
       success,
       v("asserted concept " + t(c9) + " not found in result")},
      {"revise",
       {},
       op::Revise{c1, "new", {c2}, {}},
       base(),
       success,
       v("revised concept " + t(c1) + " has definition 'def one', expected 'new'")},
      {"refine",
       {},
       op::Refine{c9, "new", {}},
       base(),
       success,
       v("refined concept " + t(c9) + " not found in result")},
      {"retract",
       {},
       op::Retract{c1, RetractionReason::UserExplicit},
       base(),
       success,
       v("retracted concept " + t(c1) + " still present in result")},
      {"relate",
       {},
       op::Relate{relation(c1, c2)},
       base(),
       success,
       v("related relation " + t(r1) + " not found in result")},
      {"restructure",
       {},
       op::Restructure{{}, {node(n1, {}), node(n2, {})}, ""},
       with(base(), node(n1, {})),
       success,
       v("restructured node " + t(n2) + " not found in result")},
      {"merge term only superseded",
       {},
       op::Merge{{c1, c2}, "three", "", {}},
       base(),
       success,
       v("merged concept 'three' not found as active in result")},
      {"merge source",
       {},
       op::Merge{{c3, c1}, "one", "", {}},
       base(),
       success,
       v("source concept " + t(c1) + " should be Superseded, got Active")},
      {"merge source missing",
       {},
       op::Merge{{c9}, "one", "", {}},
       base(),
       success,
       v("source concept " + t(c9) + " not found in result")},
      {"reinforce",
       {},
       op::Reinforce{c3, {}},
       base(),
       success,
       v("reinforced concept " + t(c3) + " has status Superseded, expected Active")},
      {"split source",
       {},
       op::Split{c2, {{"one", ""}}, {}},
       base(),
       success,
       v("split concept " + t(c2) + " should be Superseded, got Active")},
      {"split result",
       {},
       op::Split{c3, {{"one", ""}, {"One", ""}}, {}},
       base(),
       success,
       v("split result concept 'One' not found as active in result")},
      {"split passes",
       {},
       op::Split{c3, {{"one", ""}, {"two", ""}}, {}},
       base(),
       success,
       Satisfied{}},
      {"empty conflict set", with(base(), relation(c1, c2)), op::Revise{c1, "", {}, {}}, base(),
       vacuity, v(no_conflict)},
      {"other relation type", with(base(), relation(c1, c2, RelationType::Supports)),
       op::Revise{c1, "", {c2}, {}}, base(), vacuity, v(no_conflict)},
      {"conflict as from_concept", with(base(), relation(c2, c1)), op::Revise{c1, "", {c2}, {}},
       base(), vacuity, Satisfied{}},
      {"conflict as to_concept", with(base(), relation(c1, c3)), op::Revise{c1, "", {c3}, {}},
       base(), vacuity, Satisfied{}},
      {"two active",
       {},
       any,
       with(base(), relation(c2, c1)),
       consistency,
       v("active concepts " + t(c2) + " and " + t(c1) + " have a Contradicts relation")},
      {"one superseded", {}, any, with(base(), relation(c1, c3)), consistency, Satisfied{}},
  };
  EXPECT_EQ(no_conflict.size(), 138u);
  EXPECT_TRUE(cycle.starts_with(
      "invalid structure: invalid structure: cycle detected in parent chain involving node "));
  for (const Case& c : cases) {
    const auto report = agm::check_agm_compliance(c.before, c.operation, c.after);
    EXPECT_EQ(report.*(c.field), c.expected) << c.name;
  }
}

TEST(Agm, NormalizeTerm) {
  EXPECT_EQ(agm::normalize_term("\u3000 Cafe\u0301 \u00c9T\u00c9S\t\n"),
            "caf\u00e9 \u00e9t\u00e9s");
  EXPECT_EQ(agm::normalize_term(" \u2003\n"), "");
}

}  // namespace
}  // namespace kelvora
