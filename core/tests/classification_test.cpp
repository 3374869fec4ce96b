#include "kelvora/classification.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kelvora {
namespace {

using Kind = classification::ClassificationKind;

TEST(Classification, WordJaccardSimilarity) {
  const struct {
    const char* a;
    const char* b;
    double expected;
  } cases[] = {
      {"red apple", "red pear", 1.0 / 3},
      {"red red apple", "apple red.", 1.0},
      {"Red", "red", 0.0},  // no case folding here
      {"", "", 0.0},
      {"?! ... ()", "-- !", 0.0},
      {"(don't) \"well-known\"", "don't well-known", 1.0},
      {"a\u3000b\u00a0c\u2028d", "a b c d", 1.0},                // Unicode white space splits
      {"x\u00b2 \u216b \u0663!", "x\u00b2 \u216b \u0663", 1.0},  // No, Nl and Nd are kept
      {"\u00b7a\u00b7", "a", 1.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(classification::word_jaccard_similarity(c.a, c.b), c.expected) << c.a;
    EXPECT_EQ(classification::word_jaccard_similarity(c.b, c.a), c.expected) << c.b;
  }
}

TEST(Classification, ClassifyExtraction) {
  KnowledgeState s;
  auto put = [&](std::uint8_t n, std::string term, std::string definition,
                 ConceptStatus status = ConceptStatus::Active) {
    Concept c{{}, std::move(term), std::move(definition), 1.0, status, {}, {}};
    c.id.uuid.bytes[15] = n;
    s.concepts.insert_or_assign(c.id, Entry<Concept>(c));
    return c.id;
  };
  put(1, "Old", "gone", ConceptStatus::Superseded);
  put(2, "kept", "other", ConceptStatus::Coexisting);
  const ConceptId apple = put(3, "Apple", "A b c d e f g h i j k l m n o p q r ZEST.");
  put(4, "apple ", "never compared");
  const ConceptId pear = put(5, "pear", "a b c d e f");
  const ConceptId greek =
      put(6, "\u03c3\u03bf\u03c6\u03bf\u03c2", "\u03a3\u039f\u03a6\u039f\u03a3 \u0130stanbul");
  const classification::ClassificationThresholds usual{0.3, 0.95};
  const struct {
    const char* term;
    const char* definition;
    classification::ClassificationThresholds thresholds;
    Kind kind;
    std::optional<ConceptId> id;
    std::optional<double> similarity;
  } cases[] = {
      {"old", "gone", usual, Kind::Assert, {}, {}},
      {"kept", "other", usual, Kind::Assert, {}, {}},
      {" APPLE\t", "a b c d e f g h i j k l m n o p q r zest extra", usual, Kind::Reinforce, apple,
       0.95},
      {"pear", "A B C G H I J", usual, Kind::Refine, pear, 0.3},
      {"pear", "a x", usual, Kind::Revise, pear, 1.0 / 7},
      {"pear", "x", {0.0, 0.95}, Kind::Refine, pear, 0.0},
      {"pear", "a b c", {0.96, 0.95}, Kind::Revise, pear, 0.5},
      // Full lower-casing: final sigma, and the dotted capital I to i + U+0307.
      {"\u03a3\u039f\u03a6\u039f\u03a3", "\u03c3\u03bf\u03c6\u03bf\u03c2 i\u0307stanbul", usual,
       Kind::Reinforce, greek, 1.0},
  };
  for (const auto& c : cases) {
    const auto r = classification::classify_extraction(s, c.term, c.definition, c.thresholds);
    EXPECT_EQ(r.kind, c.kind) << c.term << " " << c.definition;
    EXPECT_EQ(r.concept_id, c.id) << c.term;
    EXPECT_EQ(r.similarity, c.similarity) << c.term << " " << c.definition;
  }
}

}  // namespace
}  // namespace kelvora
