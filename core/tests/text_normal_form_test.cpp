// The term normal form of texts with long runs of combining marks, which
// the engine decomposes and orders itself before composing, against the
// normaliser's own NFC of the same text.
#include "kelvora/text_normal_form.hpp"

#include <gtest/gtest.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <random>
#include <string>
#include <vector>

namespace kelvora::text {
namespace {

std::string icu_term_form(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  icu::UnicodeString composed = nfc->normalize(icu::UnicodeString::fromUTF8(text), status);
  EXPECT_TRUE(U_SUCCESS(status));
  std::string utf8;
  composed.toUTF8String(utf8);
  return lower_case(utf8);
}

// Random texts (no white space at either end) from code points that take
// every path: starters, marks of many classes (in runs up to 200 long),
// precomposed letters, characters whose decomposition starts with a mark
// (U+0344, U+0F73) or that compose only with a preceding mark, Hangul
// syllables and jamo, upper case and a final sigma.
TEST(NormalizeTerm, LongRunsOfMarksGiveTheNormalisersComposition) {
  const std::vector<std::string> starters = {
      "a",      "e",      "u",      "\u00c0", "\u00e9", "\u01d6", "\u03a3", "\u1e9b",
      "\uac00", "\u1100", "\u1161", "\u11a8", "\u0f40", " ",      "\u3000", "\u0915"};
  const std::vector<std::string> marks = {"\u0301", "\u0300", "\u0316", "\u0334", "\u0345",
                                          "\u05b0", "\u0f71", "\u0f72", "\u0f73", "\u0344",
                                          "\u0308", "\u0323", "\u093c", "\u0327", "\u0f80"};
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    std::string text = "a";
    const int pieces = 1 + static_cast<int>(rng() % 6);
    for (int p = 0; p < pieces; ++p) {
      text += starters[rng() % starters.size()];
      const std::size_t run = rng() % 4 == 0 ? rng() % 200 : rng() % 40;
      for (std::size_t k = 0; k < run; ++k) text += marks[rng() % marks.size()];
    }
    text += "z";
    EXPECT_EQ(normalize_term(text), icu_term_form(text)) << round;
  }
}

}  // namespace
}  // namespace kelvora::text
