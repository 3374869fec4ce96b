#include "kelvora/temporal.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kelvora/operations.hpp"

namespace kelvora {
namespace {

// A history built by applying operations with increasing time stamps.
struct History {
  KnowledgeState state;
  std::vector<EvolutionRecord> records;

  bool add(const EvolutionOperation& operation) {
    const Hash prev = records.empty() ? Hash::zero() : records.back().chain_hash;
    const Timestamp t{1'700'000'000 + static_cast<std::int64_t>(records.size()), 0};
    auto r = KnowledgeState::apply(state, operation, {prev, t, OperationSource::UserImplicit});
    if (!r) return false;
    state = std::move(r->state);
    records.push_back(std::move(r->record));
    return true;
  }
  ConceptId assert_term(const std::string& term, ConceptId id = ConceptId::random()) {
    Concept c;
    c.id = id;
    c.term = term;
    c.definition = "def " + term;
    EXPECT_TRUE(add(op::Assert{c})) << term;
    return id;
  }
  void relate(const ConceptId& from, const ConceptId& to, RelationType type,
              RelationId id = RelationId::random()) {
    Relation r;
    r.id = id;
    r.from_concept = from;
    r.to_concept = to;
    r.relation_type = type;
    add(op::Relate{r});
  }
};

std::string message(const auto& result) { return result ? "ok" : result.error().message(); }

TEST(StateAt, ReplaysEachPrefixToTheRecordedHashes) {
  History h;
  const ConceptId a = h.assert_term("a"), b = h.assert_term("b");
  h.relate(a, b, RelationType::Contradicts);
  ASSERT_TRUE(h.add(op::Merge{{a, b}, "ab", "merged", {}}));
  for (std::size_t i = 0; i < h.records.size(); ++i) {
    auto s = temporal::state_at({}, h.records, i);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->state_hash(), h.records[i].resulting_state_hash) << i;
  }
  EXPECT_EQ(message(temporal::state_at({}, h.records, 4)),
            "conflict detected: index 4 out of range (records len = 4)");
  EXPECT_EQ(message(temporal::state_at({}, {}, 0)),
            "conflict detected: index 0 out of range (records len = 0)");
}

// Errors and results of the one-replay range against two independent
// state_at calls, for every index pair around a record that fails to replay
// onto the empty state (its concept existed only in the original start).
TEST(RangeDiff, MatchesTwoSeparateReplays) {
  History h;
  h.assert_term("a");
  const ConceptId loaded = h.assert_term("loaded");
  h.assert_term("b");
  ASSERT_TRUE(h.add(op::Refine{loaded, "finer", {}}));
  h.assert_term("c");
  KnowledgeState start;
  start.concepts = temporal::state_at({}, h.records, 1)->concepts;
  const std::span<const EvolutionRecord> tail(h.records.begin() + 2, h.records.end());
  for (const KnowledgeState& initial : {start, KnowledgeState{}}) {
    for (std::uint64_t from = 0; from < 5; ++from) {
      for (std::uint64_t to = 0; to < 5; ++to) {
        std::string expected;
        if (from > to) {
          expected = "conflict detected: from_index " + std::to_string(from) + " > to_index " +
                     std::to_string(to);
        } else if (auto f = temporal::state_at(initial, tail, from); !f) {
          expected = f.error().message();
        } else if (auto t = temporal::state_at(initial, tail, to); !t) {
          expected = t.error().message();
        }
        auto got = temporal::range_diff(initial, tail, from, to);
        EXPECT_EQ(got ? "" : got.error().message(), expected) << from << " " << to;
        if (got && expected.empty()) {
          EXPECT_EQ(*got, diff::diff(*temporal::state_at(initial, tail, from),
                                     *temporal::state_at(initial, tail, to)));
        }
      }
    }
  }
}

TEST(ConceptHistory, FollowsTermsThroughMergeSplitAndReuse) {
  History h;
  const ConceptId a = h.assert_term("Caf\u00e9");
  const ConceptId b = h.assert_term("b");
  h.relate(a, b, RelationType::Supports);
  ASSERT_TRUE(h.add(op::Revise{a, "revised", {b}, {}}));
  ASSERT_TRUE(h.add(op::Merge{{a, b, a}, "AB", "merged", {}}));
  const ConceptId ab = operations::derive_merged_concept_id(h.records[4].prior_state_hash,
                                                            {a, b, a}, "AB", "merged");
  ASSERT_TRUE(h.add(op::Reinforce{ab, {}}));
  ASSERT_TRUE(h.add(op::Retract{ab, RetractionReason::UserExplicit}));
  h.assert_term("other", ab);  // the same id under another term
  ASSERT_TRUE(h.add(op::Split{ab, {{"x", "dx"}, {"AB ", "again"}}, {}}));

  struct Case {
    const char* term;
    std::vector<std::pair<std::uint64_t, std::string_view>> steps;
  };
  const Case cases[] = {
      {" cafe\u0301 ", {{0, "assert"}, {3, "revise"}, {4, "merge_source"}}},
      {"ab", {{5, "reinforce"}, {6, "retract"}, {7, "assert"}, {8, "split"}}},
      {"OTHER", {{5, "reinforce"}, {6, "retract"}, {7, "assert"}, {8, "split"}}},
      {"x", {}},
      {"nothing", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<std::uint64_t, std::string_view>> got;
    for (const auto& s : temporal::concept_history_by_term(h.records, c.term)) {
      got.emplace_back(s.record_index, s.operation_type);
      EXPECT_EQ(s.timestamp, h.records[s.record_index].timestamp);
      EXPECT_EQ(s.confidence.has_value(), s.operation_type == "assert");
    }
    EXPECT_EQ(got, c.steps) << c.term;
  }
  const auto first = temporal::concept_history(h.records, a);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0].definition, "def Caf\u00e9");
  EXPECT_EQ(first[0].confidence, 1.0);
  EXPECT_EQ(first[1].definition, "revised");
  EXPECT_EQ(first[2].definition, std::nullopt);
}

// Random histories rich in contradictions, merges, splits, retractions and
// relation ids used twice; every snapshot must equal the coherence and
// direction computed afresh over its prefix.
class RandomHistory {
 public:
  explicit RandomHistory(unsigned seed) : rng_(seed) {}

  History make(int steps) {
    History h;
    for (int i = 0; i < steps; ++i) {
      if (!h.add(next())) continue;
      if (auto* a = std::get_if<op::Assert>(&h.records.back().operation))
        ids_.push_back(a->concept_.id);
      if (auto* r = std::get_if<op::Relate>(&h.records.back().operation))
        rels_.push_back(r->relation.id);
      for (const auto& [id, c] : h.state.concepts) {
        if (std::find(ids_.begin(), ids_.end(), id) == ids_.end()) ids_.push_back(id);
      }
    }
    return h;
  }

 private:
  std::size_t pick(std::size_t n) { return rng_() % n; }
  ConceptId some() { return ids_.empty() ? ConceptId::random() : ids_[pick(ids_.size())]; }
  std::string term() { return "t" + std::to_string(pick(30)); }

  EvolutionOperation next() {
    switch (pick(10)) {
      case 0:
      case 1: {
        Concept c;
        c.id = pick(6) == 0 ? some() : ConceptId::random();
        c.term = term();
        return op::Assert{c};
      }
      case 2:
      case 3: {
        Relation r;
        r.id = !rels_.empty() && pick(5) == 0 ? rels_[pick(rels_.size())] : RelationId::random();
        r.from_concept = some();
        r.to_concept = pick(8) == 0 ? r.from_concept : some();
        r.relation_type = pick(3) == 0 ? RelationType::Supports : RelationType::Contradicts;
        return op::Relate{r};
      }
      case 4:
        return op::Revise{some(), term(), {some(), some()}, {}};
      case 5:
        return op::Retract{some(), RetractionReason::UserExplicit};
      case 6:
        return op::Refine{some(), term(), {}};
      case 7:
        return op::Merge{{some(), some()}, term(), "m", {}};
      case 8:
        return op::Split{some(), {{term(), "p"}, {term(), "q"}}, {}};
      default:
        return op::Reinforce{some(), {}};
    }
  }

  std::mt19937 rng_;
  std::vector<ConceptId> ids_;
  std::vector<RelationId> rels_;
};

TEST(ConvergenceTrajectory, EqualsThePerPrefixComputation) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    const History h = RandomHistory(seed).make(120);
    const std::span<const EvolutionRecord> all(h.records);
    std::vector<KnowledgeState> states{KnowledgeState{}};
    for (const EvolutionRecord& r : all) {
      states.push_back(
          KnowledgeState::apply(states.back(), r.operation, {Hash::zero(), r.timestamp, r.source})
              ->state);
    }
    for (const std::uint64_t window : {0u, 1u, 4u}) {
      const auto points = temporal::convergence_trajectory({}, h.records, window);
      ASSERT_TRUE(points.has_value());
      ASSERT_EQ(points->size(), h.records.size());
      for (std::size_t i = 0; i < all.size(); ++i) {
        const KnowledgeState& state = states[i + 1];
        const auto report = analysis::coherence(state, all.first(i + 1));
        const std::size_t width = window == 0 ? i + 1 : std::min<std::size_t>(window, i + 1);
        const auto& p = (*points)[i];
        ASSERT_NEAR(p.coherence_score, report.coherence_score, 1e-12) << seed << " " << i;
        ASSERT_EQ(p.contradiction_count, report.unresolved_contradictions.size())
            << seed << " " << i;
        ASSERT_EQ(p.concept_count, state.concepts.size());
        ASSERT_EQ(
            p.direction,
            analysis::epistemic_direction(all.subspan(i + 1 - width, width), window).direction);
      }
    }
  }
}

TEST(ConvergenceTrajectory, EmptyAndFailingHistories) {
  KnowledgeState start;
  const ConceptId a = History{}.assert_term("a");
  EXPECT_TRUE(temporal::convergence_trajectory(start, {}, 0)->empty());
  History h;
  h.state = *temporal::state_at(
      {},
      [&] {
        History g;
        g.assert_term("a", a);
        return g.records;
      }(),
      0);
  ASSERT_TRUE(h.add(op::Reinforce{a, {}}));
  EXPECT_EQ(message(temporal::convergence_trajectory({}, h.records, 0)),
            "concept not found: " + a.to_string());
}

}  // namespace
}  // namespace kelvora
