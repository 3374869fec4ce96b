"""Costs of PyProvenanceGraph, as ratios against baselines measured in the
same run.

  python bench/python_provenance_bench.py [--build DIR] [--smoke]

DIR is a CMake build tree configured with -DKELVORA_BUILD_PYTHON=ON (the
default is the first build*/ directory holding the module).

Figures:
  growth        from_state and to_prov_json on a history of N and of 10 N
                records (ratio of the two; linear growth gives 10)
  to_prov_json  on the graph of N records, against building the same
                document with the prov package and serialising it to PROV-JSON,
                and against orjson.dumps (indented, sorted keys) of the same
                document already held as Python objects
  lineage       of the last state of 10 N records (the walk through every
                state), against one pass of a Python loop over a list of
                10 N * 6 tuples (roughly the relation count)

Each figure is the smallest of --rounds runs.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from python_bench import find_build  # noqa: E402  (the module benchmark's build lookup)

# Writes the records document of a mixed history of argv[1] records, the
# engine's apply keeping the concept ids: per ten records six asserts, then a
# relate, a refine, a reinforce and a revise of recent concepts (the shape of
# the documents benchmark's history, made without the term lookups).
HISTORY_WRITER = r"""
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kelvora/knowledge_state.hpp"
#include "kelvora/records_document.hpp"

using namespace kelvora;

int main(int, char** argv) {
  const long n = std::atol(argv[1]);
  KnowledgeState state;
  std::vector<EvolutionRecord> records;
  std::vector<ConceptId> ids;
  for (long i = 0; i < n; ++i) {
    const std::size_t k = i % 10, m = ids.size();
    EvolutionOperation op;
    if (k < 6 || m < 6) {
      Concept c = Concept::create("concept " + std::to_string(m), "definition of concept " + std::to_string(m));
      ids.push_back(c.id);
      op = op::Assert{std::move(c)};
    } else if (k == 6) {
      op = op::Relate{Relation{RelationId::random(), ids[m - 1], ids[m - 2], RelationType::Supports, {}, 1.0, {}, {}}};
    } else if (k == 7) {
      op = op::Refine{ids[m - 3], "a finer definition of concept " + std::to_string(m - 3), {}};
    } else if (k == 8) {
      op = op::Reinforce{ids[m - 4], {}};
    } else {
      op = op::Revise{ids[m - 5], "revised", {ids[m - 6]}, {}};
    }
    ApplyContext context;
    if (!records.empty()) context.prev_chain_hash = records.back().chain_hash;
    auto r = KnowledgeState::apply(state, op, context);
    if (!r) { std::fprintf(stderr, "%s\n", r.error().message().c_str()); return 1; }
    state = std::move(r->state);
    records.push_back(std::move(r->record));
  }
  std::fputs(exchange::records_to_json_text(records).c_str(), stdout);
}
"""


def history(kelvora, lib, workdir, length):
    binary = os.path.join(workdir, "history_writer")
    if not os.path.exists(binary):
        source = binary + ".cpp"
        with open(source, "w") as f:
            f.write(HISTORY_WRITER)
        subprocess.run(
            [os.environ.get("CXX", "c++"), "-std=c++23", "-O2", "-DNDEBUG",
             "-I", os.path.join(ROOT, "core", "include"), source, lib,
             "-lcrypto", "-licui18n", "-licuuc", "-licudata", "-o", binary],
            check=True,
        )  # fmt: skip
    text = subprocess.run([binary, str(length)], check=True, capture_output=True, text=True).stdout
    return kelvora.PyKnowledgeState.from_records_json(text)


def best(rounds, fn):
    times = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        result = fn()
        times.append(time.perf_counter_ns() - start)
    return min(times), result


def prov_document(document):
    """The PROV-JSON document rebuilt with the prov package's own API."""
    from prov.model import ProvDocument

    doc = ProvDocument()
    for prefix, uri in document["prefix"].items():
        if prefix not in ("prov", "xsd"):
            doc.add_namespace(prefix, uri)
    for key, attrs in document["entity"].items():
        doc.entity(key, attrs)
    for key, attrs in document["activity"].items():
        rest = {k: v for k, v in attrs.items() if not k.endswith("edAtTime")}
        doc.activity(key, attrs["prov:startedAtTime"], attrs["prov:endedAtTime"], rest)
    for key, attrs in document["agent"].items():
        doc.agent(key, attrs)
    for key, r in document["wasGeneratedBy"].items():
        doc.wasGeneratedBy(r["prov:entity"], r["prov:activity"], identifier=key)
    for key, r in document["used"].items():
        doc.used(r["prov:activity"], r["prov:entity"], identifier=key)
    for key, r in document["wasDerivedFrom"].items():
        doc.wasDerivedFrom(r["prov:generatedEntity"], r["prov:usedEntity"], identifier=key)
    for key, r in document["wasAssociatedWith"].items():
        doc.wasAssociatedWith(r["prov:activity"], r["prov:agent"], identifier=key)
    for key, r in document["wasInvalidatedBy"].items():
        doc.wasInvalidatedBy(r["prov:entity"], r["prov:activity"], identifier=key)
    for key, r in document["wasAttributedTo"].items():
        doc.wasAttributedTo(r["prov:entity"], r["prov:agent"], identifier=key)
    return doc.serialize(format="json")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="CMake build tree with the module")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that it runs")
    parser.add_argument("--rounds", type=int, default=5, help="repetitions of each measurement")
    parser.add_argument("--records", type=int, default=10_000, help="N, the smaller history")
    args = parser.parse_args()

    lib, module_dir = find_build(args.build)
    sys.path.insert(0, module_dir)
    import kelvora
    import orjson

    G = kelvora.PyProvenanceGraph
    n, rounds = (50, 1) if args.smoke else (args.records, args.rounds)
    with tempfile.TemporaryDirectory() as workdir:
        small, large = (history(kelvora, lib, workdir, size) for size in (n, 10 * n))

    for name, fn in [("from_state", G.from_state), ("to_prov_json", None)]:
        costs = []
        for state in (small, large):
            if fn is None:
                graph = G.from_state(state)
                cost, _ = best(rounds, graph.to_prov_json)
            else:
                cost, _ = best(rounds, lambda state=state: fn(state))
            costs.append(cost)
        print(f"{name}: {n} records {costs[0] / 1e6:.1f} ms, {10 * n} records {costs[1] / 1e6:.1f} ms "
              f"(ratio {costs[1] / costs[0]:.2f})")

    graph = G.from_state(small)
    ours, text = best(rounds, graph.to_prov_json)
    document = json.loads(text)
    option = orjson.OPT_INDENT_2 | orjson.OPT_SORT_KEYS
    base, _ = best(rounds, lambda: orjson.dumps(document, option=option))
    print(f"to_prov_json of {n} records ({len(text) / 1e6:.1f} MB): {ours / 1e6:.1f} ms; "
          f"orjson.dumps {base / 1e6:.1f} ms (ratio {ours / base:.2f})")
    peer, _ = best(1, lambda: prov_document(document))
    print(f"to_prov_json of {n} records: prov package build and serialise {peer / 1e6:.1f} ms "
          f"({peer / ours:.0f}x ours)")

    graph = G.from_state(large)
    state_id = "qel:state:" + large.state_hash()[:16]
    ours, found = best(rounds, lambda: graph.lineage(state_id))
    assert len(found) == large.record_count()
    relations = [(i, "x", "y") for i in range(graph.relation_count())]
    base, _ = best(rounds, lambda: sum(1 for r in relations if r[1] == state_id))
    print(f"lineage of the last state of {10 * n} records: {ours / 1e6:.2f} ms; one Python pass "
          f"over {len(relations)} relation tuples {base / 1e6:.2f} ms (ratio {ours / base:.2f})")


if __name__ == "__main__":
    main()
