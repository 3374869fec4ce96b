"""How the operations that take many concepts at once scale: each is timed
with N and with 4N concepts, and the ratio of the two is reported beside the
same ratio for json.dumps of the operation's input, a linear yardstick
measured in the same run (it shows what the machine's caches make of 4N).

  python bench/python_split_bench.py [--build DIR] [--smoke]

DIR is the build tree (see bench_build.py).

Figures:
  apply_split        one concept split into N new concepts
  forged replay      from_records_json of a history whose last record is such
                     a Split with a forged resulting hash: the replay applies
                     the Split before it refuses the record
  apply_merge        N concepts (of a state of N, loaded from a document)
                     merged into one, named by their terms

Linear work gives a ratio near 4 (somewhat above where 4N no longer fits the
caches); work that grows with the square of N gives 16.
"""

import argparse
import json
import os
import sys
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from bench_build import best_of, find_build  # noqa: E402


def split_case(kelvora, n):
    source = kelvora.PyKnowledgeState().apply_assert("source", "d")
    pairs = [(f"term {k}", f"definition {k}") for k in range(n)]
    return (lambda: source.apply_split("source", pairs)), pairs


def forged_replay_case(kelvora, n):
    run, pairs = split_case(kelvora, n)
    records = json.loads(run().records_to_json())
    records[-1]["resulting_state_hash"] = "0" * 64
    text = json.dumps(records)

    def load():
        try:
            kelvora.PyKnowledgeState.from_records_json(text)
        except ValueError as e:
            assert str(e).startswith("hash mismatch"), e
        else:
            raise AssertionError("the forged history loaded")

    return load, pairs


def merge_case(kelvora, n):
    concepts = {}
    for k in range(n):
        key = str(uuid.UUID(int=(k * 0x9E3779B97F4A7C15 + 1) % 2**128, version=4))
        concepts[key] = {"id": key, "term": f"term {k}", "definition": "d", "confidence": 1.0,
                         "status": "Active", "created_at": "2024-05-01T08:00:00+00:00"}  # fmt: skip
    state = kelvora.PyKnowledgeState.from_json(
        json.dumps({"concepts": concepts, "relations": {}, "structure": {}})
    )
    terms = [f"term {k}" for k in range(n)]
    return (lambda: state.apply_merge(terms, "merged", "d")), terms


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="CMake build tree with the module")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that it runs")
    parser.add_argument("--n", type=int, default=100_000, help="the smaller size")
    parser.add_argument("--rounds", type=int, default=3, help="repetitions; the best time counts")
    args = parser.parse_args()

    (module_dir,) = find_build(args.build)
    sys.path.insert(0, module_dir)
    import kelvora

    n, rounds = (1000, 1) if args.smoke else (args.n, args.rounds)
    for name, case in [("apply_split", split_case), ("forged replay", forged_replay_case),
                       ("apply_merge", merge_case)]:  # fmt: skip
        small, small_input = case(kelvora, n)
        large, large_input = case(kelvora, 4 * n)
        t_small, t_large = best_of(rounds, small), best_of(rounds, large)
        y_small = best_of(rounds, lambda: json.dumps(small_input))
        y_large = best_of(rounds, lambda: json.dumps(large_input))
        print(f"{name}: {n} concepts {t_small:.3f} s, {4 * n} concepts {t_large:.3f} s "
              f"(ratio {t_large / t_small:.2f}; json.dumps of the input {y_large / y_small:.2f})")  # fmt: skip


if __name__ == "__main__":
    main()
