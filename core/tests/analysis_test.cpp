// The seven reports over hand-built states and record lists.
#include "kelvora/analysis.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kelvora;
using namespace kelvora::analysis;

namespace {

using Status = ConceptStatus;
using Src = OperationSource;
using RT = RelationType;

// Ids ascend with n.
template <class IdT>
IdT id(int n) {
  IdT v;
  v.uuid.bytes[14] = static_cast<std::uint8_t>(n >> 8);
  v.uuid.bytes[15] = static_cast<std::uint8_t>(n);
  return v;
}
ConceptId c(int n) { return id<ConceptId>(n); }
std::vector<ConceptId> cs(std::initializer_list<int> ns) {
  std::vector<ConceptId> out;
  for (int n : ns) out.push_back(c(n));
  return out;
}

struct State {
  KnowledgeState s;
  State& con(int n, Status status = Status::Active) {
    Concept x;
    x.id = c(n);
    x.term = "t" + std::to_string(n);
    x.status = status;
    s.concepts.insert_or_assign(x.id, Entry<Concept>(x));
    return *this;
  }
  State& rel(int n, int from, int to, RT type = RT::Supports) {
    Relation r;
    r.id = id<RelationId>(n);
    r.from_concept = c(from);
    r.to_concept = c(to);
    r.relation_type = type;
    s.relations.insert_or_assign(r.id, Entry<Relation>(r));
    return *this;
  }
  State& node(int n, std::vector<ConceptId> refs) {
    StructureNode x;
    x.id = id<StructureNodeId>(n);
    x.concept_refs = std::move(refs);
    s.structure.insert_or_assign(x.id, Entry<StructureNode>(x));
    return *this;
  }
};

EvolutionRecord rec(EvolutionOperation operation, Src source = Src::UserExplicit) {
  EvolutionRecord r;
  r.operation = std::move(operation);
  r.source = source;
  return r;
}
op::Assert assert_(int n, std::string def = "d") {
  Concept x;
  x.id = c(n);
  x.definition = std::move(def);
  return {x};
}
op::Relate relate(int from, int to) {
  Relation r;
  r.from_concept = c(from);
  r.to_concept = c(to);
  return {r};
}
op::Restructure restructure(std::vector<ConceptId> refs) {
  StructureNode node;
  node.concept_refs = std::move(refs);
  return {Hash{}, {node}, ""};
}

}  // namespace

TEST(ConceptStability, StepsByOperation) {
  // Concept 1 through every operation kind; 2 only in places that do not touch it.
  const std::vector<EvolutionRecord> records = {
      rec(assert_(1, "first")),                                // 0
      rec(op::Revise{c(1), "second", cs({2}), {}}),            // 1
      rec(op::Refine{c(1), "third", {}}),                      // 2
      rec(relate(1, 1)),                                       // 3: one step
      rec(restructure(cs({1, 2}))),                            // 4: touches nothing
      rec(op::Reinforce{c(1), {}}),                            // 5
      rec(op::Merge{cs({3, 1}), "m", "md", {}}),               // 6
      rec(op::Split{c(1), {{"a", "b"}}, {}}),                  // 7
      rec(op::Retract{c(1), RetractionReason::UserExplicit}),  // 8
      rec(op::Reinforce{c(9), {}}),                            // 9
  };
  const StabilityMetrics m = concept_stability(records, c(1));
  std::vector<std::tuple<std::uint64_t, std::string_view, std::optional<std::string>>> arc;
  for (const ArcStep& s : m.definition_arc)
    arc.emplace_back(s.record_index, s.operation_type, s.definition);
  using Step = decltype(arc)::value_type;
  EXPECT_EQ(arc, (std::vector<Step>{{0, "assert", "first"},
                                    {1, "revise", "second"},
                                    {2, "refine", "third"},
                                    {3, "relate", std::nullopt},
                                    {5, "reinforce", std::nullopt},
                                    {6, "merge_source", std::nullopt},
                                    {7, "split", std::nullopt},
                                    {8, "retract", std::nullopt}}));
  EXPECT_EQ(m.semantic_version, std::pair(1u, 1u));
  EXPECT_EQ(m.total_transitions, 8u);
  EXPECT_EQ(m.volatility, 0.125);
  EXPECT_EQ(m.records_since_last_change, 1u);

  const StabilityMetrics untouched = concept_stability(records, c(2));
  EXPECT_TRUE(untouched.definition_arc.empty());
  EXPECT_EQ(untouched.records_since_last_change, 10u);
  EXPECT_EQ(untouched.volatility, 0.0);
  EXPECT_EQ(concept_stability({}, c(1)).records_since_last_change, 0u);
}

TEST(ConceptStability, WorkedExample) {
  // Asserted at 0, revised at 2, refined at 3, related at 5, of 8 records.
  std::vector<EvolutionRecord> records(8, rec(assert_(7)));
  records[0] = rec(assert_(1));
  records[2] = rec(op::Revise{c(1), "r", cs({7}), {}});
  records[3] = rec(op::Refine{c(1), "f", {}});
  records[5] = rec(relate(7, 1));
  const StabilityMetrics m = concept_stability(records, c(1));
  EXPECT_EQ(m.semantic_version, std::pair(1u, 1u));
  EXPECT_EQ(m.total_transitions, 4u);
  EXPECT_EQ(m.volatility, 0.25);
  EXPECT_EQ(m.records_since_last_change, 2u);
}

TEST(Coherence, WorkedExamples) {
  const std::vector<EvolutionRecord> revised = {rec(assert_(1)),
                                                rec(op::Revise{c(1), "r", cs({1}), {}})};
  struct Case {
    const char* name;
    State state;
    std::vector<EvolutionRecord> records;
    std::vector<std::pair<ConceptId, ConceptId>> unresolved;
    double score;
  };
  const std::vector<Case> cases = {
      {"empty state", State{}, {}, {}, 1.0},
      {"self contradiction",
       State{}.con(1).rel(1, 1, 1, RT::Contradicts),
       revised,
       {{c(1), c(1)}},
       0.7 + 0.3 * 0.5},
      {"dead ends",
       State{}
           .con(1)
           .con(2, Status::Superseded)
           .con(3, Status::Coexisting)
           .rel(1, 1, 2, RT::Contradicts)
           .rel(2, 3, 1, RT::Contradicts)
           .rel(3, 1, 9, RT::Contradicts),
       {},
       {},
       1.0},
      {"two concepts, one pair",
       State{}.con(1).con(2).rel(1, 2, 1, RT::Contradicts),
       {},
       {{c(2), c(1)}},
       0.3},
      {"four among three, kept as stored in relation order",
       State{}
           .con(1)
           .con(2)
           .con(3)
           .rel(4, 1, 2, RT::Contradicts)
           .rel(1, 2, 1, RT::Contradicts)
           .rel(2, 3, 1, RT::Contradicts)
           .rel(3, 2, 3, RT::Contradicts)
           .rel(5, 1, 3, RT::Supports),
       {},
       {{c(2), c(1)}, {c(3), c(1)}, {c(2), c(3)}, {c(1), c(2)}},
       (1 - 4.0 / 3) * 0.7 + 0.3},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const CoherenceReport r = coherence(k.state.s, k.records);
    EXPECT_EQ(r.unresolved_contradictions, k.unresolved);
    EXPECT_DOUBLE_EQ(r.coherence_score, k.score);
    EXPECT_EQ(r.is_equilibrium, k.unresolved.empty());
  }
  State seven = State{}.con(1).con(2).con(3);
  for (int n = 1; n <= 7; ++n) seven.rel(n, 1 + n % 3, 1 + (n + 1) % 3, RT::Contradicts);
  EXPECT_EQ(coherence(seven.s, {}).coherence_score, 0.0);
}

TEST(Coherence, StabilityOfEveryActiveConceptMatchesTheSingleConceptReport) {
  const State state = State{}.con(3).con(1).con(2, Status::Superseded).con(5);
  const std::vector<EvolutionRecord> records = {rec(assert_(1)),
                                                rec(assert_(2)),
                                                rec(relate(1, 3)),
                                                rec(op::Refine{c(3), "x", {}}),
                                                rec(relate(2, 2)),
                                                rec(op::Merge{cs({1, 3, 1}), "m", "d", {}}),
                                                rec(op::Revise{c(1), "y", cs({3}), {}})};
  const CoherenceReport r = coherence(state.s, records);
  ASSERT_EQ(r.concept_stability.size(), 3u);
  double sum = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& [concept_id, metrics] = r.concept_stability[i];
    EXPECT_EQ(concept_id, cs({1, 3, 5})[i]);
    const StabilityMetrics single = concept_stability(records, concept_id);
    EXPECT_EQ(metrics.total_transitions, single.total_transitions);
    EXPECT_EQ(metrics.records_since_last_change, single.records_since_last_change);
    EXPECT_EQ(metrics.semantic_version, single.semantic_version);
    EXPECT_EQ(metrics.definition_arc.size(), single.definition_arc.size());
    sum += 1 - single.volatility;
  }
  EXPECT_DOUBLE_EQ(r.coherence_score, 0.7 + 0.3 * sum / 3);
}

TEST(EpistemicDirection, WorkedExamples) {
  const auto A = rec(assert_(1)), F = rec(op::Refine{c(1), "", {}}), V = rec(op::Revise{}),
             L = rec(relate(1, 2)), T = rec(op::Retract{}), M = rec(op::Merge{}),
             N = rec(op::Reinforce{}), S = rec(restructure({}));
  using D = Direction;
  struct Case {
    std::vector<EvolutionRecord> records;
    std::size_t window;
    std::vector<double> ratios;
    D direction;
    std::vector<std::pair<std::size_t, D>> trend;
  };
  const std::vector<Case> cases = {
      {{}, 0, {0, 0, 0}, D::Broadening, {}},
      {{}, 3, {0, 0, 0}, D::Broadening, {}},
      {{A, A, F, V}, 0, {0.5, 0.25, 0.25}, D::Broadening, {{0, D::Broadening}}},
      {{A, A, F, V}, 9, {0.5, 0.25, 0.25}, D::Broadening, {{0, D::Broadening}}},
      {{L, V}, 0, {0, 0.5, 0.5}, D::Deepening, {{0, D::Deepening}}},
      {{T, M, N},
       1,
       {0, 1.0 / 3, 2.0 / 3},
       D::Restructuring,
       {{0, D::Restructuring}, {1, D::Restructuring}, {2, D::Deepening}}},
      {{S, T, S, A, A, V, V},
       3,
       {2.0 / 7, 2.0 / 7, 3.0 / 7},
       D::Restructuring,
       {{0, D::Deepening}, {3, D::Broadening}}},
  };
  for (const Case& k : cases) {
    const DirectionReport r = epistemic_direction(k.records, k.window);
    EXPECT_EQ((std::vector{r.assert_ratio, r.refine_ratio, r.revise_ratio}), k.ratios);
    EXPECT_EQ(r.direction, k.direction);
    EXPECT_EQ(r.trend, k.trend);
  }
  EXPECT_EQ(name(D::Restructuring), "Restructuring");
}

TEST(ArgumentationStatus, WorkedExamples) {
  struct Case {
    const char* name;
    State state;
    std::vector<ConceptId> attacked, uncontested;
  };
  const std::vector<Case> cases = {
      {"no Active concept", State{}.con(1, Status::Superseded), {}, {}},
      {"no Contradicts", State{}.con(2).con(1).rel(1, 1, 2), {}, cs({1, 2})},
      {"pair and bystander", State{}.con(4).con(2).con(1).rel(1, 4, 1, RT::Contradicts), cs({1, 4}),
       cs({2})},
      {"chain",
       State{}.con(1).con(2).con(3).rel(1, 1, 2, RT::Contradicts).rel(2, 2, 3, RT::Contradicts),
       cs({1, 2, 3}),
       {}},
      {"self attack", State{}.con(1).con(2).rel(1, 2, 2, RT::Contradicts), cs({2}), cs({1})},
      {"dead ends ignored",
       State{}
           .con(1)
           .con(2, Status::Superseded)
           .rel(1, 1, 2, RT::Contradicts)
           .rel(2, 9, 1, RT::Contradicts),
       {},
       cs({1})},
      {"repeats count once",
       State{}
           .con(1)
           .con(2)
           .rel(1, 1, 2, RT::Contradicts)
           .rel(2, 2, 1, RT::Contradicts)
           .rel(3, 1, 2, RT::Contradicts),
       cs({1, 2}),
       {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const ArgumentationReport r = argumentation_status(k.state.s);
    EXPECT_EQ(r.attacked, k.attacked);
    EXPECT_EQ(r.uncontested, k.uncontested);
    // Attack is symmetric: only the uncontested are grounded, none is defended.
    EXPECT_EQ(r.grounded_extension, k.uncontested);
    EXPECT_TRUE(r.defended.empty());
  }
}

TEST(RelationAnalytics, WorkedExamples) {
  struct Case {
    const char* name;
    State state;
    std::vector<std::pair<RT, std::size_t>> types;
    std::vector<double> centrality;  // Active concepts in id order
    std::size_t dead;
    std::vector<std::vector<ConceptId>> clusters;
  };
  const std::vector<Case> cases = {
      {"empty", State{}, {}, {}, 0, {}},
      {"no relations", State{}.con(2).con(1), {}, {0, 0}, 0, {cs({1}), cs({2})}},
      {"one relation",
       State{}.con(2).con(1).rel(1, 2, 1),
       {{RT::Supports, 1}},
       {0.25, 0.25},
       0,
       {cs({1, 2})}},
      {"parallel relations",
       State{}.con(1).con(2).con(3).rel(1, 1, 2).rel(2, 1, 2).rel(3, 1, 2),
       {{RT::Supports, 3}},
       {0.5, 0.5, 0},
       0,
       {cs({1, 2}), cs({3})}},
      {"dead relations",
       State{}
           .con(1)
           .con(2)
           .con(3, Status::Superseded)
           .rel(1, 1, 3, RT::Tension)
           .rel(2, 9, 1, RT::DerivesFrom)
           .rel(3, 2, 1, RT::Independent),
       {{RT::DerivesFrom, 1}, {RT::Tension, 1}, {RT::Independent, 1}},
       {0.25, 0.25},
       2,
       {cs({1, 2})}},
      {"only Superseded",
       State{}.con(1, Status::Superseded).con(2, Status::Superseded).rel(1, 1, 2),
       {{RT::Supports, 1}},
       {},
       1,
       {}},
      {"self relation", State{}.con(1).rel(1, 1, 1), {{RT::Supports, 1}}, {1.0}, 0, {cs({1})}},
      {"equal sizes by smallest member",
       State{}
           .con(1)
           .con(2)
           .con(3)
           .con(5)
           .con(6)
           .con(7)
           .con(9)
           .rel(1, 9, 2)
           .rel(2, 6, 5)
           .rel(3, 3, 7)
           .rel(4, 7, 1),
       {{RT::Supports, 4}},
       {1.0 / 14, 1.0 / 14, 1.0 / 14, 1.0 / 14, 1.0 / 14, 2.0 / 14, 1.0 / 14},
       0,
       {cs({1, 3, 7}), cs({2, 9}), cs({5, 6})}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const RelationReport r = relation_analytics(k.state.s);
    EXPECT_EQ(r.type_distribution, k.types);
    std::vector<double> centrality;
    ConceptId previous{};
    for (const auto& [concept_id, value] : r.concept_centrality) {
      EXPECT_TRUE(centrality.empty() || previous < concept_id);
      previous = concept_id;
      centrality.push_back(value);
    }
    EXPECT_EQ(centrality, k.centrality);
    EXPECT_EQ(r.dead_relations.size(), k.dead);
    EXPECT_EQ(r.clusters, k.clusters);
  }
}

TEST(ImpactRadius, WorkedExamples) {
  constexpr RT D = RT::DerivesFrom;
  struct Case {
    const char* name;
    State state;
    int start;
    std::vector<ConceptId> downstream;
    std::size_t radius;
    std::vector<StructureNodeId> nodes;
  };
  const std::vector<Case> cases = {
      {"nothing derives",
       State{}.con(1).rel(1, 1, 2, RT::Supports).node(2, cs({1})).node(1, cs({3})),
       1,
       {},
       0,
       {id<StructureNodeId>(2)}},
      {"unknown start",
       State{}.rel(1, 2, 3, D).node(1, cs({8})),
       8,
       {},
       0,
       {id<StructureNodeId>(1)}},
      {"tree",
       State{}
           .rel(1, 1, 2, D)
           .rel(2, 4, 1, D)
           .rel(3, 5, 2, D)
           .rel(4, 2, 6, D)
           .rel(5, 7, 1, RT::Supports),
       2,
       cs({1, 4, 5}),
       2,
       {}},
      {"repeated relation", State{}.rel(1, 1, 2, D).rel(2, 1, 2, D), 2, cs({1}), 1, {}},
      {"any status, nodes once in id order",
       State{}
           .con(1, Status::Superseded)
           .con(2)
           .rel(1, 1, 2, D)
           .node(5, cs({2}))
           .node(3, cs({1, 2}))
           .node(4, {}),
       2,
       cs({1}),
       1,
       {id<StructureNodeId>(3), id<StructureNodeId>(5)}},
      {"cycle through the start",
       State{}.rel(1, 1, 2, D).rel(2, 3, 1, D).rel(3, 2, 3, D),
       2,
       cs({1, 3}),
       2,
       {}},
      // 5 and 6 derive from 1; the cycle 5 -> 7 -> 6 -> 5 with 8 below 7. The
      // walk takes 6 first (the larger id), so the closing edge is 7 -> 6 and
      // the longest chain 1, 6, 5, 7, 8.
      {"cycle broken where the walk closes it",
       State{}
           .rel(1, 5, 1, D)
           .rel(2, 6, 1, D)
           .rel(3, 7, 5, D)
           .rel(4, 5, 6, D)
           .rel(5, 6, 7, D)
           .rel(6, 8, 7, D),
       1,
       cs({5, 6, 7, 8}),
       4,
       {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const ImpactReport r = impact_radius(k.state.s, c(k.start));
    EXPECT_EQ(r.downstream_concepts, k.downstream);
    EXPECT_EQ(r.radius, k.radius);
    EXPECT_EQ(r.affected_structure, k.nodes);
  }
}

TEST(SourceAnalytics, WorkedExamples) {
  constexpr Src UE = Src::UserExplicit, UI = Src::UserImplicit, SE = Src::SystemEnrichment,
                SR = Src::SystemRestructure;
  const auto refine = [](int n) { return op::Refine{c(n), "", {}}; };
  struct Case {
    const char* name;
    std::vector<EvolutionRecord> records;
    double ratio;
    std::vector<std::pair<ConceptId, std::uint32_t>> latency;
    std::vector<std::pair<Src, std::size_t>> sources;
  };
  const std::vector<Case> cases = {
      {"none", {}, 0, {}, {}},
      {"user only", {rec(assert_(1)), rec(relate(1, 2))}, 1, {}, {{UE, 2}}},
      {"restructures only", {rec(restructure(cs({1})), SR)}, 0, {}, {{SR, 1}}},
      {"confirmed once",
       {rec(assert_(2)), rec(assert_(3), UI), rec(assert_(1), SE), rec(relate(2, 2)),
        rec(relate(3, 2), UI), rec(refine(1)), rec(refine(1))},
       2.0 / 3,
       {{c(1), 3}},
       {{UE, 4}, {UI, 2}, {SE, 1}}},
      {"latest enrichment counts",
       {rec(assert_(1), SR), rec(refine(1), SE), rec(relate(2, 2)), rec(assert_(3), UI),
        rec(refine(1), SE), rec(relate(2, 3), UI), rec(refine(1))},
       2.0 / 3,
       {{c(1), 2}},
       {{UE, 2}, {UI, 2}, {SE, 2}, {SR, 1}}},
      {"confirmation before enrichment",
       {rec(assert_(1)), rec(refine(1), SE)},
       1,
       {},
       {{UE, 1}, {SE, 1}}},
      {"self relation confirms once",
       {rec(assert_(1), SE), rec(relate(1, 1))},
       1,
       {{c(1), 1}},
       {{UE, 1}, {SE, 1}}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const SourceReport r = source_analytics(k.records);
    EXPECT_DOUBLE_EQ(r.user_verified_ratio, k.ratio);
    EXPECT_EQ(r.confirmation_latency, k.latency);
    EXPECT_EQ(r.override_count, k.latency.size());
    EXPECT_EQ(r.source_distribution, k.sources);
  }
  const std::vector<EvolutionRecord> reinforced = {rec(op::Reinforce{}, SE), rec(op::Reinforce{}),
                                                   rec(assert_(1))};
  EXPECT_EQ(source_analytics(reinforced).reinforce_count, 2u);
}

// The walks keep their own stacks: a chain of a million derivations neither
// exhausts the call stack nor turns quadratic.
TEST(ImpactRadius, MillionConceptChain) {
  constexpr int kLength = 1'000'000;
  const auto big = [](int n) {
    ConceptId v;
    for (int b = 0; b < 4; ++b) v.uuid.bytes[12 + b] = static_cast<std::uint8_t>(n >> (24 - 8 * b));
    return v;
  };
  KnowledgeState s;
  for (int n = 0; n < kLength; ++n) {
    Concept x;
    x.id = big(n);
    s.concepts.emplace(x.id, Entry<Concept>(std::move(x)));
    if (n == 0) continue;
    Relation r;
    r.id.uuid = big(n).uuid;
    r.from_concept = big(n);
    r.to_concept = big(n - 1);
    s.relations.emplace(r.id, Entry<Relation>(std::move(r)));
  }
  const ImpactReport impact = impact_radius(s, big(0));
  EXPECT_EQ(impact.radius, kLength - 1u);
  EXPECT_EQ(impact.downstream_concepts.size(), kLength - 1u);
  const RelationReport relations = relation_analytics(s);
  ASSERT_EQ(relations.clusters.size(), 1u);
  EXPECT_EQ(relations.clusters[0].size(), std::size_t{kLength});
}
