// The seven reports over hand-built states and record lists.
#include "kelvora/analysis.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace kelvora;
using namespace kelvora::analysis;

namespace {

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
std::vector<StructureNodeId> nodes(std::initializer_list<int> ns) {
  std::vector<StructureNodeId> out;
  for (int n : ns) out.push_back(id<StructureNodeId>(n));
  return out;
}

// A state from short texts: concepts "1 2s 3c" (Active, Superseded,
// Coexisting), relations "4:1>2C" (id:from>to, then C Contradicts,
// D DerivesFrom, T Tension, I Independent, nothing Supports), structure
// nodes "5:1,2" (id:referred concepts).
KnowledgeState make(const std::string& concepts, const std::string& relations = "",
                    const std::string& structure = "") {
  KnowledgeState s;
  std::istringstream in(concepts);
  for (std::string t; in >> t;) {
    Concept x;
    x.id = c(std::stoi(t));
    x.status = t.back() == 's'   ? ConceptStatus::Superseded
               : t.back() == 'c' ? ConceptStatus::Coexisting
                                 : ConceptStatus::Active;
    s.concepts.insert_or_assign(x.id, Entry<Concept>(x));
  }
  in = std::istringstream(relations);
  for (std::string t; in >> t;) {
    int n = 0, from = 0, to = 0;
    char type = 0;
    std::sscanf(t.c_str(), "%d:%d>%d%c", &n, &from, &to, &type);
    Relation r;
    r.id = id<RelationId>(n);
    r.from_concept = c(from);
    r.to_concept = c(to);
    r.relation_type = type == 'C'   ? RT::Contradicts
                      : type == 'D' ? RT::DerivesFrom
                      : type == 'T' ? RT::Tension
                      : type == 'I' ? RT::Independent
                                    : RT::Supports;
    s.relations.insert_or_assign(r.id, Entry<Relation>(r));
  }
  in = std::istringstream(structure);
  for (std::string t; in >> t;) {
    StructureNode x;
    x.id = id<StructureNodeId>(std::stoi(t));
    std::istringstream refs(t.substr(t.find(':') + 1));
    for (std::string ref; std::getline(refs, ref, ',');)
      x.concept_refs.push_back(c(std::stoi(ref)));
    s.structure.insert_or_assign(x.id, Entry<StructureNode>(x));
  }
  return s;
}

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
op::Refine refine(int n, std::string def = "") { return {c(n), std::move(def), {}}; }
op::Restructure restructure(std::vector<ConceptId> refs) {
  StructureNode node;
  node.concept_refs = std::move(refs);
  return {Hash{}, {node}, ""};
}

}  // namespace

TEST(ConceptStability, StepsByOperation) {
  // Concept 1 through every operation kind; 2 only where nothing touches it.
  const std::vector<EvolutionRecord> records = {
      rec(assert_(1, "first")),                                // 0
      rec(op::Revise{c(1), "second", cs({2}), {}}),            // 1
      rec(refine(1, "third")),                                 // 2
      rec(relate(1, 1)),                                       // 3: one step
      rec(restructure(cs({1, 2}))),                            // 4: touches nothing
      rec(op::Reinforce{c(1), {}}),                            // 5
      rec(op::Merge{cs({3, 1}), "m", "md", {}}),               // 6
      rec(op::Split{c(1), {{"a", "b"}}, {}}),                  // 7
      rec(op::Retract{c(1), RetractionReason::UserExplicit}),  // 8
      rec(op::Reinforce{c(9), {}}),                            // 9
  };
  const StabilityMetrics m = concept_stability(records, c(1));
  std::string arc;
  for (const ArcStep& s : m.definition_arc) {
    arc += std::to_string(s.record_index) + " " + std::string(s.operation_type) + " " +
           s.definition.value_or("-") + "; ";
  }
  EXPECT_EQ(arc,
            "0 assert first; 1 revise second; 2 refine third; 3 relate -; 5 reinforce -; "
            "6 merge_source -; 7 split -; 8 retract -; ");
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

TEST(Coherence, WorkedExamples) {
  const std::vector<EvolutionRecord> revised = {rec(assert_(1)),
                                                rec(op::Revise{c(1), "r", cs({1}), {}})};
  struct Case {
    KnowledgeState state;
    std::vector<EvolutionRecord> records;
    std::vector<std::pair<ConceptId, ConceptId>> unresolved;
    double score;
  };
  const std::vector<Case> cases = {
      {make(""), {}, {}, 1.0},
      {make("1", "1:1>1C"), revised, {{c(1), c(1)}}, 0.7 + 0.3 * 0.5},
      {make("1 2s 3c", "1:1>2C 2:3>1C 3:1>9C"), {}, {}, 1.0},
      {make("1 2", "1:2>1C"), {}, {{c(2), c(1)}}, 0.3},
      // Four among three concepts: pairs as stored, in relation id order.
      {make("1 2 3", "4:1>2C 1:2>1C 2:3>1C 3:2>3C 5:1>3"),
       {},
       {{c(2), c(1)}, {c(3), c(1)}, {c(2), c(3)}, {c(1), c(2)}},
       (1 - 4.0 / 3) * 0.7 + 0.3},
  };
  for (const Case& k : cases) {
    const CoherenceReport r = coherence(k.state, k.records);
    EXPECT_EQ(r.unresolved_contradictions, k.unresolved);
    EXPECT_DOUBLE_EQ(r.coherence_score, k.score);
    EXPECT_EQ(r.is_equilibrium, r.unresolved_contradictions.empty());
  }
  // Seven among three: the raw score is below zero.
  const auto seven = make("1 2 3", "1:1>2C 2:2>3C 3:3>1C 4:2>1C 5:3>2C 6:1>3C 7:1>2C");
  EXPECT_EQ(coherence(seven, {}).coherence_score, 0.0);
}

TEST(Coherence, StabilityOfEveryActiveConceptMatchesTheSingleConceptReport) {
  const std::vector<EvolutionRecord> records = {rec(assert_(1)),
                                                rec(assert_(2)),
                                                rec(relate(1, 3)),
                                                rec(refine(3)),
                                                rec(relate(2, 2)),
                                                rec(op::Merge{cs({1, 3, 1}), "m", "d", {}}),
                                                rec(op::Revise{c(1), "y", cs({3}), {}})};
  const CoherenceReport r = coherence(make("3 1 2s 5"), records);
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
  const auto A = rec(assert_(1)), F = rec(refine(1)), V = rec(op::Revise{}), L = rec(relate(1, 2)),
             T = rec(op::Retract{}), M = rec(op::Merge{}), N = rec(op::Reinforce{}),
             S = rec(restructure({}));
  using D = Direction;
  struct Case {
    std::vector<EvolutionRecord> records;
    std::size_t window;
    std::vector<double> ratios;
    D direction;
    std::vector<std::pair<std::size_t, D>> trend;
  };
  const std::vector<Case> cases = {
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
    KnowledgeState state;
    std::vector<ConceptId> attacked, uncontested;
  };
  const std::vector<Case> cases = {
      {make("1s"), {}, {}},
      {make("2 1", "1:1>2"), {}, cs({1, 2})},
      {make("4 2 1", "1:4>1C"), cs({1, 4}), cs({2})},
      {make("1 2 3", "1:1>2C 2:2>3C"), cs({1, 2, 3}), {}},
      {make("1 2", "1:2>2C"), cs({2}), cs({1})},              // attacks itself
      {make("1 2s", "1:1>2C 2:9>1C"), {}, cs({1})},           // dead ends
      {make("1 2", "1:1>2C 2:2>1C 3:1>2C"), cs({1, 2}), {}},  // repeats
  };
  for (const Case& k : cases) {
    const ArgumentationReport r = argumentation_status(k.state);
    EXPECT_EQ(r.attacked, k.attacked);
    EXPECT_EQ(r.uncontested, k.uncontested);
    // Attack is symmetric: only the uncontested are grounded, none is defended.
    EXPECT_EQ(r.grounded_extension, k.uncontested);
    EXPECT_TRUE(r.defended.empty());
  }
}

TEST(RelationAnalytics, WorkedExamples) {
  struct Case {
    KnowledgeState state;
    std::vector<std::pair<RT, std::size_t>> types;
    std::vector<double> centrality;  // Active concepts in id order
    std::size_t dead;
    std::vector<std::vector<ConceptId>> clusters;
  };
  const double s = 1.0 / 14;
  const std::vector<Case> cases = {
      {make(""), {}, {}, 0, {}},
      {make("2 1"), {}, {0, 0}, 0, {cs({1}), cs({2})}},
      {make("2 1", "1:2>1"), {{RT::Supports, 1}}, {0.25, 0.25}, 0, {cs({1, 2})}},
      {make("1 2 3", "1:1>2 2:1>2 3:1>2"),
       {{RT::Supports, 3}},
       {0.5, 0.5, 0},
       0,
       {cs({1, 2}), cs({3})}},
      {make("1 2 3s", "1:1>3T 2:9>1D 3:2>1I"),
       {{RT::DerivesFrom, 1}, {RT::Tension, 1}, {RT::Independent, 1}},
       {0.25, 0.25},
       2,
       {cs({1, 2})}},
      {make("1s 2s", "1:1>2"), {{RT::Supports, 1}}, {}, 1, {}},
      {make("1", "1:1>1"), {{RT::Supports, 1}}, {1.0}, 0, {cs({1})}},
      // Clusters of equal size by their smallest member.
      {make("1 2 3 5 6 7 9", "1:9>2 2:6>5 3:3>7 4:7>1"),
       {{RT::Supports, 4}},
       {s, s, s, s, s, 2 * s, s},
       0,
       {cs({1, 3, 7}), cs({2, 9}), cs({5, 6})}},
  };
  for (const Case& k : cases) {
    const RelationReport r = relation_analytics(k.state);
    EXPECT_EQ(r.type_distribution, k.types);
    std::vector<ConceptId> ids;
    std::vector<double> centrality;
    for (const auto& [concept_id, value] : r.concept_centrality) {
      ids.push_back(concept_id);
      centrality.push_back(value);
    }
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_EQ(centrality, k.centrality);
    EXPECT_EQ(r.dead_relations.size(), k.dead);
    EXPECT_EQ(r.clusters, k.clusters);
  }
}

TEST(ImpactRadius, WorkedExamples) {
  struct Case {
    KnowledgeState state;
    int start;
    std::vector<ConceptId> downstream;
    std::size_t radius;
    std::vector<StructureNodeId> affected;
  };
  const std::vector<Case> cases = {
      {make("1", "1:1>2", "2:1 1:3"), 1, {}, 0, nodes({2})},
      {make("", "1:2>3D", "1:8"), 8, {}, 0, nodes({1})},
      {make("", "1:1>2D 2:4>1D 3:5>2D 4:2>6D 5:7>1"), 2, cs({1, 4, 5}), 2, {}},
      {make("", "1:1>2D 2:1>2D"), 2, cs({1}), 1, {}},
      // Whatever the status; nodes once each, in id order.
      {make("1s 2", "1:1>2D", "5:2 3:1,2 4:"), 2, cs({1}), 1, nodes({3, 5})},
      {make("", "1:1>2D 2:3>1D 3:2>3D"), 2, cs({1, 3}), 2, {}},
      // 5 and 6 derive from 1; a cycle 5 -> 7 -> 6 -> 5 with 8 below 7. The
      // walk takes 6 first (the larger id), so the edge that closes the
      // cycle is 7 -> 6 and the longest chain 1, 6, 5, 7, 8.
      {make("", "1:5>1D 2:6>1D 3:7>5D 4:5>6D 5:6>7D 6:8>7D"), 1, cs({5, 6, 7, 8}), 4, {}},
  };
  for (const Case& k : cases) {
    const ImpactReport r = impact_radius(k.state, c(k.start));
    EXPECT_EQ(r.downstream_concepts, k.downstream);
    EXPECT_EQ(r.radius, k.radius);
    EXPECT_EQ(r.affected_structure, k.affected);
  }
}

// The straightforward computation: adjacency of every DerivesFrom relation,
// a breadth-first walk, the marked depth-first walk and a scan of every node.
ImpactReport impact_by_definition(const KnowledgeState& s, const ConceptId& start) {
  std::map<ConceptId, std::set<ConceptId>> derived;
  for (const auto& [id, r] : s.relations) {
    if (r->relation_type == RT::DerivesFrom) derived[r->to_concept].insert(r->from_concept);
  }
  std::set<ConceptId> reached{start};
  for (std::deque<ConceptId> queue{start}; !queue.empty(); queue.pop_front()) {
    for (const ConceptId& d : derived[queue.front()]) {
      if (reached.insert(d).second) queue.push_back(d);
    }
  }
  ImpactReport out;
  for (const ConceptId& d : reached) {
    if (d != start) out.downstream_concepts.push_back(d);
  }
  std::map<ConceptId, std::size_t> depth;  // finished concepts
  std::set<ConceptId> open;
  for (std::vector<std::pair<ConceptId, bool>> stack{{start, false}}; !stack.empty();) {
    const auto [k, exit] = stack.back();
    stack.pop_back();
    if (!exit) {
      if (open.contains(k) || depth.contains(k)) continue;
      open.insert(k);
      stack.push_back({k, true});
      for (const ConceptId& d : derived[k]) {
        if (!depth.contains(d)) stack.push_back({d, false});
      }
    } else {
      std::size_t deepest = 0;
      for (const ConceptId& d : derived[k]) {
        if (depth.contains(d)) deepest = std::max(deepest, depth[d] + 1);
      }
      depth[k] = deepest;
    }
  }
  out.radius = depth[start];
  for (const auto& [id, node] : s.structure) {
    if (std::any_of(node->concept_refs.begin(), node->concept_refs.end(),
                    [&](const ConceptId& ref) { return reached.contains(ref); })) {
      out.affected_structure.push_back(id);
    }
  }
  return out;
}

// Random derivation graphs (cycles, parallel edges, ends the state does not
// hold, other relation types, nodes referring to anything): every start, also
// after a copy of a state already asked is changed.
TEST(ImpactRadius, EqualsTheStraightforwardComputation) {
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    const int ids = 3 + static_cast<int>(rng() % 20);
    std::string concepts, relations, structure;
    for (int k = 1; k <= ids; ++k) {
      if (rng() % 4 != 0) concepts += std::to_string(k) + (rng() % 3 == 0 ? "s " : " ");
    }
    const int edges = static_cast<int>(rng() % (2 * ids));
    for (int e = 0; e < edges; ++e) {
      const char* types[] = {"D", "D", "D", "C", ""};
      relations += std::to_string(e + 1) + ":" + std::to_string(1 + rng() % ids) + ">" +
                   std::to_string(1 + rng() % ids) + types[rng() % 5] + " ";
    }
    for (int n = 1; n <= static_cast<int>(rng() % 5); ++n) {
      structure += std::to_string(n) + ":";
      for (int r = static_cast<int>(rng() % 4); r > 0; --r)
        structure += std::to_string(1 + rng() % ids) + ",";
      structure += " ";
    }
    const auto check = [&](const KnowledgeState& s) {
      for (int k = 0; k <= ids + 1; ++k) {
        const ImpactReport got = impact_radius(s, c(k));
        const ImpactReport want = impact_by_definition(s, c(k));
        ASSERT_EQ(got.downstream_concepts, want.downstream_concepts) << round << " " << k;
        ASSERT_EQ(got.radius, want.radius) << round << " " << k;
        ASSERT_EQ(got.affected_structure, want.affected_structure) << round << " " << k;
      }
    };
    const auto change = [&](KnowledgeState& s) {
      const KnowledgeState extra = make(
          "", "90:" + std::to_string(1 + rng() % ids) + ">" + std::to_string(1 + rng() % ids) + "D",
          "90:" + std::to_string(1 + rng() % ids));
      s.relations.insert_or_assign(extra.relations.begin()->first, extra.relations.begin()->second);
      s.structure.insert_or_assign(extra.structure.begin()->first, extra.structure.begin()->second);
    };
    const KnowledgeState s = make(concepts, relations, structure);
    check(s);
    KnowledgeState copied = s;
    change(copied);
    check(copied);
    KnowledgeState assigned;
    check(assigned);
    assigned = s;
    change(assigned);
    check(assigned);
  }
}

TEST(SourceAnalytics, WorkedExamples) {
  constexpr Src UE = Src::UserExplicit, UI = Src::UserImplicit, SE = Src::SystemEnrichment,
                SR = Src::SystemRestructure;
  struct Case {
    std::vector<EvolutionRecord> records;
    double ratio;
    std::vector<std::pair<ConceptId, std::uint32_t>> latency;
    std::vector<std::pair<Src, std::size_t>> sources;
  };
  const std::vector<Case> cases = {
      {{}, 0, {}, {}},
      {{rec(assert_(1)), rec(relate(1, 2))}, 1, {}, {{UE, 2}}},
      {{rec(restructure(cs({1})), SR)}, 0, {}, {{SR, 1}}},
      // Confirmed once: the second user touch finds nothing pending.
      {{rec(assert_(2)), rec(assert_(3), UI), rec(assert_(1), SE), rec(relate(2, 2)),
        rec(relate(3, 2), UI), rec(refine(1)), rec(refine(1))},
       2.0 / 3,
       {{c(1), 3}},
       {{UE, 4}, {UI, 2}, {SE, 1}}},
      // The latest enrichment counts.
      {{rec(assert_(1), SR), rec(refine(1), SE), rec(relate(2, 2)), rec(assert_(3), UI),
        rec(refine(1), SE), rec(relate(2, 3), UI), rec(refine(1))},
       2.0 / 3,
       {{c(1), 2}},
       {{UE, 2}, {UI, 2}, {SE, 2}, {SR, 1}}},
      // A confirmation before the enrichment confirms nothing later.
      {{rec(assert_(1)), rec(refine(1), SE)}, 1, {}, {{UE, 1}, {SE, 1}}},
      {{rec(assert_(1), SE), rec(relate(1, 1))}, 1, {{c(1), 1}}, {{UE, 1}, {SE, 1}}},
  };
  for (const Case& k : cases) {
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
    Uuid u;
    for (int b = 0; b < 4; ++b) u.bytes[12 + b] = static_cast<std::uint8_t>(n >> (24 - 8 * b));
    return u;
  };
  KnowledgeState s;
  for (int n = 0; n < kLength; ++n) {
    Concept x;
    x.id = ConceptId{big(n)};
    s.concepts.emplace(x.id, Entry<Concept>(std::move(x)));
    if (n == 0) continue;
    Relation r;
    r.id = RelationId{big(n)};
    r.from_concept = ConceptId{big(n)};
    r.to_concept = ConceptId{big(n - 1)};
    s.relations.emplace(r.id, Entry<Relation>(std::move(r)));
  }
  const ImpactReport impact = impact_radius(s, ConceptId{big(0)});
  EXPECT_EQ(impact.radius, kLength - 1u);
  EXPECT_EQ(impact.downstream_concepts.size(), kLength - 1u);
  const RelationReport relations = relation_analytics(s);
  ASSERT_EQ(relations.clusters.size(), 1u);
  EXPECT_EQ(relations.clusters[0].size(), std::size_t{kLength});
}

// Lists longer than the walks look ahead (16 entries at most), each record
// list in a block of exactly its size, so that under the sanitizers a
// look-ahead read before the start or past the end of a list is caught.
namespace {

// Concepts 1 to n asserted by enrichment, then each touched by the user.
std::vector<EvolutionRecord> long_history(int n) {
  std::vector<EvolutionRecord> built;
  for (int k = 1; k <= n; ++k) built.push_back(rec(assert_(k), Src::SystemEnrichment));
  for (int k = 1; k <= n; ++k)
    built.push_back(rec(k % 2 == 0 ? EvolutionOperation(refine(k)) : relate(k, k)));
  return std::vector<EvolutionRecord>(built.begin(), built.end());
}

}  // namespace

TEST(LookAhead, SourceAnalyticsOverLongHistories) {
  for (const int n : {17, 40, 150}) {
    const SourceReport r = source_analytics(long_history(n));
    std::vector<std::pair<ConceptId, std::uint32_t>> latency;
    for (int k = 1; k <= n; ++k) latency.emplace_back(c(k), static_cast<std::uint32_t>(n));
    EXPECT_EQ(r.confirmation_latency, latency) << n;
    EXPECT_EQ(r.user_verified_ratio, 1.0);
    const std::vector<std::pair<Src, std::size_t>> sources = {{Src::UserExplicit, n},
                                                              {Src::SystemEnrichment, n}};
    EXPECT_EQ(r.source_distribution, sources);
  }
}

TEST(LookAhead, CoherenceOverLongHistories) {
  for (const int n : {17, 40, 150}) {
    std::string concepts;
    for (int k = 1; k <= n; ++k) concepts += std::to_string(k) + " ";
    const CoherenceReport r = coherence(make(concepts), long_history(n));
    ASSERT_EQ(r.concept_stability.size(), static_cast<std::size_t>(n));
    for (int k = 1; k <= n; ++k) {
      const auto& [concept_id, metrics] = r.concept_stability[k - 1];
      EXPECT_EQ(concept_id, c(k));
      EXPECT_EQ(metrics.definition_arc.size(), 2u) << k;
      EXPECT_EQ(metrics.records_since_last_change, static_cast<std::uint32_t>(n - k)) << k;
    }
    EXPECT_EQ(r.coherence_score, 1.0);
  }
}

TEST(LookAhead, RelationAnalyticsOverManyRelations) {
  // 16 and 32 live relations fill their list's block exactly.
  for (const int n : {17, 33, 150}) {
    // A chain 1 - 2 - ... - n and one relation from a concept that is gone.
    std::string concepts, relations = std::to_string(n) + ":" + std::to_string(n + 1) + ">1";
    for (int k = 1; k <= n; ++k) concepts += std::to_string(k) + " ";
    for (int k = 1; k < n; ++k)
      relations += " " + std::to_string(k) + ":" + std::to_string(k) + ">" + std::to_string(k + 1);
    const RelationReport r = relation_analytics(make(concepts, relations));
    const std::vector<std::pair<RT, std::size_t>> types = {{RT::Supports, n}};
    EXPECT_EQ(r.type_distribution, types);
    EXPECT_EQ(r.dead_relations, std::vector<RelationId>{id<RelationId>(n)});
    std::vector<double> centrality(n, 2.0 / (2.0 * n));
    centrality.front() = centrality.back() = 1.0 / (2.0 * n);
    std::vector<double> got;
    std::vector<ConceptId> chain;
    for (const auto& [concept_id, value] : r.concept_centrality) {
      got.push_back(value);
      chain.push_back(concept_id);
    }
    EXPECT_EQ(got, centrality) << n;
    EXPECT_EQ(r.clusters, std::vector<std::vector<ConceptId>>{chain});
  }
}
