// Shared pieces of the benchmarks (the C++ ones and the timers the Python
// ones compile): the raw SHA-256 baseline every ratio is measured against,
// and the clock.
#pragma once

#include <openssl/evp.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kelvora/types.hpp"

namespace kelvora::bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

inline long long nanoseconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

// One-pass SHA-256 over contiguous bytes, with the algorithm fetched and the
// context made once, so a timed call does only the digest work.
class RawSha256 {
 public:
  RawSha256() : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)), ctx_(EVP_MD_CTX_new()) {}
  ~RawSha256() {
    EVP_MD_CTX_free(ctx_);
    EVP_MD_free(md_);
  }
  RawSha256(const RawSha256&) = delete;
  RawSha256& operator=(const RawSha256&) = delete;

  Hash operator()(std::string_view bytes) {
    begin();
    update(bytes);
    return finish();
  }
  // The same digest fed in pieces.
  void begin() { EVP_DigestInit_ex2(ctx_, md_, nullptr); }
  void update(std::string_view bytes) { EVP_DigestUpdate(ctx_, bytes.data(), bytes.size()); }
  Hash finish() {
    Hash h;
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_, h.bytes.data(), &len);
    return h;
  }

 private:
  EVP_MD* md_;
  EVP_MD_CTX* ctx_;
};

// A version-4 identifier drawn from a seeded generator, so that a fixture is
// the same in every run.
template <class Rng>
Uuid seeded_uuid(Rng& rng) {
  Uuid u;
  for (std::size_t half = 0; half < 2; ++half) {
    const std::uint64_t bits = rng();
    for (std::size_t b = 0; b < 8; ++b)
      u.bytes[half * 8 + b] = static_cast<std::uint8_t>(bits >> (8 * b));
  }
  u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0f) | 0x40);
  u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3f) | 0x80);
  return u;
}

}  // namespace kelvora::bench
