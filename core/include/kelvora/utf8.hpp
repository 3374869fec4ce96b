// UTF-8, one code point at a time: the decoder every reader of text uses and
// the matching encoder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvora::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
  // The code point, or U+FFFD for an ill-formed sequence.
  char32_t code_point;
  // The bytes read: the whole sequence, or of an ill-formed one its maximal
  // subpart (the lead byte and the trail bytes that could have continued it,
  // at least one byte), so that replacing each such part by U+FFFD gives the
  // usual number of replacement characters.
  std::size_t length;
  bool valid;
};

// Decodes the sequence at text[at] (at < text.size()). Well-formed means the
// shortest form of a code point up to U+10FFFF that is not a surrogate.
constexpr Decoded decode(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t trail_count = 0;
  char32_t cp = 0;
  // The range of the first trail byte; every later one is 0x80..0xBF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail_count = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail_count = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // shorter forms are overlong
    if (lead == 0xED) high = 0x9F;  // beyond are the surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail_count = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // shorter forms are overlong
    if (lead == 0xF4) high = 0x8F;  // beyond is past U+10FFFF
  } else {
    return {kReplacement, 1, false};
  }
  const std::size_t left = text.size() - at - 1;
  for (std::size_t k = 1; k <= trail_count; ++k) {
    if (k > left) return {kReplacement, k, false};
    const auto trail = static_cast<unsigned char>(text[at + k]);
    if (trail < low || trail > high) return {kReplacement, k, false};
    cp = (cp << 6) | (trail & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {cp, trail_count + 1, true};
}

// Appends the encoding of `cp` (below 0x110000).
inline void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char bytes[] = {static_cast<char>(0xC0 | (cp >> 6)),
                          static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 2);
  } else if (cp < 0x10000) {
    const char bytes[] = {static_cast<char>(0xE0 | (cp >> 12)),
                          static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[] = {
        static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
        static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 4);
  }
}

}  // namespace kelvora::utf8
