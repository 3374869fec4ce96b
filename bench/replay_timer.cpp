// The unavoidable part of bench/python_documents_bench.py's load: parsing a
// records document and the engine's apply of every record's operation.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "bench_support.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/knowledge_state.hpp"
#include "kelvora/records_document.hpp"

namespace ks = kelvora;
using ks::bench::Clock;

int fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

// Prints "parse_ns apply_ns" for the records document in argv[1].
int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

  const auto parse_start = Clock::now();
  auto tree = ks::exchange::parse_json(text);
  const long long parse = ks::bench::nanoseconds(parse_start, Clock::now());
  if (!tree) return fail(tree.error());
  auto records = ks::exchange::records_from_json(*tree);
  if (!records) return fail(records.error().message());
  tree->clear();

  ks::KnowledgeState state;
  ks::Hash prev;
  long long apply = 0;
  for (const auto& record : *records) {
    const auto start = Clock::now();
    auto applied = ks::KnowledgeState::apply(
        state, record.operation, ks::ApplyContext{prev, record.timestamp, record.source});
    if (!applied) return fail(applied.error().message());
    state = std::move(applied->state);
    apply += ks::bench::nanoseconds(start, Clock::now());
    prev = record.chain_hash;
  }
  std::printf("%lld %lld\n", parse, apply);
  return 0;
}
