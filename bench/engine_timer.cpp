// The engine's side of bench/python_bench.py: what a C++ caller pays for the
// applies the Python calls make.
//   engine_timer chain N         N applies, each on the previous result: total ns
//   engine_timer single N REPS   REPS applies on one state of N concepts: median ns
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kelvora/knowledge_state.hpp"
#include "kelvora/types.hpp"

using namespace kelvora;
using bench::Clock;

static long long since(Clock::time_point start) { return bench::nanoseconds(start, Clock::now()); }

// What a C++ caller of the engine does for one apply_assert: make the
// concept, apply it chained to the last record, keep the new state (the old
// one is released) and the record.
static void step(KnowledgeState& state, std::vector<EvolutionRecord>& records,
                 const std::string& term) {
  ApplyContext context;
  if (!records.empty()) context.prev_chain_hash = records.back().chain_hash;
  auto result = KnowledgeState::apply(state, op::Assert{Concept::create(term, "d")}, context);
  if (!result) {
    std::fprintf(stderr, "%s\n", result.error().message().c_str());
    std::exit(1);
  }
  state = std::move(result->state);
  records.push_back(std::move(result->record));
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  const long n = std::atol(argv[2]);
  KnowledgeState state;
  std::vector<EvolutionRecord> records;
  std::vector<std::string> terms;
  for (long i = 0; i < n; ++i) terms.push_back("t" + std::to_string(i));
  if (mode == "chain") {
    // n applies, each on the previous result: total nanoseconds.
    const auto start = Clock::now();
    for (const auto& term : terms) step(state, records, term);
    std::printf("%lld\n", since(start));
    return 0;
  }
  // "single": a state of n concepts, then `reps` applies on that same state,
  // each result released at once: the median nanoseconds of one.
  if (argc < 4) return 2;
  const long reps = std::atol(argv[3]);
  for (const auto& term : terms) step(state, records, term);
  std::vector<long long> times;
  for (long r = 0; r < reps; ++r) {
    const auto start = Clock::now();
    {
      ApplyContext context;
      context.prev_chain_hash = records.back().chain_hash;
      auto result =
          KnowledgeState::apply(state, op::Assert{Concept::create("fresh term", "d")}, context);
      if (!result) std::exit(1);
    }
    times.push_back(since(start));
  }
  std::sort(times.begin(), times.end());
  std::printf("%lld\n", times[times.size() / 2]);
  return 0;
}
