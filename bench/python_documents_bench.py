"""Costs of loading and saving the JSON documents through PyKnowledgeState, as
ratios against baselines measured in the same run.

  python bench/python_documents_bench.py [--build DIR] [--smoke]

DIR is the build tree (see bench_build.py).

Figures:
  from_records_json  loading a history of N records, against what the load
                     cannot avoid: parsing the text and the engine's apply of
                     every record's operation. Both are timed by
                     bench/replay_timer.cpp, built in that tree, on the same
                     text: parse_json once, then every record's
                     operation applied with its own time stamp and source, each
                     new state replacing the one before (as any replay must).
                     The rest of the load (reading the records from the tree,
                     the per-record hash checks, the binding) is the overhead.
                     The load, too, runs in a fresh process that only reads the
                     text: timed inside the process that built the history, the
                     same replay runs markedly slower on that process's churned
                     heap, which says nothing about the load.
  records_to_json    writing the history, against orjson.dumps (indented,
                     sorted keys) of the same document held as Python objects.
  from_json          reading a state document of N concepts, against
                     json.loads and orjson.loads of the same text.
  state_to_json      writing it, against json.dumps(indent=2, sort_keys=True)
                     and orjson.dumps (indented, sorted keys) of the parsed
                     document.

orjson is a benchmark-only peer; without it its columns are left out.

Each comparison is repeated (--rounds) and the smallest time of each side is
kept, so that load from other processes hits both alike.
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
from bench_build import find_build  # noqa: E402

# Times one from_records_json of the text in argv[2], the module in argv[1];
# checks the rebuilt state against the hash in argv[3].
LOADER = r"""
import sys, time
sys.path.insert(0, sys.argv[1])
import kelvora
with open(sys.argv[2], encoding="utf-8") as f:
    text = f.read()
start = time.perf_counter_ns()
loaded = kelvora.PyKnowledgeState.from_records_json(text)
elapsed = time.perf_counter_ns() - start
assert loaded.state_hash() == sys.argv[3]
print(elapsed)
"""


def history(kelvora, length):
    """A history of mixed operations: per ten records six asserts, then a
    relate, a refine, a reinforce and a revise on recent concepts."""
    s = kelvora.PyKnowledgeState()
    n = 0
    while s.record_count() < length:
        k = s.record_count() % 10
        if k < 6:
            s = s.apply_assert(f"concept {n}", f"definition of concept {n}")
            n += 1
        elif k == 6:
            s = s.apply_relate(f"concept {n - 1}", f"concept {n - 2}", "supports")
        elif k == 7:
            s = s.apply_refine(f"concept {n - 3}", f"a finer definition of concept {n - 3}")
        elif k == 8:
            s = s.apply_reinforce(f"concept {n - 4}")
        else:
            s = s.apply_revise(f"concept {n - 5}", "revised", [f"concept {n - 6}"])
    return s


def concepts(kelvora, count):
    s = kelvora.PyKnowledgeState()
    for i in range(count):
        s = s.apply_assert(f"concept {i}", f"definition of concept {i}")
    return s


def timed(fn):
    start = time.perf_counter_ns()
    result = fn()
    return time.perf_counter_ns() - start, result


def best(rounds, measure):
    """Runs `measure` (returning a tuple of times) `rounds` times; the
    smallest of each position."""
    runs = [measure() for _ in range(rounds)]
    return tuple(min(column) for column in zip(*runs))


def orjson_or_none():
    try:
        import orjson
    except ImportError:
        return None
    return orjson


def against_orjson(orjson, label, write, document, text, rounds):
    """Times `write` against orjson.dumps of `document`, which must print as
    `text`."""
    option = orjson.OPT_INDENT_2 | orjson.OPT_SORT_KEYS
    assert orjson.dumps(document, option=option).decode() == text
    ours, base = best(rounds, lambda: (timed(write)[0],
                                       timed(lambda: orjson.dumps(document, option=option))[0]))
    print(f"{label}: {ours / 1e6:.2f} ms ({len(text) / ours * 1e3:.0f} MB/s); orjson.dumps "
          f"{base / 1e6:.2f} ms (ratio {ours / base:.3f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="CMake build tree with the module and the core library")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that it runs")
    parser.add_argument("--rounds", type=int, default=3, help="repetitions of each comparison")
    parser.add_argument("--records", type=int, default=10_000, help="length of the history")
    parser.add_argument("--concepts", type=int, default=10_000, help="size of the state")
    args = parser.parse_args()

    module_dir, binary = find_build(args.build, "replay_timer")
    sys.path.insert(0, module_dir)
    import kelvora

    K = kelvora.PyKnowledgeState
    records, size, rounds = (200, 200, 1) if args.smoke else (args.records, args.concepts, args.rounds)

    orjson = orjson_or_none()
    with tempfile.TemporaryDirectory() as workdir:
        s = history(kelvora, records)
        text = s.records_to_json()
        path = os.path.join(workdir, "records.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)

        def load_and_replay():
            def run(*command):
                return subprocess.run(command, check=True, capture_output=True, text=True).stdout

            ours = int(run(sys.executable, "-c", LOADER, module_dir, path, s.state_hash()))
            parse_ns, apply_ns = map(int, run(binary, path).split())
            return ours, parse_ns, apply_ns

        if orjson is not None:
            against_orjson(orjson, f"records_to_json of {records} records", s.records_to_json,
                           json.loads(text), text, rounds)

        ours, parse_ns, apply_ns = best(rounds, load_and_replay)
        base = parse_ns + apply_ns
        print(f"from_records_json of {records} records ({len(text) / 1e6:.1f} MB): "
              f"{ours / 1e6:.1f} ms; parse {parse_ns / 1e6:.1f} ms + engine applies "
              f"{apply_ns / 1e6:.1f} ms = {base / 1e6:.1f} ms (ratio {ours / base:.3f})")

    s = concepts(kelvora, size)
    text = s.state_to_json()
    document = json.loads(text)

    def read():
        ours, loaded = timed(lambda: K.from_json(text))
        assert loaded.state_hash() == s.state_hash()
        return ours, timed(lambda: json.loads(text))[0]

    ours, base = best(rounds, read)
    print(f"from_json of {size} concepts ({len(text) / 1e6:.1f} MB): {ours / 1e6:.1f} ms; "
          f"json.loads {base / 1e6:.1f} ms (ratio {ours / base:.3f})")

    def write():
        return (
            timed(s.state_to_json)[0],
            timed(lambda: json.dumps(document, indent=2, sort_keys=True))[0],
        )

    ours, base = best(rounds, write)
    print(f"state_to_json of {size} concepts: {ours / 1e6:.1f} ms; json.dumps(indent=2, "
          f"sort_keys=True) {base / 1e6:.1f} ms (ratio {ours / base:.3f})")
    if orjson is not None:
        against_orjson(orjson, f"state_to_json of {size} concepts", s.state_to_json, document,
                       text, rounds)
        ours, base = best(rounds, lambda: (timed(lambda: K.from_json(text))[0],
                                           timed(lambda: orjson.loads(text))[0]))
        print(f"from_json of {size} concepts: {ours / 1e6:.1f} ms; orjson.loads "
              f"{base / 1e6:.1f} ms (ratio {ours / base:.3f})")


if __name__ == "__main__":
    main()
