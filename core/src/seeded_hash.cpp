#include "kelvora/seeded_hash.hpp"

#include <openssl/rand.h>

namespace kelvora {

std::uint64_t hash_seed() {
  std::uint64_t seed = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&seed), sizeof seed) != 1) {
    internal_fault("random source failed");
  }
  return seed;
}

}  // namespace kelvora
