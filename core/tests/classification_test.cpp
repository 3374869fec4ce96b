#include "kelvora/classification.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

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

// Word splitting over Unicode and over bytes that are not UTF-8: every kind
// of White_Space splits, Alphabetic and numeric characters stay, anything
// else is trimmed from the ends of a piece; an ill-formed sequence is neither
// (its maximal subpart is skipped, so the character after it is read).
TEST(Classification, WordJaccardSimilarityOverUnicode) {
  const struct {
    std::string a;
    std::string b;
    double expected;
  } cases[] = {
      // White_Space of every kind splits: C0 controls, NEL, ogham space mark,
      // the general punctuation spaces, ideographic space.
      {"a\tb\nc\vd\fe\rf", "a b c d e f", 1.0},
      {"a\u0085b\u1680c\u2000d\u200ae\u2029f\u202fg\u205fh", "a b c d e f g h", 1.0},
      // Not White_Space: zero width space, word joiner, byte order mark and the
      // Mongolian vowel separator stay inside a piece.
      {"a\u200bb", "a b", 0.0},
      {"a\u2060b\ufeffc\u180ed", "a b c d", 0.0},
      {"\u200ba\ufeff", "a", 1.0},
      // Numerics are kept: Nd of another script, Nl, No (fraction, circled,
      // superscript); currency and percent signs and brackets are trimmed.
      {"(\u0966\u0967) (\u2160) (\u00bd) (\u2460) (\u00b3)",
       "\u00b3 \u2460 \u00bd \u2160 \u0966\u0967", 1.0},
      {"$5 5% (5)", "5", 1.0},
      // Case-sensitive: capital, medial and final sigma are three words.
      {"\u03a3 \u03c3 \u03c2", "\u03c3", 1.0 / 3},
      {"\u03bf\u03b4\u03bf\u03c2.", "\u03bf\u03b4\u03bf\u03c3", 0.0},
      // Combining marks: U+0307 is not Alphabetic, so it is trimmed at the
      // end; U+0345 is, so it stays.
      {"i\u0307", "i", 1.0},
      {"\u03b1\u0345", "\u03b1", 0.0},
      // Ill-formed bytes: skipped by their maximal subpart, trimmed at the
      // ends, kept inside a piece.
      {"ab\xff", "ab", 1.0},
      {"\xc3 a", "a", 1.0},
      {"a\xe2 b", "b a", 1.0},
      {"\xf0\x9f"
       "a",
       "a", 1.0},
      {"\xf0\x9f\x98"
       "a",
       "a", 1.0},
      {"\xed\xa0\x80"
       "a",
       "a", 1.0},
      {"\xc0\xaf"
       "a\x80",
       "a", 1.0},
      {"a\xffz", "a z", 0.0},
      {"a\xffz x", "a\xffz y", 1.0 / 3},
      {"\xff\xfe \x80", "", 0.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(classification::word_jaccard_similarity(c.a, c.b), c.expected) << c.a;
    EXPECT_EQ(classification::word_jaccard_similarity(c.b, c.a), c.expected) << c.b;
  }
}

// Views that end (or start) inside a longer text: the word sets hold the
// viewed bytes only. Each view is also copied into a block of exactly its
// size, with no terminator, so that under the sanitizers a read past its
// end is caught.
TEST(Classification, WordSetsStayInsideTheirViews) {
  const struct {
    const char* text;
    std::size_t start;
    std::size_t length;
    const char* other;
    double expected;
  } cases[] = {
      {"red applesauce", 0, 9, "red apple", 1.0},
      {"red apple pie", 0, 9, "apple red", 1.0},
      {"red apple, pie", 0, 10, "apple red", 1.0},
      {"red appleé", 0, 9, "red apple", 1.0},
      {"red applé x", 0, 9, "red appl", 1.0},  // ends inside a two-byte character
      {"sour red apple", 5, 9, "red apple", 1.0},
      {"xred apple", 1, 9, "red apple", 1.0},
      {"red apple pie", 4, 0, "", 0.0},
      {"red apple pie", 4, 5, "apple pie", 0.5},
  };
  for (const auto& c : cases) {
    const std::string_view view = std::string_view(c.text).substr(c.start, c.length);
    const auto exact = std::make_unique_for_overwrite<char[]>(view.size());
    std::copy(view.begin(), view.end(), exact.get());
    for (const std::string_view a : {view, std::string_view(exact.get(), view.size())}) {
      EXPECT_EQ(classification::word_jaccard_similarity(a, c.other), c.expected) << c.text;
      EXPECT_EQ(classification::word_jaccard_similarity(c.other, a), c.expected) << c.text;
    }
  }
  // The term and the definition of an extraction, each a view into a longer text.
  KnowledgeState s;
  Concept apple{{}, "\u00c4pple", "red \u00e4pple", 1.0, {}, {}, {}};
  s.concepts.insert_or_assign(apple.id, Entry<Concept>(apple));
  const std::string text = "\u00c4pplesauce: Red \u00c4pplesauce";
  const auto r = classification::classify_extraction(
      s, std::string_view(text).substr(0, 6), std::string_view(text).substr(13, 10), {0.3, 0.95});
  EXPECT_EQ(r.kind, Kind::Reinforce);
  EXPECT_EQ(r.similarity, 1.0);
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
  const ConceptId sofos =
      put(7, "sofos", "\u03c3\u03bf\u03c6\u03bf\u03c2. \u03c3\u03b1 \u03bf\u03c3\u03b1");
  const ConceptId odd = put(8, "odd", "\u00e9\ufffd\ufffda \ufffdz");
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
      // A sigma followed by punctuation is final; inside a word it is not.
      {"sofos", "\u03a3\u039f\u03a6\u039f\u03a3. \u03a3\u0391 \u039f\u03a3\u0391", usual,
       Kind::Reinforce, sofos, 1.0},
      // Bytes that are not UTF-8 in a non-ASCII definition are lower-cased as
      // U+FFFD, one for each maximal ill-formed subpart.
      {"odd",
       "\u00c9\xff\xf0\x9f"
       "A \xe2\x80Z",
       usual, Kind::Reinforce, odd, 1.0},
      {"odd",
       "\u00c9\xff"
       "A \xe2\x80Z",
       usual, Kind::Refine, odd, 1.0 / 3},
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
