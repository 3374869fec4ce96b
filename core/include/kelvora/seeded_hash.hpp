// Hashing for working sets (hash maps and sets that never decide an output
// order). Identifiers and texts can come from documents or calls a caller
// wrote, so every such hash mixes in a per-process random seed: crafted
// input cannot be made to pile up in one slot of a table. A table keyed by
// caller text hashes it with TextHash (as FirstPositions and the provenance
// identifier table do), never with a fixed, public function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "kelvora/types.hpp"

namespace kelvora {

// Drawn once per process from the OS's random source.
std::uint64_t hash_seed();

// A bijection of 64-bit words that spreads every input bit over the output.
inline std::uint64_t mix_bits(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

struct IdHash {
  std::size_t operator()(const Uuid& u) const {
    static const std::uint64_t seed = hash_seed();
    std::uint64_t lo = 0, hi = 0;
    std::memcpy(&lo, u.bytes.data(), 8);
    std::memcpy(&hi, u.bytes.data() + 8, 8);
    return static_cast<std::size_t>(mix_bits(mix_bits(lo ^ seed) ^ hi));
  }
  template <class Tag>
  std::size_t operator()(const Id<Tag>& id) const {
    return (*this)(id.uuid);
  }
};

// The seeded hash of a text: its length, then each 8-byte word in turn (the
// last one padded with zero bytes), folded through mix_bits.
inline std::uint64_t text_hash(std::string_view text) {
  static const std::uint64_t seed = hash_seed();
  std::uint64_t h = mix_bits(seed ^ text.size());
  std::size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + at, 8);
    h = mix_bits(h ^ word);
  }
  std::uint64_t tail = 0;
  if (at < text.size()) std::memcpy(&tail, text.data() + at, text.size() - at);
  return mix_bits(h ^ tail);
}

struct TextHash {
  std::size_t operator()(std::string_view text) const {
    return static_cast<std::size_t>(text_hash(text));
  }
};

}  // namespace kelvora
