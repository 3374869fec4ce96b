// The state document of N concepts: reading it from text (parse_json, then
// state_from_json with its integrity check, entry texts and state hash; or
// the text reader that from_json tries first) and
// writing it (state_to_json_text, straight into the text). Each iteration
// also times the JSON library's own parse or indented dump of the same text
// or tree, so the ratio counters compare figures of one run.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>

#include "bench_support.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/state_document.hpp"
#include "kelvora/state_text_reader.hpp"

namespace {

using kelvora::Concept;
using kelvora::Entry;
using kelvora::KnowledgeState;
using kelvora::bench::Clock;
namespace exchange = kelvora::exchange;

constexpr const char* kWords[] = {"epistemic", "drift",     "belief",  "revision", "coherence",
                                  "argument",  "premise",   "model",   "evidence", "structure",
                                  "semantic",  "network",   "signal",  "causal",   "framework",
                                  "tension",   "knowledge", "entropy", "prior",    "stability"};

KnowledgeState state_of(std::size_t n) {
  std::mt19937_64 rng(7);
  const std::size_t words = std::size(kWords);
  KnowledgeState state;
  for (std::size_t i = 0; i < n; ++i) {
    Concept c = Concept::create(
        std::string(kWords[rng() % words]) + ' ' + kWords[rng() % words] + ' ' + std::to_string(i),
        "");
    while (c.definition.size() < 100) c.definition += std::string(kWords[rng() % words]) + ' ';
    c.confidence = static_cast<double>(rng() % 1000) / 1000.0;
    c.source_evidence = {{static_cast<std::uint32_t>(i % 50), "an excerpt of the turn"}};
    state.concepts.insert_or_assign(c.id, Entry<Concept>(std::move(c)));
  }
  return state;
}

double seconds_since(Clock::time_point start) {
  return kelvora::bench::seconds(start, Clock::now());
}

// Times `read` of the document text against the library's own parse of it.
template <class Read>
void read_against_library(benchmark::State& bench, Read read) {
  const std::string text = exchange::state_to_json_text(state_of(bench.range(0)));
  double ours = 0;
  double library = 0;
  for (auto _ : bench) {
    auto start = Clock::now();
    read(bench, text);
    const double elapsed = seconds_since(start);
    bench.SetIterationTime(elapsed);
    ours += elapsed;

    start = Clock::now();
    auto baseline = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(baseline);
    library += seconds_since(start);
  }
  bench.SetBytesProcessed(static_cast<std::int64_t>(bench.iterations() * text.size()));
  bench.counters["x_library_parse"] = ours / library;
}

void BM_ParseAndReadState(benchmark::State& bench) {
  read_against_library(bench, [](benchmark::State&, const std::string& text) {
    auto tree = exchange::parse_json(text);
    auto state = exchange::state_from_json(*tree);
    benchmark::DoNotOptimize(state);
  });
}
BENCHMARK(BM_ParseAndReadState)->Arg(10'000)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same document read straight from its text, as from_json reads a
// document in the writers' shape.
void BM_ReadStateText(benchmark::State& bench) {
  read_against_library(bench, [](benchmark::State& b, const std::string& text) {
    auto state = exchange::try_read_state_text(text);
    if (!state) b.SkipWithError("the text reader gave up on a written document");
    benchmark::DoNotOptimize(state);
  });
}
BENCHMARK(BM_ReadStateText)->Arg(10'000)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_WriteState(benchmark::State& bench) {
  const KnowledgeState state = state_of(bench.range(0));
  (void)state.state_hash();  // as for a state that was hashed when it was made
  double ours = 0;
  double library = 0;
  std::size_t bytes = 0;
  const auto tree = exchange::parse_json(exchange::state_to_json_text(state));
  for (auto _ : bench) {
    auto start = Clock::now();
    const std::string text = exchange::state_to_json_text(state);
    benchmark::DoNotOptimize(text.data());
    const double elapsed = seconds_since(start);
    bench.SetIterationTime(elapsed);
    ours += elapsed;
    bytes = text.size();

    start = Clock::now();
    const std::string baseline = tree->dump(2);
    benchmark::DoNotOptimize(baseline.data());
    library += seconds_since(start);
  }
  bench.SetBytesProcessed(static_cast<std::int64_t>(bench.iterations() * bytes));
  bench.counters["x_library_dump"] = ours / library;
}
BENCHMARK(BM_WriteState)->Arg(10'000)->UseManualTime()->Unit(benchmark::kMillisecond);

// The parts: text to tree, tree to state, and the printer alone.
void BM_ParseText(benchmark::State& bench) {
  const std::string text = exchange::state_to_json_text(state_of(bench.range(0)));
  for (auto _ : bench) benchmark::DoNotOptimize(exchange::parse_json(text));
  bench.SetBytesProcessed(static_cast<std::int64_t>(bench.iterations() * text.size()));
}
BENCHMARK(BM_ParseText)->Arg(10'000)->Unit(benchmark::kMillisecond);

void BM_ReadTree(benchmark::State& bench) {
  const auto tree = exchange::parse_json(exchange::state_to_json_text(state_of(bench.range(0))));
  for (auto _ : bench) benchmark::DoNotOptimize(exchange::state_from_json(*tree));
}
BENCHMARK(BM_ReadTree)->Arg(10'000)->Unit(benchmark::kMillisecond);

void BM_PrintTree(benchmark::State& bench) {
  const auto tree = exchange::parse_json(exchange::state_to_json_text(state_of(bench.range(0))));
  for (auto _ : bench) benchmark::DoNotOptimize(exchange::to_pretty_text(*tree));
}
BENCHMARK(BM_PrintTree)->Arg(10'000)->Unit(benchmark::kMillisecond);

}  // namespace
