// Hashing of identifiers for working sets (hash maps and sets that never
// decide an output order). Identifiers can come from documents a caller
// wrote, so the hash mixes all 16 bytes with a per-process random seed:
// crafted identifiers cannot be made to collide in a predictable way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kelvora/types.hpp"

namespace kelvora {

// Drawn once per process from the OS's random source.
std::uint64_t id_hash_seed();

struct IdHash {
  static std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
  }
  std::size_t operator()(const Uuid& u) const {
    static const std::uint64_t seed = id_hash_seed();
    std::uint64_t lo = 0, hi = 0;
    std::memcpy(&lo, u.bytes.data(), 8);
    std::memcpy(&hi, u.bytes.data() + 8, 8);
    return static_cast<std::size_t>(mix(mix(lo ^ seed) ^ hi));
  }
  template <class Tag>
  std::size_t operator()(const Id<Tag>& id) const {
    return (*this)(id.uuid);
  }
};

}  // namespace kelvora
