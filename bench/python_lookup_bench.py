"""Term lookups and state documents in any member order, as ratios against
baselines measured in the same run.

  python bench/python_lookup_bench.py [--build DIR] [--smoke] [--large]

DIR is a CMake build tree configured with -DKELVORA_BUILD_PYTHON=ON (the
default is the first build*/ directory holding the module).

Figures:
  from_json          a state document of N concepts whose members come in
                     random order at every level (json.dumps without
                     sort_keys of a dict built in that order), against the
                     same document with sorted keys; and the time per concept,
                     which stays flat when the load grows linearly.
  get_concept_id     per call on a state of N concepts (random Active terms),
                     against a bound builtin method call; apart, the first
                     calls, which walk the concepts, and the ninth, which
                     makes the state's index of terms.
  get_concept_definition
                     the same, over concepts of any status.

Sizes: 10,000 and 100,000 concepts for the loads, 1,000 and 100,000 for the
lookups; --large adds 1,000,000 to both (slow: it builds documents of
hundreds of megabytes).
"""

import argparse
import json
import random
import sys
import time
import timeit
import uuid

from python_bench import find_build


def document(n, rng):
    """A state document of n concepts, keys in random order at every level;
    every fifth concept Superseded (with a term an Active one also carries)."""
    concepts = {}
    for i in range(n):
        key = str(uuid.UUID(int=rng.getrandbits(128), version=4))
        superseded = i % 5 == 0
        members = [
            ("confidence", 0.5),
            ("created_at", "2024-05-01T00:00:00+00:00"),
            ("definition", f"A definition of concept {i}, about a hundred bytes long as real ones are."),
            ("id", key),
            ("source_evidence", [{"turn_number": i % 50, "text_excerpt": "seen in a turn"}]),
            ("status", "Superseded" if superseded else "Active"),
            ("term", f"concept term {i - 1 if superseded and i else i}"),
        ]
        rng.shuffle(members)
        concepts[key] = dict(members)
    return {"structure": {}, "concepts": concepts, "relations": {}}


def best_of(rounds, fn):
    times = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        result = fn()
        times.append(time.perf_counter_ns() - start)
    return min(times), result


def bench_load(K, n, rounds):
    rng = random.Random(n)
    doc = document(n, rng)
    sorted_text = json.dumps(doc, indent=2, sort_keys=True)
    shuffled_text = json.dumps(doc, indent=2)
    del doc
    K.from_json(sorted_text).get_concept_id("")  # first-use costs of the process, untimed
    ours_sorted, a = best_of(rounds, lambda: K.from_json(sorted_text))
    ours_shuffled, b = best_of(rounds, lambda: K.from_json(shuffled_text))
    assert a.state_hash() == b.state_hash()
    print(
        f"from_json of {n} concepts ({len(sorted_text) / 1e6:.0f} MB): shuffled keys "
        f"{ours_shuffled / 1e6:.1f} ms, sorted keys {ours_sorted / 1e6:.1f} ms "
        f"(ratio {ours_shuffled / ours_sorted:.2f}); per concept {ours_shuffled / n:.0f} ns "
        f"shuffled, {ours_sorted / n:.0f} ns sorted"
    )


def per_call_ns(stmt, namespace, number):
    return min(timeit.repeat(stmt, globals=namespace, number=number, repeat=5)) / number * 1e9


def bench_lookups(K, n):
    rng = random.Random(1)
    state = K.from_json(json.dumps(document(n, rng)))
    terms = [f"concept term {i}" for i in range(n) if i % 5]
    calls = []
    for _ in range(9):  # eight walk the concepts, the ninth makes the index
        start = time.perf_counter_ns()
        state.get_concept_id(terms[-1])
        calls.append(time.perf_counter_ns() - start)
    print(
        f"at {n} concepts, a get_concept_id before the index: {min(calls[:8]) / 1e6:.2f} ms; "
        f"the ninth, which makes it: {calls[8] / 1e6:.2f} ms"
    )
    # Random terms, each asked once per pass (their index entries are not in
    # cache), and one term asked again and again.
    picks = [rng.choice(terms) for _ in range(100_000)]
    namespace = {"s": state, "picks": picks, "again": [terms[-1]] * len(picks), "empty": []}
    floor = per_call_ns("for t in picks: empty.__len__()", namespace, 1) / len(picks)
    for method in ("get_concept_id", "get_concept_definition"):
        for kind in ("picks", "again"):
            ns = per_call_ns(f"for t in {kind}: s.{method}(t)", namespace, 1) / len(picks)
            what = "random terms" if kind == "picks" else "one term again"
            print(
                f"  {method}, {what}: {ns:.0f} ns per call, against a builtin method call "
                f"{floor:.0f} ns (ratio {ns / floor:.1f})"
            )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="CMake build tree with the module")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that it runs")
    parser.add_argument("--large", action="store_true", help="also 1,000,000 concepts")
    parser.add_argument("--rounds", type=int, default=3, help="repetitions of each load")
    args = parser.parse_args()

    module_dir = find_build(args.build)[0]
    sys.path.insert(0, module_dir)
    import kelvora

    K = kelvora.PyKnowledgeState
    if args.smoke:
        loads, lookups, rounds = [200], [200], 1
    else:
        loads, lookups, rounds = [10_000, 100_000], [1_000, 100_000], args.rounds
        if args.large:
            loads.append(1_000_000)
            lookups.append(1_000_000)
    for n in loads:
        bench_load(K, n, rounds if n < 1_000_000 else 1)
    for n in lookups:
        bench_lookups(K, n)


if __name__ == "__main__":
    main()
