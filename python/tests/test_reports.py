"""The seven report methods: dict shapes, concept names, arguments, and the
relation and impact reports against a plain model of the same graph."""

import collections
import json
import os
import random
import subprocess
import sys
import uuid

import pytest

import kelvora

K = kelvora.PyKnowledgeState
HISTORY = os.path.join(os.path.dirname(__file__), "data", "scripted_history.json")
SOURCES = ["UserExplicit", "UserImplicit", "SystemEnrichment", "SystemRestructure"]
TYPES = ["DerivesFrom", "Contradicts", "Supports", "Independent"]  # in declared order


def history(count=None):
    with open(HISTORY) as f:
        records = json.load(f)
    return K.from_records_json(json.dumps(records[:count]))


def build(*steps):
    s = K()
    for method, *args in steps:
        s = getattr(s, method)(*args)
    return s


def test_empty_state():
    s = K()
    assert list(s.coherence_report().items()) == [
        ("unresolved_contradictions", []), ("coherence_score", 1.0), ("is_equilibrium", True),
        ("concept_stability", {})]
    assert list(s.epistemic_direction_report().items()) == [
        ("assert_ratio", 0.0), ("refine_ratio", 0.0), ("revise_ratio", 0.0), ("direction", "Broadening"),
        ("trend", [])]
    assert list(s.argumentation_status_report().items()) == [
        ("attacked", []), ("defended", []), ("uncontested", []), ("grounded_extension", [])]
    assert list(s.relation_analytics_report().items()) == [
        ("type_distribution", {}), ("concept_centrality", {}), ("dead_relations", 0), ("clusters", [])]
    for method in (s.concept_stability_report, s.impact_radius_report):
        with pytest.raises(ValueError, match="^concept not found: nothing$"):
            method("nothing")


def test_scripted_history_with_every_source():
    s = history()
    with open(HISTORY) as f:
        counts = collections.Counter(r["source"] for r in json.load(f))
    source = s.source_analytics_report()
    # Gamma, asserted by the engine at 2 and confirmed by the user at 4, is Superseded now: still its term.
    assert source == {"user_verified_ratio": 0.8, "override_count": 1, "confirmation_latency": [("\u0393amma", 2)],
                      "source_distribution": {n: counts[n] for n in SOURCES}, "reinforce_count": 2}
    assert list(source["source_distribution"]) == SOURCES
    coherence = s.coherence_report()
    assert list(coherence["concept_stability"]) == ["AlphaBeta", "Gamma two"]  # ascending id order
    assert coherence["concept_stability"]["AlphaBeta"]["definition_arc"] == [
        {"record_index": 13, "operation_type": "reinforce", "definition": None}]
    assert coherence["concept_stability"]["Gamma two"]["records_since_last_change"] == 15
    assert s.epistemic_direction_report(5)["trend"] == [(0, "Broadening"), (5, "Deepening"), (10, "Restructuring")]
    relations = s.relation_analytics_report()
    assert relations["type_distribution"] == {"DerivesFrom": 2} and relations["dead_relations"] == 2


def test_retracted_concept_is_named_by_its_uuid():
    s = history(3).apply_refine("\u0393amma", "confirmed").apply_retract("\u0393amma")
    latency = s.source_analytics_report()["confirmation_latency"]
    assert latency == [("10000000-0000-0000-0000-000000000003", 1)]


def test_stability_and_direction_of_a_python_history():
    s = build(("apply_assert", "a", "one"), ("apply_assert", "b", "two"), ("apply_revise", "a", "uno", ["b"]))
    assert s.concept_stability_report("a") == {
        "semantic_version": [1, 0], "total_transitions": 2, "records_since_last_change": 0, "volatility": 0.5,
        "definition_arc": [{"record_index": 0, "operation_type": "assert", "definition": "one"},
                           {"record_index": 2, "operation_type": "revise", "definition": "uno"}]}
    s = s.apply_relate("a", "b", "contradicts").apply_refine("b", "deux")
    assert s.epistemic_direction_report(window_size=2)["trend"] == [(0, "Broadening"), (2, "Deepening")]
    assert s.coherence_report()["unresolved_contradictions"] == [("a", "b")]
    merged = s.apply_merge(["a", "b"], "ab", "both")
    for method in (merged.concept_stability_report, merged.impact_radius_report):
        with pytest.raises(ValueError, match="^concept not found: a$"):
            method("a")


# With no window (or one of 0, or one wider than the history) the trend is one
# entry over all records; here the records as a whole deepen, while the first
# ones broaden.
@pytest.mark.parametrize("call", [
    lambda s: s.epistemic_direction_report(),
    lambda s: s.epistemic_direction_report(0),
    lambda s: s.epistemic_direction_report(window_size=5),
    lambda s: s.epistemic_direction_report(window_size=6),
    lambda s: s.epistemic_direction_report(2**64 - 1),
])  # fmt: skip
def test_direction_without_a_window_is_one_trend_entry(call):
    s = build(("apply_assert", "a", "one"), ("apply_assert", "b", "two"), ("apply_refine", "a", "uno"),
              ("apply_relate", "a", "b", "supports"), ("apply_reinforce", "b"))  # fmt: skip
    assert call(s) == {"assert_ratio": 0.4, "refine_ratio": 0.6, "revise_ratio": 0.0, "direction": "Deepening",
                       "trend": [(0, "Deepening")]}  # fmt: skip


@pytest.mark.parametrize("call,error,argument", [
    (lambda s: s.concept_stability_report(1), TypeError, "term"),
    (lambda s: s.impact_radius_report(term=None), TypeError, "term"),
    (lambda s: s.epistemic_direction_report(-1), OverflowError, "window_size"),
    (lambda s: s.epistemic_direction_report(2**64), OverflowError, "window_size"),
    (lambda s: s.epistemic_direction_report(window_size="2"), TypeError, "window_size"),
    (lambda s: s.coherence_report(1), TypeError, "coherence_report"),
])
def test_argument_errors(call, error, argument):
    with pytest.raises(error, match=argument):
        call(build(("apply_assert", "a", "")))


# ---------------------------------------------------------------- against a model


def random_state(seed, size=60):
    """A state document and its parts: some Superseded concepts share terms,
    DerivesFrom only runs from a later concept to an earlier one (no cycle)."""
    rng = random.Random(seed)
    ids = [str(uuid.UUID(int=rng.getrandbits(128), version=4)) for _ in range(size)]
    concepts = []
    for k, i in enumerate(ids):
        active = rng.random() < 0.8
        # Long names with a common start: the sort must look past it.
        term = f"{'aA'[k % 2]} long shared start {k}" if active else rng.choice(["B", "b", "a long shared start"])
        concepts.append((i, term, "Active" if active else "Superseded"))
    relations = []
    for _ in range(rng.randrange(size * 2)):
        f, t = sorted(rng.sample(range(size), 2), reverse=True)
        kind = rng.choice(TYPES)
        if kind != "DerivesFrom" and rng.random() < 0.5:
            f, t = t, f
        relations.append((str(uuid.UUID(int=rng.getrandbits(128))), ids[f], ids[t], kind))
    nodes = [(str(uuid.UUID(int=rng.getrandbits(128))), f"n{n}", rng.sample(ids, 2)) for n in range(5)]
    time = "2024-01-01T00:00:00+00:00"
    doc = {"state_hash": "0" * 64,
           "concepts": {i: {"id": i, "term": t, "definition": "", "confidence": 1.0, "status": st,
                            "created_at": time, "source_evidence": []} for i, t, st in concepts},
           "relations": {r: {"id": r, "from_concept": f, "to_concept": t, "relation_type": k,
                             "evidence": [], "confidence": 1.0} for r, f, t, k in relations},
           "structure": {n: {"id": n, "title": title, "node_type": "n", "parent": None, "position": p,
                             "content_hash": "0" * 64, "concept_refs": refs}
                         for p, (n, title, refs) in enumerate(nodes)}}
    return json.dumps(doc), concepts, sorted(relations), sorted(nodes)


def component(start, neighbours):
    seen, todo = {start}, [start]
    while todo:
        for n in neighbours[todo.pop()] - seen:
            seen.add(n)
            todo.append(n)
    return seen


@pytest.mark.parametrize("seed", range(12))
def test_relation_and_impact_reports_match_a_model(seed):
    doc, concepts, relations, nodes = random_state(seed)
    s = K.from_json(doc)
    name = {i: t for i, t, _ in concepts}
    active = sorted(i for i, _, st in concepts if st == "Active")
    types, degree, neighbours, derived = collections.Counter(), collections.Counter(), {a: set() for a in active}, {}
    for _, f, t, kind in relations:
        types[kind] += 1
        if kind == "DerivesFrom":
            derived.setdefault(t, set()).add(f)
        if f in neighbours and t in neighbours:
            degree[f] += 1
            degree[t] += 1
            neighbours[f].add(t)
            neighbours[t].add(f)
    clusters = []
    for a in active:  # first found = smallest member
        if all(a not in c for c in clusters):
            clusters.append(sorted(component(a, neighbours)))
    clusters.sort(key=len, reverse=True)
    expected = {"type_distribution": {k: types[k] for k in TYPES if types[k]},
                "concept_centrality": {name[a]: degree[a] / (2 * len(active)) for a in active},
                "dead_relations": sum(1 for _, f, t, _ in relations if f not in neighbours or t not in neighbours),
                "clusters": [[name[i] for i in c] for c in clusters]}
    assert repr(s.relation_analytics_report()) == repr(expected)

    memo = {}

    def depth(c):
        if c not in memo:
            memo[c] = max((depth(d) + 1 for d in derived.get(c, ())), default=0)
        return memo[c]

    for start in active:
        below = component(start, collections.defaultdict(set, derived)) - {start}
        assert s.impact_radius_report(name[start]) == {
            "downstream_concepts": sorted((name[i] for i in sorted(below)), key=lambda n: n.encode()),
            "affected_structure": [title for _, title, refs in nodes if set(refs) & (below | {start})],
            "radius": depth(start)}


def test_centrality_of_many_distinct_degrees():
    # Concept k has degree k (relations to a hub), so the values are far more
    # than repeat, and concepts of every degree come in id order, mixed.
    rng = random.Random(7)
    ids = [str(uuid.UUID(int=rng.getrandbits(128), version=4)) for _ in range(121)]
    hub, members = ids[0], ids[1:]
    time = "2024-01-01T00:00:00+00:00"
    relations = {}
    for k, c in enumerate(members):
        for _ in range(k):
            r = str(uuid.UUID(int=rng.getrandbits(128), version=4))
            relations[r] = {"id": r, "from_concept": c, "to_concept": hub, "relation_type": "Supports",
                            "evidence": [], "confidence": 1.0}
    doc = {"state_hash": "0" * 64, "structure": {}, "relations": relations,
           "concepts": {i: {"id": i, "term": f"t{n}", "definition": "", "confidence": 1.0, "status": "Active",
                            "created_at": time, "source_evidence": []} for n, i in enumerate(ids)}}
    centrality = K.from_json(json.dumps(doc)).relation_analytics_report()["concept_centrality"]
    expected = {f"t{n}": (len(relations) if n == 0 else n - 1) / (2 * len(ids)) for n in range(len(ids))}
    assert centrality == expected
    assert list(centrality) == [f"t{ids.index(i)}" for i in sorted(ids)]


DETERMINISM = """
import sys, kelvora
K = kelvora.PyKnowledgeState
for s in (K.from_json(open(sys.argv[1]).read()), K.from_records_json(open(sys.argv[2]).read())):
    print(repr([s.coherence_report(), s.epistemic_direction_report(3), s.argumentation_status_report(),
                s.relation_analytics_report(), s.source_analytics_report()]
               + [s.impact_radius_report(t) for t in s.concept_terms() if s.get_concept_id(t)]))
"""


def test_same_reports_in_every_process(tmp_path):
    doc = tmp_path / "state.json"
    doc.write_text(random_state(99, size=400)[0])
    outputs = [subprocess.run([sys.executable, "-c", DETERMINISM, str(doc), HISTORY], check=True, text=True,
                              capture_output=True, env={**os.environ, "PYTHONHASHSEED": seed}).stdout
               for seed in ("1", "2")]
    assert outputs[0] == outputs[1] and outputs[0].count("\n") == 2


def test_reports_leak_nothing(assert_no_leaks):
    s = history()
    methods = [s.coherence_report, s.argumentation_status_report, s.relation_analytics_report,
               s.source_analytics_report, s.epistemic_direction_report,
               lambda: s.concept_stability_report("AlphaBeta"), lambda: s.impact_radius_report("Gamma two")]
    assert_no_leaks(lambda: [m() for m in methods], [s], warmup=3, rounds=50)
