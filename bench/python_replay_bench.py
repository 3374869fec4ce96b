"""Unverified replays against the verified load of the same history, as
ratios measured in the same run.

  python bench/python_replay_bench.py [--build DIR] [--smoke] [--records N ...]

A history mixes all nine operations and its state grows (about 0.45 concepts
per record, Merge and Split included); for each length N:
  from_records_json      the verified load: every state is hashed and checked
  state_at(last)         replays every record, checks nothing
  range_diff(mid, last)  one replay to the end, keeping the state in the middle
  convergence_trajectory(0)
each with its ratio to from_records_json and its growth from the length
before (N is usually multiplied by 4 from one length to the next).
"""

import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from python_bench import find_build  # noqa: E402

RELATIONS = ["supports", "contradicts", "derives_from", "extends", "exemplifies", "tension"]
# Relative frequencies of the operations.
WEIGHTS = {
    "assert": 3.0,
    "relate": 2.0,
    "retract": 1.0,
    "revise": 1.0,
    "refine": 1.0,
    "reinforce": 1.0,
    "merge": 1.0,
    "split": 1.0,
    "restructure": 0.5,
}


def mixed_history(kelvora, n, seed=17):
    """n records of every operation; terms carry a made-up definition of some
    length so that the state text is not trivially small."""
    rng = random.Random(seed)
    kinds, weights = zip(*WEIGHTS.items())
    s = kelvora.PyKnowledgeState()
    active = []  # terms of Active concepts, in creation order
    serial = 0

    def fresh():
        nonlocal serial
        serial += 1
        return f"term {serial}", f"definition of term {serial}: " + "x" * rng.randrange(20, 120)

    while s.record_count() < n:
        kind = rng.choices(kinds, weights)[0]
        if len(active) < 4:
            kind = "assert"
        if kind == "assert":
            term, definition = fresh()
            s = s.apply_assert(term, definition)
            active.append(term)
        elif kind == "relate":
            i, j = sorted(rng.sample(range(len(active)), 2))
            relation = rng.choice(RELATIONS)
            # A derivation points from the newer concept to the older one, so
            # no cycle can close.
            s = s.apply_relate(active[j], active[i], relation)
        elif kind == "retract":
            s = s.apply_retract(active.pop(rng.randrange(len(active))))
        elif kind == "revise":
            a, b = rng.sample(active, 2)
            s = s.apply_revise(a, fresh()[1], [b])
        elif kind == "refine":
            s = s.apply_refine(rng.choice(active), fresh()[1])
        elif kind == "reinforce":
            s = s.apply_reinforce(rng.choice(active))
        elif kind == "merge":
            a, b = rng.sample(active, 2)
            term, definition = fresh()
            s = s.apply_merge([a, b], term, definition)
            active.remove(a)
            active.remove(b)
            active.append(term)
        elif kind == "split":
            source = active.pop(rng.randrange(len(active)))
            parts = [fresh(), fresh()]
            s = s.apply_split(source, parts)
            active.extend(term for term, _ in parts)
        else:
            picked = rng.sample(active, 3)
            nodes = [
                {"title": "part", "node_type": "section", "position": 0, "concept_terms": picked[:2]},
                {"title": "sub", "node_type": "p", "position": 0, "parent_index": 0,
                 "concept_terms": picked[2:]},
            ]
            s = s.apply_restructure(nodes, "tidy")
    return s


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def best_of(rounds, call):
    return min(timed(call) for _ in range(rounds))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="CMake build tree with the module")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that it runs")
    parser.add_argument("--records", type=int, nargs="+", default=[1000, 4000, 16000])
    args = parser.parse_args()

    module_dir = find_build(args.build)[0]
    sys.path.insert(0, module_dir)
    import kelvora

    sizes = [50, 200] if args.smoke else args.records
    calls = {
        "state_at(last)": lambda s, n: s.state_at(n - 1),
        "range_diff(mid, last)": lambda s, n: s.range_diff(n // 2, n - 1),
        "convergence_trajectory(0)": lambda s, n: s.convergence_trajectory(0),
    }
    before = {}
    for n in sizes:
        s = mixed_history(kelvora, n)
        text = s.records_to_json()
        rounds = 3 if n <= 4000 else 1
        load = best_of(rounds, lambda: kelvora.PyKnowledgeState.from_records_json(text))
        print(f"{n} records, {s.concept_count()} concepts: from_records_json {load:.3f} s")
        for name, call in calls.items():
            t = best_of(rounds, lambda: call(s, n))
            growth = f", growth x{t / before[name]:.1f}" if name in before else ""
            print(f"  {name:26} {t:.3f} s (1/{load / t:.0f} of the load{growth})")
            before[name] = t
        replayed = s.state_at(n - 1)
        assert replayed.state_hash() == s.state_hash()


if __name__ == "__main__":
    main()
