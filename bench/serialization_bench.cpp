// The state hash against the raw SHA-256 of the same bytes.
//
// BM_StateHashFromScratch builds a state of N concepts from plain Concept
// values (handed over in identifier order, as a document reader makes them;
// each Entry writes its canonical member text and is appended to the map) and
// hashes it; in the same iteration it times one SHA-256 pass over the
// finished canonical text, so the ratio counter compares figures of one run.
// BM_StateHashOfBuiltState hashes an already built state afresh (the entry
// texts cached: only the stream into SHA-256 is left), BM_CachedStateHash asks
// an already hashed state again, BM_CanonicalSerialize builds the whole text,
// and BM_SerializeAndHashValues writes and hashes the text straight from the
// values (no entries, no map).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kelvora/canonical.hpp"
#include "kelvora/knowledge_state.hpp"
#include "kelvora/state_hash.hpp"
#include "kelvora/state_text.hpp"
#include "kelvora/types.hpp"

namespace {

using kelvora::Concept;
using kelvora::Entry;
using kelvora::KnowledgeState;
using kelvora::bench::Clock;

constexpr const char* kWords[] = {
    "epistemic", "drift",  "belief",    "revision",  "coherence", "argument",  "premise",
    "inference", "model",  "evidence",  "structure", "semantic",  "network",   "learning",
    "signal",    "causal", "framework", "tension",   "concept",   "knowledge", "graph",
    "entropy",   "prior",  "posterior", "stability", "resonance", "feedback",  "agent"};

std::vector<Concept> concepts_of(std::size_t n) {
  std::mt19937_64 rng(42);
  std::vector<Concept> out;
  out.reserve(n);
  const std::size_t words = std::size(kWords);
  for (std::size_t i = 0; i < n; ++i) {
    Concept c;
    c.id = kelvora::ConceptId::random();
    // Two or three words, capitalised first, plus a number: "Epistemic drift 417".
    std::string term = kWords[rng() % words];
    term[0] = static_cast<char>(term[0] - 'a' + 'A');
    term += ' ';
    term += kWords[rng() % words];
    if (rng() % 2 == 0) {
      term += ' ';
      term += kWords[rng() % words];
    }
    term += ' ' + std::to_string(i);
    c.term = std::move(term);
    std::string definition;
    while (definition.size() < 100) {
      definition += kWords[rng() % words];
      definition += ' ';
    }
    definition.resize(99);
    definition += '.';
    c.definition = std::move(definition);
    // Most concepts keep the confidence 1.0 an Assert gives; some were revised.
    c.confidence = rng() % 10 == 0 ? static_cast<double>(50 + rng() % 50) / 100.0 : 1.0;
    c.created_at = kelvora::Timestamp{1'714'557'600 + static_cast<std::int64_t>(i),
                                      static_cast<std::uint32_t>(rng() % 1'000'000'000)};
    out.push_back(std::move(c));
  }
  return out;
}

// Builds the state the way a bulk reader does: the values arrive in
// identifier order (a document's members are sorted by id, so the reader
// makes them in that order), each is moved into its Entry (which writes the
// member text) and appended to the map.
KnowledgeState build(std::vector<Concept> concepts) {
  KnowledgeState state;
  for (Concept& c : concepts) {
    const kelvora::ConceptId id = c.id;
    state.concepts.emplace_hint(state.concepts.end(), id, Entry<Concept>(std::move(c)));
  }
  return state;
}

// The values of concepts_of, in identifier order.
std::vector<Concept> sorted_concepts_of(std::size_t n) {
  std::vector<Concept> concepts = concepts_of(n);
  std::sort(concepts.begin(), concepts.end(),
            [](const Concept& a, const Concept& b) { return a.id < b.id; });
  return concepts;
}

// `"<id>":`, as the entry texts begin.
void append_key(std::string& out, const kelvora::Uuid& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  char key[39];
  char* p = key;
  *p++ = '"';
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
    *p++ = kHex[id.bytes[i] >> 4];
    *p++ = kHex[id.bytes[i] & 0x0F];
  }
  *p++ = '"';
  *p++ = ':';
  out.append(key, sizeof key);
}

void BM_StateHashFromScratch(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<Concept> concepts = sorted_concepts_of(n);
  const std::string text = kelvora::serialization::canonical_serialize(build(concepts));
  kelvora::bench::RawSha256 raw_sha256;
  double engine_seconds = 0;
  double raw_seconds = 0;
  double hash_only_seconds = 0;
  for (auto _ : state) {
    // The input values are copied outside the timed part: building the state
    // starts from values that the caller hands over.
    state.PauseTiming();
    std::vector<Concept> input = concepts;
    state.ResumeTiming();
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(raw_sha256(text));
    const auto t1 = Clock::now();
    KnowledgeState built = build(std::move(input));
    const auto t2 = Clock::now();
    benchmark::DoNotOptimize(built.state_hash());
    const auto t3 = Clock::now();
    raw_seconds += kelvora::bench::seconds(t0, t1);
    hash_only_seconds += kelvora::bench::seconds(t2, t3);
    const double engine = kelvora::bench::seconds(t1, t3);
    engine_seconds += engine;
    state.SetIterationTime(engine);
    // Freeing the state is not part of either figure.
    state.PauseTiming();
    built = KnowledgeState();
    state.ResumeTiming();
  }
  const auto iters = static_cast<double>(state.iterations());
  state.counters["bytes"] = static_cast<double>(text.size());
  state.counters["raw_sha256_ms"] = raw_seconds * 1e3 / iters;
  state.counters["hash_stream_ms"] = hash_only_seconds * 1e3 / iters;
  state.counters["ratio_to_raw_sha256"] = engine_seconds / raw_seconds;
  state.counters["hash_stream_ratio"] = hash_only_seconds / raw_seconds;
}
BENCHMARK(BM_StateHashFromScratch)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Serialising and hashing alone, from the values: every member text written
// afresh (no Entry, no map), streamed into SHA-256 in 16 KiB pieces; the raw
// SHA-256 of the finished text is timed in the same iterations.
void BM_SerializeAndHashValues(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<Concept> concepts = sorted_concepts_of(n);
  const std::string text = kelvora::serialization::canonical_serialize(build(concepts));
  kelvora::bench::RawSha256 raw_sha256;
  std::string buf;
  buf.reserve(1 << 15);
  double engine_seconds = 0;
  double raw_seconds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const kelvora::Hash raw = raw_sha256(text);
    const auto t1 = Clock::now();
    raw_sha256.begin();
    buf.assign("{\"concepts\":{");
    bool first = true;
    for (const Concept& c : concepts) {
      if (!first) buf.push_back(',');
      first = false;
      append_key(buf, c.id.uuid);
      kelvora::serialization::write_concept(buf, c, true);
      if (buf.size() >= (1 << 14)) {
        raw_sha256.update(buf);
        buf.clear();
      }
    }
    buf.append("},\"relations\":{},\"structure\":{}}");
    raw_sha256.update(buf);
    const kelvora::Hash h = raw_sha256.finish();
    const auto t2 = Clock::now();
    if (h != raw) state.SkipWithError("hash differs from the canonical text's");
    raw_seconds += kelvora::bench::seconds(t0, t1);
    const double engine = kelvora::bench::seconds(t1, t2);
    engine_seconds += engine;
    state.SetIterationTime(engine);
  }
  state.counters["raw_sha256_ms"] = raw_seconds * 1e3 / static_cast<double>(state.iterations());
  state.counters["ratio_to_raw_sha256"] = engine_seconds / raw_seconds;
}
BENCHMARK(BM_SerializeAndHashValues)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_StateHashOfBuiltState(benchmark::State& state) {
  const KnowledgeState built = build(sorted_concepts_of(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(kelvora::serialization::state_hash(built));
}
BENCHMARK(BM_StateHashOfBuiltState)->Arg(1'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

void BM_CachedStateHash(benchmark::State& state) {
  const KnowledgeState built = build(sorted_concepts_of(static_cast<std::size_t>(state.range(0))));
  benchmark::DoNotOptimize(built.state_hash());
  for (auto _ : state) benchmark::DoNotOptimize(built.state_hash());
}
BENCHMARK(BM_CachedStateHash)->Arg(100'000);

void BM_CanonicalSerialize(benchmark::State& state) {
  const KnowledgeState built = build(sorted_concepts_of(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(kelvora::serialization::canonical_serialize(built));
}
BENCHMARK(BM_CanonicalSerialize)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace
