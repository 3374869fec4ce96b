#include "kelvora/temporal.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kelvora/operations.hpp"

namespace kelvora {
namespace {

// A history built by applying operations with increasing time stamps;
// refused operations are left out.
struct History {
  KnowledgeState state;
  std::vector<EvolutionRecord> records;

  bool add(const EvolutionOperation& operation) {
    const Timestamp t{1'700'000'000 + static_cast<std::int64_t>(records.size()), 0};
    auto r = KnowledgeState::apply(state, operation, {{}, t, OperationSource::UserImplicit});
    if (!r) return false;
    state = std::move(r->state);
    records.push_back(std::move(r->record));
    return true;
  }
  ConceptId assert_term(const std::string& term, ConceptId id = ConceptId::random()) {
    EXPECT_TRUE(add(op::Assert{Concept{id, term, "def " + term, 1.0, {}, {}, {}}})) << term;
    return id;
  }
};

std::string message(const auto& result) { return result ? "ok" : result.error().message(); }

TEST(StateAt, ReplaysEachPrefixToTheRecordedHashes) {
  History h;
  const ConceptId a = h.assert_term("a"), b = h.assert_term("b");
  ASSERT_TRUE(h.add(op::Merge{{a, b}, "ab", "merged", {}}));
  for (std::size_t i = 0; i < h.records.size(); ++i) {
    EXPECT_EQ(temporal::state_at({}, h.records, i)->state_hash(),
              h.records[i].resulting_state_hash);
  }
  EXPECT_EQ(message(temporal::state_at({}, h.records, 3)),
            "conflict detected: index 3 out of range (records len = 3)");
}

// Errors and results of the one-replay range against two independent
// state_at calls, for every index pair around a record that fails to replay
// onto the empty state (its concept existed only in the loaded start).
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
        } else {
          expected = "ok";
          EXPECT_EQ(*temporal::range_diff(initial, tail, from, to), diff::diff(*f, *t));
        }
        EXPECT_EQ(message(temporal::range_diff(initial, tail, from, to)), expected);
      }
    }
  }
}

TEST(ConceptHistory, FollowsTermsThroughMergeSplitAndReuse) {
  History h;
  const ConceptId a = h.assert_term("Caf\u00e9"), b = h.assert_term("b");
  h.add(op::Relate{Relation{{}, a, b, RelationType::Supports, {}, 1.0, {}, {}}});
  ASSERT_TRUE(h.add(op::Revise{a, "revised", {b}, {}}));
  ASSERT_TRUE(h.add(op::Merge{{a, b}, "AB", "merged", {}}));
  const ConceptId ab =
      operations::derive_merged_concept_id(h.records[4].prior_state_hash, {a, b}, "AB", "merged");
  ASSERT_TRUE(h.add(op::Reinforce{ab, {}}));
  ASSERT_TRUE(h.add(op::Retract{ab, {}}));
  h.assert_term("other", ab);  // the same id under another term
  ASSERT_TRUE(h.add(op::Split{ab, {{"x", "dx"}, {"AB ", "again"}}, {}}));
  for (std::uint32_t k : {0u, 1u}) {
    const auto& [term, definition] = std::get<op::Split>(h.records[8].operation).new_concepts[k];
    ASSERT_TRUE(h.add(op::Refine{
        operations::derive_split_concept_id(h.records[8].prior_state_hash, ab, k, term, definition),
        "finer",
        {}}));
  }
  const std::pair<const char*, std::vector<std::uint64_t>> cases[] = {{" cafe\u0301 ", {0, 3, 4}},
                                                                      {"ab", {5, 6, 7, 8, 10}},
                                                                      {"OTHER", {5, 6, 7, 8}},
                                                                      {"x", {9}},
                                                                      {"nothing", {}}};
  for (const auto& [term, indices] : cases) {
    std::vector<std::uint64_t> got;
    for (const auto& s : temporal::concept_history_by_term(h.records, term)) {
      got.push_back(s.record_index);
      EXPECT_EQ(s.timestamp, h.records[s.record_index].timestamp);
    }
    EXPECT_EQ(got, indices) << term;
  }
  const auto first = temporal::concept_history(h.records, a);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(std::tie(first[1].operation_type, first[1].definition),
            std::tuple("revise", "revised"));
}

// Histories longer than any look-ahead of the walks (16 entries at most),
// each record list in a block of exactly its size, so that under the
// sanitizers a read before the start or past the end of the list is caught.
TEST(ConceptHistory, ByTermOverLongHistories) {
  for (const int n : {17, 40, 150}) {
    History h;
    const ConceptId t = h.assert_term("t");
    std::vector<std::uint64_t> expected{0};
    for (int k = 0; k < n; ++k) {
      h.assert_term("o" + std::to_string(k));
      ASSERT_TRUE(h.add(op::Refine{t, "d" + std::to_string(k), {}}));
      expected.push_back(h.records.size() - 1);
    }
    const std::vector<EvolutionRecord> records(h.records.begin(), h.records.end());
    std::vector<std::uint64_t> got;
    for (const auto& s : temporal::concept_history_by_term(records, " T ")) {
      got.push_back(s.record_index);
    }
    EXPECT_EQ(got, expected) << n;
    const auto last = temporal::concept_history_by_term(records, "o" + std::to_string(n - 1));
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].record_index, records.size() - 2);
  }
}

// Random histories rich in contradictions, merges, splits, retractions and
// relation ids used twice, replayed from a start holding a few of their
// first records' effects: every snapshot must equal the coherence and
// direction computed afresh over its prefix.
History random_history(unsigned seed, int steps) {
  std::mt19937 rng(seed);
  auto pick = [&](std::size_t n) { return rng() % n; };
  History h;
  std::vector<ConceptId> ids{ConceptId::random()};
  std::vector<RelationId> relations{RelationId::random()};
  auto some = [&] { return ids[pick(ids.size())]; };
  auto term = [&] { return "t" + std::to_string(pick(30)); };
  for (int i = 0; i < steps; ++i) {
    const ConceptId x = some(), y = pick(8) == 0 ? x : some();
    const auto type = pick(3) == 0 ? RelationType::Supports : RelationType::Contradicts;
    const RelationId r = pick(5) == 0 ? relations[pick(relations.size())] : RelationId::random();
    const EvolutionOperation choices[] = {
        op::Assert{Concept{pick(6) == 0 ? x : ConceptId::random(), term(), "", 1.0, {}, {}, {}}},
        op::Relate{Relation{r, x, y, type, {}, 1.0, {}, {}}},
        op::Relate{Relation{RelationId::random(), x, y, type, {}, 1.0, {}, {}}},
        op::Revise{x, term(), {y, some()}, {}},
        op::Retract{x, {}},
        op::Refine{x, term(), {}},
        op::Merge{{x, y}, term(), "m", {}},
        op::Split{x, {{term(), "p"}, {term(), "q"}}, {}},
        op::Reinforce{x, {}}};
    if (!h.add(choices[pick(std::size(choices))])) continue;
    relations.push_back(r);
    for (const auto& entry : h.state.concepts) ids.push_back(entry.first);
  }
  return h;
}

// Replayed from the empty state, against the verified apply from it: every
// prefix gives the same state and hash (asked for afterwards), or the same
// error; also for records made on another start, whose Merge and Split
// identifiers the replay derives from its own states, not from the records
// (even when told the records are a verified chain: it is not one from the
// empty state).
TEST(StateAt, EqualsTheVerifiedApplyOnEveryPrefix) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    const History h = random_history(seed, 90);
    for (const auto& [skip, chain] :
         {std::pair{std::size_t{0}, temporal::RecordChain::Unchecked},
          std::pair{std::size_t{0}, temporal::RecordChain::Verified},
          std::pair{std::size_t{seed % 7 + 1}, temporal::RecordChain::Unchecked},
          std::pair{std::size_t{seed % 7 + 1}, temporal::RecordChain::Verified}}) {
      const auto records = std::span<const EvolutionRecord>(h.records).subspan(skip);
      std::vector<KnowledgeState> states;  // after each record, up to the first failure
      std::string error;
      for (const EvolutionRecord& r : records) {
        auto applied = KnowledgeState::apply(states.empty() ? KnowledgeState{} : states.back(),
                                             r.operation, {{}, r.timestamp, r.source});
        if (!applied) {
          error = applied.error().message();
          break;
        }
        states.push_back(std::move(applied->state));
      }
      if (skip == 0) {
        ASSERT_EQ(states.size(), records.size());
      }
      for (std::size_t i = 0; i < records.size(); ++i) {
        const auto got = temporal::state_at({}, records, i, chain);
        if (i >= states.size()) {
          ASSERT_EQ(message(got), error) << seed << " " << i;
          continue;
        }
        ASSERT_TRUE(got) << seed << " " << i;
        ASSERT_EQ(*got, states[i]) << seed << " " << i;
        ASSERT_EQ(got->state_hash(), states[i].state_hash()) << seed << " " << i;
        if (skip == 0) {
          ASSERT_EQ(got->state_hash(), records[i].resulting_state_hash);
        }
        const auto range = temporal::range_states({}, records, i / 2, i, chain);
        ASSERT_TRUE(range);
        ASSERT_EQ(range->from_state.state_hash(), states[i / 2].state_hash());
        ASSERT_EQ(range->to_state.state_hash(), states[i].state_hash());
      }
    }
  }
}

// A history that started from a loaded state: replayed from that state, the
// records' own states; replayed from the empty state, its own Merge and Split
// identifiers, however the records are described.
TEST(StateAt, TakesRecordedHashesOnlyForAChainFromItsStart) {
  History h;
  h.assert_term("loaded");
  const ConceptId a = h.assert_term("a"), b = h.assert_term("b"), c = h.assert_term("c");
  ASSERT_TRUE(h.add(op::Split{c, {{"p", "1"}, {"q", "2"}}, {}}));
  ASSERT_TRUE(h.add(op::Merge{{a, b}, "ab", "m", {}}));
  const auto tail = std::span<const EvolutionRecord>(h.records).subspan(1);
  const KnowledgeState loaded = *temporal::state_at({}, h.records, 0);
  KnowledgeState from_empty;
  for (const EvolutionRecord& r : tail) {
    from_empty = KnowledgeState::apply(from_empty, r.operation, {{}, r.timestamp, r.source})->state;
  }
  ASSERT_NE(from_empty.find_concept_by_term("ab"), h.state.find_concept_by_term("ab"));
  for (const auto chain : {temporal::RecordChain::Unchecked, temporal::RecordChain::Verified}) {
    for (std::size_t i = 0; i < tail.size(); ++i) {
      EXPECT_EQ(temporal::state_at(loaded, tail, i, chain)->state_hash(),
                tail[i].resulting_state_hash);
    }
    EXPECT_EQ(*temporal::state_at({}, tail, tail.size() - 1, chain), from_empty);
    EXPECT_EQ(*temporal::state_at({}, h.records, h.records.size() - 1, chain), h.state);
  }
}

TEST(ConvergenceTrajectory, EqualsThePerPrefixComputation) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    const History h = random_history(seed, 150);
    const std::size_t skip = seed % 25;
    const std::span<const EvolutionRecord> all = std::span(h.records).subspan(skip);
    std::vector<KnowledgeState> states{skip == 0 ? KnowledgeState{}
                                                 : *temporal::state_at({}, h.records, skip - 1)};
    for (const EvolutionRecord& r : all) {
      states.push_back(
          KnowledgeState::apply(states.back(), r.operation, {{}, r.timestamp, r.source})->state);
    }
    for (const std::uint64_t window : {0u, 1u, 4u}) {
      // The records are a verified chain from states[0] when skip > 0 too.
      const auto chain =
          window == 1 ? temporal::RecordChain::Unchecked : temporal::RecordChain::Verified;
      const auto points = *temporal::convergence_trajectory(states[0], all, window, chain);
      ASSERT_EQ(points.size(), all.size());
      for (std::size_t i = 0; i < all.size(); ++i) {
        const auto report = analysis::coherence(states[i + 1], all.first(i + 1));
        const std::size_t width = window == 0 ? i + 1 : std::min<std::size_t>(window, i + 1);
        const auto direction =
            analysis::epistemic_direction(all.subspan(i + 1 - width, width), window).direction;
        // One state, one score: bit for bit the report's, and within 1e-12
        // of the stabilities summed in identifier order.
        ASSERT_EQ(points[i].coherence_score, report.coherence_score) << seed << " " << i;
        double in_id_order = -0.0;
        for (const auto& [id, metrics] : report.concept_stability) {
          in_id_order += 1.0 - metrics.volatility;
        }
        ASSERT_NEAR(report.coherence_score,
                    analysis::coherence_score(report.concept_stability.size(),
                                              report.unresolved_contradictions.size(), in_id_order),
                    1e-12);
        ASSERT_EQ(points[i].contradiction_count, report.unresolved_contradictions.size()) << i;
        ASSERT_EQ(points[i].concept_count, states[i + 1].concepts.size());
        ASSERT_EQ(points[i].direction, direction);
      }
    }
  }
}

TEST(ConvergenceTrajectory, EmptyAndFailingHistories) {
  History h;
  const ConceptId a = h.assert_term("a");
  EXPECT_TRUE(temporal::convergence_trajectory(h.state, {}, 0)->empty());
  ASSERT_TRUE(h.add(op::Reinforce{a, {}}));
  EXPECT_EQ(message(temporal::convergence_trajectory({}, std::span(h.records).subspan(1), 0)),
            "concept not found: " + a.to_string());
}

}  // namespace
}  // namespace kelvora
