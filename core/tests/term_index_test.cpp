// The term lookup of a state against a walk over its concepts, along random
// histories: the index carried from state to state by apply, the index made
// afresh for a copy, and the indexes of earlier states after later applies.
#include "kelvora/term_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kelvora/knowledge_state.hpp"
#include "kelvora/operations.hpp"

namespace kelvora {
namespace {

// Terms of every length class the hash reads (empty, under one word, whole
// words, a word and a tail), terms that differ in case or space only, and
// bytes beyond ASCII.
const std::vector<std::string> kTerms = {
    "",
    "a",
    "A",
    "a ",
    "alpha",
    "Alpha",
    "alpha beta",
    "12345678",
    "123456789",
    "1234567812345678",
    "entropy",
    "entrop\xC3\xA9",
    "Entrop\xC3\xA9",
    "knowledge graph of concepts",
};
const std::vector<std::string> kAbsent = {"b", "alpha  beta", "1234567", "ENTROPY!"};
const std::vector<ConceptId> kNone;

std::optional<ConceptId> walked(const KnowledgeState& state, const std::string& term,
                                bool any_status) {
  for (const auto& [id, entry] : state.concepts) {
    if ((any_status || entry->status == ConceptStatus::Active) && entry->term == term) return id;
  }
  return std::nullopt;
}

bool normal_form_walked(const KnowledgeState& state, const std::string& normalized,
                        const std::vector<ConceptId>& excluded) {
  for (const auto& [id, entry] : state.concepts) {
    if (entry->status == ConceptStatus::Active &&
        std::find(excluded.begin(), excluded.end(), id) == excluded.end() &&
        operations::normalize_term(entry->term) == normalized) {
      return true;
    }
  }
  return false;
}

// Every lookup by term, then (the index being made by then) whether each
// term's normal form is taken, with no concept excluded and with the first
// few concepts (some holding the term) excluded.
void expect_lookups(const KnowledgeState& state, const std::string& where) {
  for (const auto* terms : {&kTerms, &kAbsent}) {
    for (const auto& term : *terms) {
      for (const bool any : {false, true}) {
        EXPECT_EQ(state.find_concept_by_term(term, any), walked(state, term, any))
            << where << " term '" << term << "' any_status " << any;
      }
    }
  }
  const TermIndex* index = state.term_index_past_walks();
  ASSERT_NE(index, nullptr) << where;
  std::vector<ConceptId> first;
  for (const auto& [id, entry] : state.concepts) {
    if (first.size() < 3) first.push_back(id);
  }
  for (const auto* terms : {&kTerms, &kAbsent}) {
    for (const auto& term : *terms) {
      const std::string normalized = operations::normalize_term(term);
      for (const std::vector<ConceptId>* excluded : {&std::as_const(first), &kNone}) {
        EXPECT_EQ(index->normal_form_taken(normalized, *excluded),
                  normal_form_walked(state, normalized, *excluded))
            << where << " normal form of '" << term << "' excluding " << excluded->size();
      }
    }
  }
}

ConceptId id_of(std::uint8_t first, std::uint8_t last) {
  ConceptId id;
  id.uuid.bytes[0] = first;
  id.uuid.bytes[15] = last;
  return id;
}

Concept concept_of(const ConceptId& id, std::string term, ConceptStatus status) {
  Concept c;
  c.id = id;
  c.term = std::move(term);
  c.definition = "about " + c.term;
  c.status = status;
  return c;
}

// A state as a document may give it: terms repeated among concepts of every
// status, an Active term held by two concepts, and a key that is not its
// concept's own id.
KnowledgeState seeded_state() {
  KnowledgeState state;
  auto put = [&](const ConceptId& key, const std::string& term, ConceptStatus status) {
    state.concepts.insert_or_assign(key, Entry<Concept>(concept_of(key, term, status)));
  };
  put(id_of(0x90, 1), "alpha", ConceptStatus::Active);
  put(id_of(0x30, 2), "alpha", ConceptStatus::Superseded);
  put(id_of(0x20, 3), "alpha", ConceptStatus::Coexisting);
  put(id_of(0x70, 4), "entropy", ConceptStatus::Active);
  put(id_of(0x50, 5), "entropy", ConceptStatus::Active);
  put(id_of(0x10, 6), "a", ConceptStatus::Superseded);
  put(id_of(0xA0, 7), "", ConceptStatus::Active);
  const ConceptId key = id_of(0x60, 8);
  state.concepts.insert_or_assign(
      key, Entry<Concept>(concept_of(id_of(0x61, 8), "12345678", ConceptStatus::Active)));
  return state;
}

// Picks a concept of `state` (any status), or a fresh id when it has none.
ConceptId pick(const KnowledgeState& state, std::mt19937& rng) {
  if (state.concepts.empty()) return ConceptId::random();
  std::size_t k = rng() % state.concepts.size();
  for (const auto& [id, entry] : state.concepts) {
    if (k-- == 0) return id;
  }
  return ConceptId::random();
}

EvolutionOperation random_operation(const KnowledgeState& state, std::mt19937& rng) {
  const std::string& term = kTerms[rng() % kTerms.size()];
  const ConceptId target = pick(state, rng);
  switch (rng() % 9) {
    case 0:
    case 1:
      return op::Assert{concept_of(ConceptId::random(), term, ConceptStatus::Active)};
    case 2:
      return op::Retract{target, RetractionReason::UserExplicit};
    case 3:
      return op::Refine{target, "refined", {}};
    case 4:
      return op::Revise{target, "revised", {pick(state, rng)}, {}};
    case 5:
      return op::Reinforce{target, {}};
    case 6: {
      std::vector<ConceptId> sources{target, pick(state, rng)};
      if (rng() % 2 == 0) sources.push_back(pick(state, rng));
      return op::Merge{sources, term, "merged", {}};
    }
    case 7: {
      std::vector<std::pair<std::string, std::string>> parts;
      const std::size_t count = 2 + rng() % 3;
      for (std::size_t k = 0; k < count; ++k) {
        parts.emplace_back(kTerms[rng() % kTerms.size()], "part");
      }
      return op::Split{target, parts, {}};
    }
    default:
      return op::Restructure{state.structure_hash(), {}, "cleared"};
  }
}

struct History {
  const char* name;
  unsigned seed;
  bool seeded;  // starts from seeded_state(), else from the empty state
};

class TermLookupHistory : public ::testing::TestWithParam<History> {};

TEST_P(TermLookupHistory, AgreesWithTheWalkAtEveryStep) {
  const History history = GetParam();
  std::mt19937 rng(history.seed);
  // Held shared, as the module holds states, so that the kept states keep
  // the very indexes the later ones were carried from.
  auto state =
      std::make_shared<const KnowledgeState>(history.seeded ? seeded_state() : KnowledgeState{});
  expect_lookups(*state, "start");  // makes the index, which apply then carries
  std::vector<std::shared_ptr<const KnowledgeState>> kept;
  std::size_t applied = 0;
  for (int step = 0; step < 400; ++step) {
    // The same step on a copy, which walks the concepts for its checks.
    const EvolutionOperation operation = random_operation(*state, rng);
    const ApplyContext context{Hash{}, Timestamp{1'700'000'000, 0}, OperationSource::UserExplicit};
    auto result = KnowledgeState::apply(*state, operation, context);
    const auto walking = KnowledgeState::apply(KnowledgeState(*state), operation, context);
    ASSERT_EQ(result ? "" : result.error().message(), walking ? "" : walking.error().message());
    if (!result) continue;
    ASSERT_TRUE(result->state == walking->state);
    ++applied;
    state = std::make_shared<const KnowledgeState>(std::move(result->state));
    const std::string where = "step " + std::to_string(step);
    expect_lookups(*state, where);
    const KnowledgeState copy = *state;  // starts without an index
    expect_lookups(copy, where + " (copy)");
    if (step % 50 == 0) kept.push_back(state);
  }
  EXPECT_GT(applied, 100u);
  for (const auto& earlier : kept) expect_lookups(*earlier, "kept state");
}

INSTANTIATE_TEST_SUITE_P(Histories, TermLookupHistory,
                         ::testing::Values(History{"empty_start", 1, false},
                                           History{"empty_start_again", 2, false},
                                           History{"seeded_start", 3, true},
                                           History{"seeded_start_again", 4, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A state whose index is made only after the history: the same answers as
// one carried along (and the carried one is not made afresh by apply).
TEST(TermLookup, MadeLateOrCarriedAlongGiveTheSameAnswers) {
  std::mt19937 rng(9);
  KnowledgeState carried = seeded_state();
  KnowledgeState late = seeded_state();
  // The first lookups walk; the ninth makes the index.
  for (int k = 0; k < 9; ++k) EXPECT_TRUE(carried.find_concept_by_term("alpha"));
  for (int step = 0; step < 200; ++step) {
    const EvolutionOperation operation = random_operation(carried, rng);
    const ApplyContext context{Hash{}, Timestamp{1'700'000'000, 0}, OperationSource::UserExplicit};
    auto a = KnowledgeState::apply(carried, operation, context);
    auto b = KnowledgeState::apply(late, operation, context);
    ASSERT_EQ(a.has_value(), b.has_value());
    if (!a) continue;
    ASSERT_TRUE(a->state == b->state);
    carried = std::move(a->state);
    late = std::move(b->state);
  }
  for (const auto& term : kTerms) {
    for (const bool any : {false, true}) {
      EXPECT_EQ(late.find_concept_by_term(term, any), carried.find_concept_by_term(term, any));
    }
  }
}

// States asked for one term each: the first ones walk, a later one makes
// the index, and the states after it carry it; every answer is the walk's.
TEST(TermLookup, OneLookupPerStateAlongALine) {
  std::mt19937 rng(12);
  KnowledgeState state = seeded_state();
  for (int step = 0; step < 100; ++step) {
    auto result = KnowledgeState::apply(state, random_operation(state, rng), {});
    if (!result) continue;
    state = std::move(result->state);
    const std::string& term = kTerms[rng() % kTerms.size()];
    const bool any = rng() % 2 == 0;
    EXPECT_EQ(state.find_concept_by_term(term, any), walked(state, term, any)) << step;
  }
  expect_lookups(state, "end");
}

TEST(TermLookup, SeededStateAnswers) {
  const KnowledgeState state = seeded_state();
  struct Case {
    std::string term;
    bool any_status;
    std::optional<ConceptId> expected;
  };
  const Case cases[] = {
      {"alpha", false, id_of(0x90, 1)},  // the only Active one
      {"alpha", true, id_of(0x20, 3)},   // the first of any status
      {"entropy", false, id_of(0x50, 5)},
      {"entropy", true, id_of(0x50, 5)},
      {"a", false, std::nullopt},
      {"a", true, id_of(0x10, 6)},
      {"", false, id_of(0xA0, 7)},
      {"12345678", false, id_of(0x60, 8)},  // the key, not the concept's own id
      {"Alpha", true, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(state.find_concept_by_term(c.term, c.any_status), c.expected) << c.term;
  }
}

}  // namespace
}  // namespace kelvora
