// The fixture of bench/python_provenance_bench.py: writes the records
// document of a history of argv[1] records to standard output. Per ten
// records: three asserts, a relate, a refine, a reinforce, a revise, and three
// retracts of the oldest live concepts once more than 200 are live. The graph
// reads only the records, but the history must be made and loaded by the
// engine, whose every step hashes the whole state: a state kept small keeps
// that linear (a history that only grows takes minutes to load at 100,000).
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "kelvora/knowledge_state.hpp"
#include "kelvora/records_document.hpp"

using namespace kelvora;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const long n = std::atol(argv[1]);
  KnowledgeState state;
  std::vector<EvolutionRecord> records;
  std::deque<ConceptId> live;
  long made = 0;
  for (long i = 0; i < n; ++i) {
    const long k = i % 10;
    const std::size_t m = live.size();
    EvolutionOperation op;
    if (k < 3 || m < 6 || (k >= 7 && m <= 200)) {
      const std::string name = std::to_string(made++);
      Concept c = Concept::create("concept " + name, "definition of concept " + name);
      live.push_back(c.id);
      op = op::Assert{std::move(c)};
    } else if (k == 3) {
      op = op::Relate{Relation{
          RelationId::random(), live[m - 1], live[m - 2], RelationType::Supports, {}, 1.0, {}, {}}};
    } else if (k == 4) {
      op = op::Refine{live[m - 3], "a finer definition " + std::to_string(i), {}};
    } else if (k == 5) {
      op = op::Reinforce{live[m - 4], {}};
    } else if (k == 6) {
      op = op::Revise{live[m - 5], "revised " + std::to_string(i), {live[m - 6]}, {}};
    } else {
      op = op::Retract{live.front(), RetractionReason::UserExplicit};
      live.pop_front();
    }
    ApplyContext context;
    if (!records.empty()) context.prev_chain_hash = records.back().chain_hash;
    auto r = KnowledgeState::apply(state, op, context);
    if (!r) {
      std::fprintf(stderr, "%s\n", r.error().message().c_str());
      return 1;
    }
    state = std::move(r->state);
    records.push_back(std::move(r->record));
  }
  std::fputs(exchange::records_to_json_text(records).c_str(), stdout);
}
