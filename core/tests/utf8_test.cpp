// The UTF-8 decoder against ICU's, which the debug form of terms used before:
// the same code points, the same well-formed sequences, and for an ill-formed
// one the same number of bytes replaced by one U+FFFD.
#include "kelvora/utf8.hpp"

#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kelvora {
namespace {

// Compares one decoding step at the start of `bytes`; encoding a well-formed
// sequence's code point gives its bytes back.
void expect_same_as_icu(const std::string& bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::int32_t at = 0;
  UChar32 icu = 0;
  U8_NEXT(data, at, static_cast<std::int32_t>(bytes.size()), icu);
  const utf8::Decoded ours = utf8::decode(bytes, 0);
  ASSERT_EQ(ours.valid, icu >= 0) << testing::PrintToString(bytes);
  ASSERT_EQ(ours.length, static_cast<std::size_t>(at)) << testing::PrintToString(bytes);
  ASSERT_EQ(ours.code_point, icu >= 0 ? static_cast<char32_t>(icu) : utf8::kReplacement);
  if (ours.valid) {
    std::string encoded;
    utf8::append(encoded, ours.code_point);
    ASSERT_EQ(encoded, bytes.substr(0, ours.length));
  }
}

TEST(Utf8, DecodesEveryShortSequenceAsIcuDoes) {
  for (int a = 0; a < 256; ++a) {
    expect_same_as_icu(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      expect_same_as_icu(two);
      if (a < 0xE0) continue;
      for (int c = 0; c < 256; ++c) expect_same_as_icu(two + static_cast<char>(c));
    }
  }
}

TEST(Utf8, DecodesFourByteSequencesAtTheRangeEdgesAsIcuDoes) {
  const std::vector<int> trails = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90,
                                   0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
  for (int lead = 0xF0; lead <= 0xFF; ++lead) {
    for (int b : trails) {
      for (int c : trails) {
        for (int d : trails) {
          expect_same_as_icu({static_cast<char>(lead), static_cast<char>(b), static_cast<char>(c),
                              static_cast<char>(d)});
        }
      }
    }
  }
}

}  // namespace
}  // namespace kelvora
