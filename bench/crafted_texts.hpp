// Texts crafted to share one value of the GNU C++ library's string
// hash, whose function and seed are fixed and public: a table keyed by
// caller text on that hash piles every one of them into one probe run or
// bucket. Each text is 16 bytes of printable ASCII without upper case or
// spaces, so it is valid UTF-8 and already in the term normal form. Used by
// the tests (the tables must spread them) and by the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kelvora::crafted {

// The standard library's string hash reads a 16-byte text as two words,
// folding each into a state with this multiplier; the state after the last
// word decides the hash.
inline constexpr std::uint64_t kMul = 0xc6a4a7935bd1e995ULL;
inline constexpr std::uint64_t kSeed = 0xc70f6907ULL;
inline constexpr std::size_t kLength = 16;

inline std::uint64_t shift_mix(std::uint64_t v) { return v ^ (v >> 47); }

inline std::uint64_t inverse(std::uint64_t odd) {
  std::uint64_t x = odd;  // correct to 3 bits; each step doubles them
  for (int i = 0; i < 5; ++i) x *= 2 - odd * x;
  return x;
}

inline std::uint64_t fold(std::uint64_t state, std::uint64_t word) {
  return (state ^ (shift_mix(word * kMul) * kMul)) * kMul;
}

// The word whose fold takes `state` to `target`.
inline std::uint64_t word_between(std::uint64_t state, std::uint64_t target) {
  static const std::uint64_t inv = inverse(kMul);
  return shift_mix(((target * inv) ^ state) * inv) * inv;
}

// '!' to '~' without 'A' to 'Z'.
inline bool allowed(unsigned char c) { return c >= '!' && c <= '~' && !(c >= 'A' && c <= 'Z'); }

// Whether all eight bytes are allowed, tested on the word at once: nearly
// every second word tried is refused, and a test per byte would mispredict.
inline bool allowed_word(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  if (word & kHigh) return false;
  // The high bit of each byte that is at least `n` (1 <= n <= 128): the sum
  // stays within each byte, so no carry crosses into the next.
  auto at_least = [word](std::uint64_t n) { return (word + kOnes * (0x80 - n)) & kHigh; };
  const std::uint64_t upper = at_least('A') & ~at_least('Z' + 1);
  return (at_least('!') & ~at_least(0x7F) & ~upper) == kHigh;
}

// A word of allowed bytes drawn from `random`.
inline std::uint64_t allowed_word_from(std::uint64_t random) {
  static constexpr char kAlphabet[] =
      "!\"#$%&'()*+,-./0123456789:;<=>?@[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~";
  constexpr std::uint64_t kSize = sizeof kAlphabet - 1;
  std::uint64_t word = 0;
  for (int i = 0; i < 8; ++i) {
    word |= static_cast<std::uint64_t>(static_cast<unsigned char>(kAlphabet[random % kSize]))
            << (8 * i);
    random /= kSize;
  }
  return word;
}

inline std::uint64_t next_random(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

inline std::string text_of(std::uint64_t first, std::uint64_t second) {
  std::string text(kLength, '\0');
  std::memcpy(text.data(), &first, 8);
  std::memcpy(text.data() + 8, &second, 8);
  return text;
}

// `count` distinct texts with one value of the standard library's hash
// (the same for every `seed`): the first words run through the allowed
// ones, the last byte fastest, and for each the second word is the one that
// leads to the common state, kept when its bytes are allowed (about one
// first word in 40,000).
inline std::vector<std::string> colliding_texts(std::size_t count, std::uint64_t seed = 1) {
  const std::uint64_t start = kSeed ^ (kLength * kMul);
  const std::uint64_t target = fold(fold(start, allowed_word_from(0)), allowed_word_from(1));
  std::vector<std::string> texts;
  texts.reserve(count);
  std::uint64_t random = seed;
  while (texts.size() < count) {
    // Seven bytes drawn, then every allowed last byte in turn.
    const std::uint64_t high = allowed_word_from(next_random(random)) & 0x00FFFFFFFFFFFFFFULL;
    for (unsigned c = '!'; c <= '~' && texts.size() < count; ++c) {
      if (!allowed(static_cast<unsigned char>(c))) continue;
      const std::uint64_t first = high | (static_cast<std::uint64_t>(c) << 56);
      const std::uint64_t second = word_between(fold(start, first), target);
      if (allowed_word(second)) texts.push_back(text_of(first, second));
    }
  }
  return texts;
}

// `count` texts of the same length and bytes, drawn at random.
inline std::vector<std::string> ordinary_texts(std::size_t count, std::uint64_t seed = 1) {
  std::vector<std::string> texts;
  texts.reserve(count);
  std::uint64_t random = seed ^ 0x5555555555555555ULL;
  while (texts.size() < count) {
    const std::uint64_t first = allowed_word_from(next_random(random));
    texts.push_back(text_of(first, allowed_word_from(next_random(random))));
  }
  return texts;
}

}  // namespace kelvora::crafted
