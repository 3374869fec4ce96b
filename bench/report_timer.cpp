// The core's side of bench/python_analytics_bench.py: each report computed
// by the core's own call on the same documents, without building Python
// objects.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kelvora/analysis.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/records_document.hpp"
#include "kelvora/state_document.hpp"

using namespace kelvora;
using bench::Clock;

static std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

static ConceptId by_term(const KnowledgeState& state, const std::string& term) {
  for (const auto& [id, entry] : state.concepts) {
    if (entry->status == ConceptStatus::Active && entry->term == term) return id;
  }
  std::exit(2);
}

template <class F>
static long long best_ns(int repeats, F&& run) {
  long long best = -1;
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    run();
    const long long ns = bench::nanoseconds(start, Clock::now());
    if (best < 0 || ns < best) best = ns;
  }
  return best;
}

// argv: state document, history state document, records document, repeats,
// impact term, stability term. Prints "<report> <best ns>" lines.
int main(int argc, char** argv) {
  if (argc != 7) return 2;
  const auto graph = exchange::state_from_json(*exchange::parse_json(slurp(argv[1])));
  const auto history = exchange::state_from_json(*exchange::parse_json(slurp(argv[2])));
  const auto records = exchange::records_from_json(*exchange::parse_json(slurp(argv[3])));
  if (!graph || !history || !records) return 3;
  const int repeats = std::atoi(argv[4]);
  const ConceptId root = by_term(*graph, argv[5]);
  const ConceptId stable = by_term(*history, argv[6]);
  std::size_t keep = 0;
  std::printf("coherence_report %lld\n", best_ns(repeats, [&] {
                keep += analysis::coherence(*history, *records).concept_stability.size();
              }));
  std::printf("concept_stability_report %lld\n", best_ns(repeats, [&] {
                keep += analysis::concept_stability(*records, stable).definition_arc.size();
              }));
  std::printf("epistemic_direction_report %lld\n", best_ns(repeats, [&] {
                keep += analysis::epistemic_direction(*records, 100).trend.size();
              }));
  std::printf("argumentation_status_report %lld\n", best_ns(repeats, [&] {
                keep += analysis::argumentation_status(*graph).attacked.size();
              }));
  std::printf("impact_radius_report %lld\n", best_ns(repeats, [&] {
                keep += analysis::impact_radius(*graph, root).downstream_concepts.size();
              }));
  std::printf("relation_analytics_report %lld\n", best_ns(repeats, [&] {
                keep += analysis::relation_analytics(*graph).clusters.size();
              }));
  std::printf("source_analytics_report %lld\n", best_ns(repeats, [&] {
                keep += analysis::source_analytics(*records).confirmation_latency.size();
              }));
  return keep == 0 ? 4 : 0;
}
