// Term normal form, lower case, float normalisation and derived identifiers.
// The justification and record functions are tested in their own file.
#include "kelvora/operations.hpp"

#include <gtest/gtest.h>
#include <unicode/uclean.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "kelvora/text_normal_form.hpp"

using namespace kelvora;
namespace ops = kelvora::operations;

TEST(NormalizeTerm, Ascii) {
  EXPECT_EQ(ops::normalize_term("Apple"), "apple");
  EXPECT_EQ(ops::normalize_term("  Apple Pie\t\n"), "apple pie");
  EXPECT_EQ(ops::normalize_term("\x0b\x0c\rX\r"), "x");
  EXPECT_EQ(ops::normalize_term(""), "");
  EXPECT_EQ(ops::normalize_term(" \t "), "");
  // U+001F is not White_Space.
  EXPECT_EQ(ops::normalize_term("\x1f"
                                "A"),
            "\x1f"
            "a");
}

TEST(NormalizeTerm, UnicodeWhiteSpace) {
  // NO-BREAK SPACE, IDEOGRAPHIC SPACE, NEL, EN QUAD, LINE SEPARATOR.
  EXPECT_EQ(ops::normalize_term("\u00a0\u3000Apple\u0085\u2000\u2028"), "apple");
  // Interior white space stays.
  EXPECT_EQ(ops::normalize_term("\u00a0A\u00a0B\u00a0"), "a\u00a0b");
  // ZERO WIDTH SPACE is not White_Space.
  EXPECT_EQ(ops::normalize_term("\u200bA"), "\u200ba");
}

TEST(NormalizeTerm, CompositionAndCase) {
  const std::string composed = ops::normalize_term("Caf\u00e9");
  const std::string decomposed = ops::normalize_term("Cafe\u0301");
  const std::string upper = ops::normalize_term(" CAF\u00c9 ");
  EXPECT_EQ(composed, "caf\u00e9");
  EXPECT_EQ(decomposed, composed);
  EXPECT_EQ(upper, composed);
  EXPECT_EQ(ops::normalize_term("A\u030a"), "\u00e5");  // A + ring -> a-ring
  EXPECT_EQ(ops::normalize_term("\u212b"), "\u00e5");   // ANGSTROM SIGN -> a-ring
}

TEST(NormalizeTerm, FinalSigma) {
  // Capital sigma at the end of a word becomes the final small sigma.
  EXPECT_EQ(ops::normalize_term("\u039f\u0394\u039f\u03a3"), "\u03bf\u03b4\u03bf\u03c2");
  EXPECT_EQ(ops::normalize_term("\u03a3\u039f\u03a3 \u03a3\u039f\u03a3"),
            "\u03c3\u03bf\u03c2 \u03c3\u03bf\u03c2");
  // A lone capital sigma is not at the end of a word.
  EXPECT_EQ(ops::normalize_term("\u03a3"), "\u03c3");
  // Trailing white space trimmed first, then the sigma is final.
  EXPECT_EQ(ops::normalize_term("\u039f\u03a3\u00a0"), "\u03bf\u03c2");
}

TEST(NormalizeTerm, FullLowerCaseMapping) {
  // LATIN CAPITAL LETTER I WITH DOT ABOVE: full mapping "i" + COMBINING DOT ABOVE.
  EXPECT_EQ(ops::normalize_term("\u0130"), "i\u0307");
  // Sharp s and other already lower-case letters stay.
  EXPECT_EQ(ops::normalize_term("Stra\u00dfe"), "stra\u00dfe");
  EXPECT_EQ(ops::normalize_term("\u00c0 la CARTE"), "\u00e0 la carte");
}

TEST(NormalizeF64, RoundTrip) {
  EXPECT_EQ(ops::normalize_f64_for_json(0.1), 0.1);
  EXPECT_EQ(ops::normalize_f64_for_json(1.0 / 3.0), 1.0 / 3.0);
  EXPECT_EQ(ops::normalize_f64_for_json(5e-324), 5e-324);
  EXPECT_TRUE(std::signbit(ops::normalize_f64_for_json(-0.0)));
  EXPECT_THROW(ops::normalize_f64_for_json(std::numeric_limits<double>::quiet_NaN()),
               InternalFault);
  EXPECT_THROW(ops::normalize_f64_for_json(std::numeric_limits<double>::infinity()), InternalFault);
  try {
    ops::normalize_f64_for_json(-std::numeric_limits<double>::infinity());
  } catch (const InternalFault& e) {
    EXPECT_STREQ(e.what(), "f64 deserialization should never fail");
  }
}

// ICU's allocator, failing once `icu_allocations_left` reaches zero (-1: never).
static long icu_allocations_left = -1;
static void* icu_alloc(const void*, std::size_t n) {
  return icu_allocations_left == 0 ? nullptr : (--icu_allocations_left, std::malloc(n));
}
static void* icu_realloc(const void*, void* p, std::size_t n) {
  return icu_allocations_left == 0 ? nullptr : (--icu_allocations_left, std::realloc(p, n));
}
static void icu_free(const void*, void* p) { std::free(p); }

// An allocation failing inside ICU, wherever it falls, is std::bad_alloc:
// never an internal fault, never a wrong (empty) result.
TEST(NormalizeTerm, IcuAllocationFailureIsOutOfMemory) {
  UErrorCode status = U_ZERO_ERROR;
  u_setMemoryFunctions(nullptr, icu_alloc, icu_realloc, icu_free, &status);
  const std::string term = " \u00c7a" + std::string(300, 'E') + "e\u0301 ";
  const struct {
    std::string (*function)(std::string_view);
    std::string expected;
    long least_refused;
  } cases[] = {
      // The text, its trimmed copy and the composed text at least.
      {&ops::normalize_term, "\u00e7a" + std::string(300, 'e') + "\u00e9", 3},
      // The text and its lower case at least.
      {&text::lower_case, " \u00e7a" + std::string(300, 'e') + "e\u0301 ", 2},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.function(term), c.expected);  // ICU's data is loaded from here on
    long refused = 0;
    for (; refused < 100; ++refused) {
      icu_allocations_left = refused;
      try {
        EXPECT_EQ(c.function(term), c.expected);
        break;
      } catch (const std::bad_alloc&) {
      }
    }
    icu_allocations_left = -1;
    EXPECT_GE(refused, c.least_refused) << c.expected;
  }
}

// The lower case of the whole text: nothing trimmed or composed, final sigma
// by context, ill-formed bytes as one U+FFFD per maximal subpart.
TEST(LowerCase, FullMappingOfTheWholeText) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {" Apple PIE\t", " apple pie\t"},
      {"", ""},
      {"\u03a3\u039f\u03a6\u039f\u03a3. \u03a3\u0391 \u03a3",
       "\u03c3\u03bf\u03c6\u03bf\u03c2. \u03c3\u03b1 \u03c3"},
      {"\u0130STANBUL \u00c9", "i\u0307stanbul \u00e9"},
      {"E\u0301\u00a0\u1e9e", "e\u0301\u00a0\u00df"},
      {"\xff"
       "A\xe2\x80"
       "B\xf0\x9f\x98"
       "C\xed\xa0\x80",
       "\ufffda\ufffdb\ufffdc\ufffd\ufffd\ufffd"},
  };
  for (const auto& c : cases) EXPECT_EQ(text::lower_case(c.in), c.out) << c.in;
}
