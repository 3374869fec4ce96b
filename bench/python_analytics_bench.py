"""The report methods of PyKnowledgeState, as ratios against baselines
measured in the same run.

  python bench/python_analytics_bench.py [--build DIR] [--smoke]

DIR is the build tree (see bench_build.py).

Fixtures: for the reports over a state, a state document of N concepts and
2N relations (each concept but the first derives from a random earlier one,
the rest join random pairs, one in twenty as Contradicts; every tenth
concept Superseded) and N/10 structure nodes, read with from_json, for
N = 10,000 and 100,000. For the reports over records, a history of H
apply_assert calls followed by H/4 refine, revise, relate and reinforce
calls, for H = 2,000 and 20,000: an apply costs time linear in the number
of concepts, so a history of 100,000 asserts would take a quarter of an
hour to make (the core benchmark analysis_bench covers 100,000 records).

Figures:
  networkx      relation_analytics_report and impact_radius_report (from the
                root of the derivation forest) at N = 100,000, against the
                same answer from networkx: an undirected graph of the Active
                concepts and the relations between two of them, its connected
                components and degree centrality; a directed graph of the
                DerivesFrom relations, the descendants of the root and the
                longest path below it. Building each graph from the list of
                relations is part of the networkx figure.
  growth        each report method at the larger size over the smaller one
                (10 is linear).
  binding       each report method over the core's own call on the same data,
                timed by bench/report_timer.cpp, built in that tree: what
                building the result objects costs.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time
import uuid

from bench_build import find_build

REPORTS = ["coherence_report", "concept_stability_report", "epistemic_direction_report",
           "argumentation_status_report", "impact_radius_report", "relation_analytics_report",
           "source_analytics_report"]


def graph_fixture(n):
    """The state document text, and the parts the networkx side needs."""
    rng = random.Random(n)
    ids = [str(uuid.UUID(int=rng.getrandbits(128), version=4)) for _ in range(n)]
    time_text = "2024-01-01T00:00:00+00:00"
    status = ["Superseded" if k % 10 == 9 else "Active" for k in range(n)]
    concepts = {ids[k]: {"id": ids[k], "term": f"concept {k}", "definition": f"what concept {k} means",
                         "confidence": 1.0, "status": status[k], "created_at": time_text,
                         "source_evidence": []} for k in range(n)}
    relations, edges = {}, []
    others = ["Exemplifies", "Tension", "Subsumes", "Enables", "Supports", "Explains", "Extends"]
    for r in range(2 * n):
        if r < n - 1:
            f, t, kind = r + 1, rng.randrange(r + 1), "DerivesFrom"
        else:
            f, t = rng.randrange(n), rng.randrange(n)
            kind = "Contradicts" if rng.randrange(20) == 0 else rng.choice(others)
        edges.append((ids[f], ids[t], kind))
        rid = str(uuid.UUID(int=rng.getrandbits(128), version=4))
        relations[rid] = {"id": rid, "from_concept": ids[f], "to_concept": ids[t], "relation_type": kind,
                          "evidence": [], "confidence": 1.0}
    structure = {}
    for k in range(n // 10):
        nid = str(uuid.UUID(int=rng.getrandbits(128), version=4))
        structure[nid] = {"id": nid, "title": f"section {k}", "node_type": "section", "parent": None,
                          "position": k, "content_hash": "0" * 64,
                          "concept_refs": [ids[rng.randrange(n)] for _ in range(3)]}
    doc = {"concepts": concepts, "relations": relations, "structure": structure, "state_hash": "0" * 64}
    active = [ids[k] for k in range(n) if status[k] == "Active"]
    return json.dumps(doc), active, edges, ids[0]


def history_fixture(kelvora, n):
    rng = random.Random(n + 1)
    s = kelvora.PyKnowledgeState()
    for k in range(n):
        s = s.apply_assert(f"concept {k}", f"what concept {k} means")
    for k in range(n // 4):
        a, b = f"concept {rng.randrange(n)}", f"concept {rng.randrange(n)}"
        step = k % 4
        if step == 0:
            s = s.apply_refine(a, "a sharper definition")
        elif step == 1 and a != b:
            s = s.apply_revise(a, "a revised definition", [b])
        elif step == 2:
            s = s.apply_relate(a, b, "supports")
        else:
            s = s.apply_reinforce(a)
    return s


def best(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def method_times(graph, hist, root_term, repeats):
    calls = {
        "coherence_report": hist.coherence_report,
        "concept_stability_report": lambda: hist.concept_stability_report("concept 0"),
        "epistemic_direction_report": lambda: hist.epistemic_direction_report(100),
        "argumentation_status_report": graph.argumentation_status_report,
        "impact_radius_report": lambda: graph.impact_radius_report(root_term),
        "relation_analytics_report": graph.relation_analytics_report,
        "source_analytics_report": hist.source_analytics_report,
    }
    return {name: best(call, repeats) for name, call in calls.items()}


def networkx_relations(nx, active, edges):
    """The graph from the same relations: the Active concepts and the
    relations between two of them."""
    g = nx.Graph()
    g.add_nodes_from(active)
    live = g.nodes
    g.add_edges_from((f, t) for f, t, _ in edges if f in live and t in live)
    return list(nx.connected_components(g)), nx.degree_centrality(g)


def networkx_impact(nx, edges, root):
    """The derivation graph from the same relations (a change to B reaches A
    when A derives from B), the descendants of the root and the longest path
    below it."""
    g = nx.DiGraph()
    g.add_edges_from((t, f) for f, t, kind in edges if kind == "DerivesFrom")
    below = nx.descendants(g, root)
    return below, nx.dag_longest_path_length(g.subgraph(below | {root}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="CMake build tree with the module and the core library")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that it runs")
    args = parser.parse_args()

    module_dir, timer = find_build(args.build, "report_timer")
    sys.path.insert(0, module_dir)
    import kelvora

    try:
        import networkx as nx
    except ImportError:
        nx = None
    if args.smoke:
        graph_sizes, history_sizes, repeats = [200, 2000], [50, 500], 1
    else:
        graph_sizes, history_sizes, repeats = [10_000, 100_000], [2_000, 20_000], 5

    with tempfile.TemporaryDirectory() as workdir:
        figures = []
        for n, h in zip(graph_sizes, history_sizes):
            doc, active, edges, root = graph_fixture(n)
            graph = kelvora.PyKnowledgeState.from_json(doc)
            hist = history_fixture(kelvora, h)
            root_term = "concept 0"
            ours = method_times(graph, hist, root_term, repeats)
            paths = [os.path.join(workdir, name) for name in ("graph.json", "history.json", "records.json")]
            for path, text in zip(paths, (doc, hist.state_to_json(), hist.records_to_json())):
                with open(path, "w") as f:
                    f.write(text)
            out = subprocess.run([timer, *paths, str(repeats), root_term, "concept 0"], check=True,
                                 capture_output=True, text=True).stdout
            core = {name: int(ns) / 1e9 for name, ns in (line.split() for line in out.splitlines())}
            figures.append(ours)
            print(f"state of {n} concepts and {len(edges)} relations; history of {hist.record_count()} records")
            for name in REPORTS:
                print(f"  {name:28} {ours[name] * 1e3:9.2f} ms; core call {core[name] * 1e3:9.2f} ms "
                      f"(binding ratio {ours[name] / core[name]:.2f})")
            if nx is None:
                print("  networkx not installed: comparison skipped")
                continue
            nx_rel = best(lambda: networkx_relations(nx, active, edges), max(1, repeats // 2))
            nx_imp = best(lambda: networkx_impact(nx, edges, root), max(1, repeats // 2))
            print(f"  networkx components + degree centrality {nx_rel * 1e3:.1f} ms: "
                  f"relation_analytics_report {nx_rel / ours['relation_analytics_report']:.1f}x faster")
            print(f"  networkx descendants + longest path {nx_imp * 1e3:.1f} ms: "
                  f"impact_radius_report {nx_imp / ours['impact_radius_report']:.1f}x faster")
        small, large = figures
        print(f"growth (linear: 10), states {graph_sizes[0]} to {graph_sizes[1]} concepts, "
              f"histories {history_sizes[0]} to {history_sizes[1]} asserts:")
        for name in REPORTS:
            print(f"  {name:28} {large[name] / small[name]:6.2f}")


if __name__ == "__main__":
    main()
