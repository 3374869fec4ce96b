#include "kelvora/diff.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace kelvora {
namespace {

template <class IdT>
IdT make_id(std::uint8_t n) {
  IdT id;
  id.uuid.bytes[15] = n;
  return id;
}
ConceptId cid(std::uint8_t n) { return make_id<ConceptId>(n); }
RelationId rid(std::uint8_t n) { return make_id<RelationId>(n); }
StructureNodeId nid(std::uint8_t n) { return make_id<StructureNodeId>(n); }

Concept make_concept(std::uint8_t n, double confidence = 1.0, std::string definition = "d") {
  Concept c;
  c.id = cid(n);
  c.term = "term" + std::to_string(n);
  c.definition = std::move(definition);
  c.confidence = confidence;
  return c;
}

void put(KnowledgeState& s, const Concept& c) {
  s.concepts.insert_or_assign(c.id, Entry<Concept>(c));
}
void put(KnowledgeState& s, const Relation& r) {
  s.relations.insert_or_assign(r.id, Entry<Relation>(r));
}
void put(KnowledgeState& s, const StructureNode& n) {
  s.structure.insert_or_assign(n.id, Entry<StructureNode>(n));
}

Relation relation(std::uint8_t n, std::uint8_t from, std::uint8_t to) {
  Relation r;
  r.id = rid(n);
  r.from_concept = cid(from);
  r.to_concept = cid(to);
  r.relation_type = RelationType::Supports;
  return r;
}

StructureNode node(std::uint8_t n, std::vector<ConceptId> refs = {}) {
  StructureNode s;
  s.id = nid(n);
  s.title = "node";
  s.concept_refs = std::move(refs);
  return s;
}

KnowledgeState sample() {
  KnowledgeState s;
  for (std::uint8_t n : {7, 2, 5}) put(s, make_concept(n));
  put(s, relation(9, 2, 5));
  put(s, relation(3, 5, 7));
  put(s, node(4, {cid(2)}));
  put(s, node(1));
  return s;
}

TEST(Diff, EqualContentGivesAnEmptyDiff) {
  const KnowledgeState s = sample();
  EXPECT_EQ(diff::diff(s, s), StateDiff{});
  EXPECT_EQ(diff::diff(s, sample()), StateDiff{});  // same content, distinct entries
  EXPECT_EQ(s.diff(KnowledgeState(s)), StateDiff{});
}

TEST(Diff, FromEmptyListsEverythingAddedInIdOrder) {
  const KnowledgeState s = sample();
  StateDiff added;
  added.concepts_added = {cid(2), cid(5), cid(7)};
  added.relations_added = {rid(3), rid(9)};
  added.structure_added = {nid(1), nid(4)};
  EXPECT_EQ(diff::diff(KnowledgeState{}, s), added);

  StateDiff removed;
  removed.concepts_removed = added.concepts_added;
  removed.relations_removed = added.relations_added;
  removed.structure_removed = added.structure_added;
  EXPECT_EQ(diff::diff(s, KnowledgeState{}), removed);
}

TEST(Diff, ConceptChangesInDeclaredOrder) {
  struct Case {
    const char* name;
    Concept after;
    std::vector<ConceptChange> expected;
  };
  Concept base = make_concept(1, 0.9, "old");
  Concept both = base;
  both.definition = "new";
  both.status = ConceptStatus::Superseded;
  Concept term_and_evidence = base;
  term_and_evidence.term = "other";
  term_and_evidence.source_evidence = {{3, "x"}};
  Concept at_one = make_concept(1, 1.0, "old");
  Concept eps_base = make_concept(1, 1.0);
  const std::vector<Case> cases = {
      {"confidence 0.9 -> 1.0", at_one, {ConfidenceChanged{0.9, 1.0}}},
      {"definition and status",
       both,
       {DefinitionChanged{"old", "new"},
        StatusChanged{ConceptStatus::Active, ConceptStatus::Superseded}}},
      {"term and evidence are not compared", term_and_evidence, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(diff::compare_concepts(base, c.after), c.expected) << c.name;
  }
  // A difference of exactly epsilon records nothing.
  EXPECT_TRUE(diff::compare_concepts(eps_base, make_concept(1, 1.0000000000000002)).empty());
  EXPECT_TRUE(diff::compare_concepts(eps_base, make_concept(1, std::nan(""))).empty());

  KnowledgeState before;
  put(before, base);
  KnowledgeState after;
  put(after, both);
  const StateDiff d = diff::diff(before, after);
  ASSERT_EQ(d.concepts_modified.size(), 1u);
  EXPECT_EQ(d.concepts_modified[0].first, cid(1));
  EXPECT_EQ(d.concepts_modified[0].second.size(), 2u);
}

TEST(Diff, RelationsAreComparedByIdOnly) {
  KnowledgeState before;
  put(before, relation(1, 2, 3));
  KnowledgeState after;
  Relation changed = relation(1, 3, 2);
  changed.relation_type = RelationType::Contradicts;
  changed.confidence = 0.1;
  put(after, changed);
  EXPECT_EQ(diff::diff(before, after), StateDiff{});
}

TEST(Diff, StructureNodeChanges) {
  struct Case {
    const char* name;
    StructureNode before;
    StructureNode after;
    std::vector<StructureChange> expected;
  };
  StructureNode ab = node(1, {cid(1), cid(2)});
  StructureNode ba = node(1, {cid(2), cid(1)});
  StructureNode be = node(1, {cid(2), cid(5)});
  StructureNode repeated = node(1, {cid(1), cid(2), cid(2)});
  StructureNode with_parent = node(1);
  with_parent.parent = nid(9);
  StructureNode everything = with_parent;
  everything.title = "x";
  everything.position = 4;
  everything.concept_refs = {cid(3)};
  everything.node_type = "ignored";
  // Long lists (searched in a sorted copy): ids 1..40 against 42..3 and a
  // repeated 42.
  std::vector<ConceptId> forty, reversed;
  for (int k = 1; k <= 40; ++k) forty.push_back(cid(k));
  for (int k = 42; k >= 3; --k) reversed.push_back(cid(k));
  reversed.push_back(cid(42));
  StructureNode other_type = node(1);
  other_type.node_type = "section";
  other_type.content_hash.bytes[0] = 1;
  const std::vector<Case> cases = {
      {"reordered refs", ab, ba, {}},
      {"repeat count only", ab, repeated, {}},
      {"refs replaced", ab, be, {ConceptRefsChanged{{cid(5)}, {cid(1)}}}},
      {"long lists, added in after's order with repeats, removed in before's",
       node(1, forty),
       node(1, reversed),
       {ConceptRefsChanged{{cid(42), cid(41), cid(42)}, {cid(1), cid(2)}}}},
      {"parent set", node(1), with_parent, {ParentChanged{std::nullopt, nid(9)}}},
      {"node type and content hash ignored", node(1), other_type, {}},
      {"all four in order",
       node(1),
       everything,
       {TitleChanged{"node", "x"}, ParentChanged{std::nullopt, nid(9)}, PositionChanged{0, 4},
        ConceptRefsChanged{{cid(3)}, {}}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(diff::compare_nodes(c.before, c.after), c.expected) << c.name;
    KnowledgeState before;
    put(before, c.before);
    KnowledgeState after;
    put(after, c.after);
    const StateDiff d = diff::diff(before, after);
    EXPECT_EQ(d.structure_modified.size(), c.expected.empty() ? 0u : 1u) << c.name;
  }
}

}  // namespace
}  // namespace kelvora
