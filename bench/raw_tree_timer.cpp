// The baseline of bench/python_history_bench.py: the raw SHA-256 work of a
// Merkle tree over a history.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "bench_support.hpp"

// The digests of a tree over n leaves, best of a few rounds: nanoseconds.
int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::size_t leaves = std::strtoull(argv[1], nullptr, 10);
  const std::size_t inner = std::bit_ceil(std::max<std::size_t>(leaves, 2)) - 1;
  kelvora::bench::RawSha256 sha256;
  std::array<char, 65> input{};
  long long best = -1;
  for (int round = 0; round < 5; ++round) {
    const auto start = kelvora::bench::Clock::now();
    for (std::size_t i = 0; i < leaves + inner; ++i) {
      input[1] = static_cast<char>(i);
      const kelvora::Hash out = sha256(std::string_view(input.data(), i < leaves ? 33 : 65));
      input[2] = static_cast<char>(input[2] ^ out.bytes[0]);
    }
    const long long ns = kelvora::bench::nanoseconds(start, kelvora::bench::Clock::now());
    if (best < 0 || ns < best) best = ns;
  }
  std::printf("%lld %d\n", best, input[2]);
  return 0;
}
