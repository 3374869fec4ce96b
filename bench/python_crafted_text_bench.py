"""What texts crafted to share one value of the C++ standard library's string
hash cost the calls that keep caller text in a hash table, against random
texts of the same length and bytes (bench/crafted_texts.hpp makes both): each
call is timed with N and with 4N texts of each kind.

  python bench/python_crafted_text_bench.py [--build DIR] [--smoke]

DIR is the build tree (see bench_build.py).

Figures, for each kind of text:
  add_derivation   a provenance graph made from the empty state, then one
                   derivation from each text to one shared entity
  apply_split      one concept split into a concept per text
  from_json        the document of the state after that Split
  agm_report       of the state after that Split

A table that spreads the crafted texts gives a ratio crafted/ordinary near 1
and a growth from N to 4N near 4; one that piles them up gives 4N times more
work per text, a growth near 16.
"""

import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from bench_build import best_of, find_build  # noqa: E402


def texts(program, kind, count):
    out = subprocess.run([program, kind, str(count)], check=True, capture_output=True, text=True)
    lines = out.stdout.split("\n")[:count]
    assert len(set(lines)) == count, "the fixture gave repeated or missing texts"
    return lines


def calls(kelvora, terms):
    """Each call over `terms`, as a function of no arguments."""
    source = kelvora.PyKnowledgeState().apply_assert("source", "d")
    pairs = [(term, "d") for term in terms]
    split = source.apply_split("source", pairs)
    document = split.state_to_json()

    def add_derivation():
        graph = kelvora.PyProvenanceGraph.from_state(kelvora.PyKnowledgeState())
        for term in terms:
            graph.add_derivation(term, "qel:shared")

    return {
        "add_derivation": add_derivation,
        "apply_split": lambda: source.apply_split("source", pairs),
        "from_json": lambda: kelvora.PyKnowledgeState.from_json(document),
        "agm_report": lambda: split.agm_report(source),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="CMake build tree with the module")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that it runs")
    parser.add_argument("--n", type=int, default=10_000, help="the smaller size")
    parser.add_argument("--rounds", type=int, default=3, help="repetitions; the best time counts")
    args = parser.parse_args()

    module_dir, program = find_build(args.build, "crafted_texts")
    sys.path.insert(0, module_dir)
    import kelvora

    n, rounds = (200, 1) if args.smoke else (args.n, args.rounds)
    times = {}
    for kind in ("ordinary", "crafted"):
        all_texts = texts(program, kind, 4 * n)
        for size in (n, 4 * n):
            for name, run in calls(kelvora, all_texts[:size]).items():
                times[kind, size, name] = best_of(rounds, run)
    for name in ("add_derivation", "apply_split", "from_json", "agm_report"):
        ordinary, crafted = times["ordinary", 4 * n, name], times["crafted", 4 * n, name]
        growth = {kind: times[kind, 4 * n, name] / times[kind, n, name] for kind in ("ordinary", "crafted")}
        print(f"{name}: {4 * n} texts ordinary {ordinary:.3f} s, crafted {crafted:.3f} s "
              f"(crafted/ordinary {crafted / ordinary:.2f}); growth from {n} to {4 * n}: "
              f"ordinary {growth['ordinary']:.2f}, crafted {growth['crafted']:.2f}")  # fmt: skip


if __name__ == "__main__":
    main()
