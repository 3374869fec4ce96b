"""Costs of PyProvenanceGraph, as ratios against baselines measured in the
same run.

  python bench/python_provenance_bench.py [--build DIR] [--smoke]

DIR is the build tree (see bench_build.py).

Figures, each printed as soon as it is measured:
  growth        from_state and to_prov_json on histories of N and of 10 N
                records, the two sizes measured in turn (linear growth gives
                10); orjson.dumps of the two documents beside them shows what
                writing that many bytes costs on this machine
  to_prov_json  on the graph of N records, against orjson.dumps (indented,
                sorted keys; it returns bytes, to_prov_json a str) of the same
                document already held as Python objects, and against building
                that document with the prov package and serialising it to
                PROV-JSON (timed once: it takes seconds)
  queries       on the graph of 10 N records: derived_from, generated_from and
                agents_for_activity, whose answers have one or two entries, at
                both sizes; lineage of the last state (the walk through every
                state) against one Python pass over a list of as many tuples
                as the graph has relations

Each figure is the smallest of --rounds runs; the result of a run is freed
before the next one starts, outside the timing.
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from bench_build import find_build  # noqa: E402

def history(kelvora, writer, length):
    """A history of `length` records, written by bench/history_writer.cpp."""
    text = subprocess.run([writer, str(length)], check=True, capture_output=True, text=True).stdout
    return kelvora.PyKnowledgeState.from_records_json(text)


def best(rounds, fn):
    cost, result = None, None
    for _ in range(rounds):
        result = None
        gc.collect()
        start = time.perf_counter_ns()
        result = fn()
        elapsed = time.perf_counter_ns() - start
        cost = elapsed if cost is None else min(cost, elapsed)
    return cost, result


def best_in_turn(rounds, fns):
    """The smallest cost of each function, the functions run in turn each round."""
    costs = [None] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            cost, _ = best(1, fn)
            costs[i] = cost if costs[i] is None else min(costs[i], cost)
    return costs


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


def ms(ns):
    return f"{ns / 1e6:.1f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="CMake build tree with the module")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that it runs")
    parser.add_argument("--rounds", type=int, default=7, help="repetitions of each measurement")
    parser.add_argument("--records", type=int, default=10_000, help="N, the smaller history")
    args = parser.parse_args()

    module_dir, writer = find_build(args.build, "history_writer")
    sys.path.insert(0, module_dir)
    import kelvora
    import orjson

    G = kelvora.PyProvenanceGraph
    n, rounds = (50, 1) if args.smoke else (args.records, args.rounds)
    say = lambda *text: print(*text, flush=True)  # noqa: E731
    started = time.perf_counter()
    small, large = (history(kelvora, writer, size) for size in (n, 10 * n))
    say(f"histories of {n} and {10 * n} records made and loaded in {time.perf_counter() - started:.0f} s")

    costs = best_in_turn(rounds, [lambda: G.from_state(small), lambda: G.from_state(large)])
    say(f"from_state: {n} records {ms(costs[0])}, {10 * n} records {ms(costs[1])} (ratio {costs[1] / costs[0]:.2f})")

    graphs = G.from_state(small), G.from_state(large)
    texts = [g.to_prov_json() for g in graphs]
    documents = [json.loads(text) for text in texts]
    option = orjson.OPT_INDENT_2 | orjson.OPT_SORT_KEYS
    assert all(orjson.dumps(d, option=option).decode() == t for d, t in zip(documents, texts))
    texts = None
    costs = best_in_turn(rounds, [g.to_prov_json for g in graphs])
    say(f"to_prov_json: {n} records {ms(costs[0])}, {10 * n} records {ms(costs[1])} (ratio {costs[1] / costs[0]:.2f})")
    base = best_in_turn(rounds, [lambda d=d: orjson.dumps(d, option=option) for d in documents])
    say(f"  orjson.dumps of the same documents: {ms(base[0])}, {ms(base[1])} (ratio {base[1] / base[0]:.2f})")
    documents.pop()

    ours, base, decoded = best_in_turn(
        rounds,
        [graphs[0].to_prov_json,
         lambda: orjson.dumps(documents[0], option=option),
         lambda: orjson.dumps(documents[0], option=option).decode()],
    )  # fmt: skip
    size = len(graphs[0].to_prov_json())
    say(f"to_prov_json of {n} records ({size / 1e6:.1f} MB, a str): {ms(ours)}; orjson.dumps {ms(base)} "
        f"(bytes; ratio {ours / base:.2f}); orjson.dumps and decode {ms(decoded)} (str; ratio {ours / decoded:.2f})")
    peer, _ = best(1, lambda: prov_document(documents[0]))
    say(f"to_prov_json of {n} records: the prov package builds and serialises it in {ms(peer)} "
        f"({peer / ours:.0f}x ours, one run)")

    last = [f"qel:state:{s.state_hash()[:16]}" for s in (small, large)]
    concept = [next(e for e in g.entity_ids() if e.endswith(":v2")) for g in graphs]
    activity = [max(g.activity_ids(), key=lambda a: int(a.split(":")[2])) for g in graphs]
    for name, query, ids in [("derived_from", G.derived_from, last), ("generated_from", G.generated_from,
                             [c[:-1] + "1" for c in concept]), ("agents_for_activity", G.agents_for_activity, activity)]:  # fmt: skip
        costs = best_in_turn(rounds, [lambda g=g, x=x: [query(g, x) for _ in range(1000)] for g, x in zip(graphs, ids)])
        say(f"{name}: {costs[0] / 1e6:.2f} us at {n} records, {costs[1] / 1e6:.2f} us at {10 * n} records "
            f"({len(query(graphs[1], ids[1]))} found)")

    ours, found = best(rounds, lambda: graphs[1].lineage(last[1]))
    assert len(found) == large.record_count()
    relations = [(i, "x", "y") for i in range(graphs[1].relation_count())]
    base, _ = best(rounds, lambda: sum(1 for r in relations if r[1] == last[1]))
    say(f"lineage of the last state of {10 * n} records: {ms(ours)}; one Python pass over "
        f"{len(relations)} relation tuples {ms(base)} (ratio {ours / base:.2f})")


if __name__ == "__main__":
    main()
