"""Costs of the Python layer of PyKnowledgeState, as ratios against baselines
measured in the same run.

  python bench/python_bench.py [--build DIR] [--smoke]

DIR is the build tree (see bench_build.py). The engine's own cost is measured
by bench/engine_timer.cpp, built in that tree: it does in C++ what the
Python calls do (make the concept, apply it, keep the new state and record,
release the old state), so the difference to the Python figures is what the
binding adds (argument conversion, the shared record list, the new object).

Figures:
  record_count      per call, against a bound builtin method call (list.__len__)
  apply_assert      on a state of N concepts, against the engine's apply on it
  history           a chain of M apply_assert calls, each on the previous
                    result, against the sum of the engine's apply costs
"""

import argparse
import subprocess
import sys
import time
import timeit

from bench_build import find_build


def engine(binary, *args):
    out = subprocess.run([binary, *map(str, args)], check=True, capture_output=True, text=True)
    return int(out.stdout)


def per_call_ns(stmt, namespace, number):
    best = min(timeit.repeat(stmt, globals=namespace, number=number, repeat=5))
    return best / number * 1e9


def bench_record_count(kelvora, number):
    s = kelvora.PyKnowledgeState()
    for i in range(10):
        s = s.apply_assert(f"t{i}", "d")
    items = list(range(10))
    ns = {"s": s, "items": items}
    ours = per_call_ns("s.record_count()", ns, number)
    base = per_call_ns("items.__len__()", ns, number)
    return ours, base


def bench_single_apply(kelvora, binary, size, reps):
    s = kelvora.PyKnowledgeState()
    for i in range(size):
        s = s.apply_assert(f"t{i}", "d")
    times = []
    for _ in range(reps):
        start = time.perf_counter_ns()
        s.apply_assert("fresh term", "d")
        times.append(time.perf_counter_ns() - start)
    times.sort()
    return times[len(times) // 2], engine(binary, "single", size, reps)


def bench_history(kelvora, binary, length):
    terms = [f"t{i}" for i in range(length)]
    s = kelvora.PyKnowledgeState()
    start = time.perf_counter_ns()
    for term in terms:
        s = s.apply_assert(term, "d")
    ours = time.perf_counter_ns() - start
    assert s.record_count() == length
    return ours, engine(binary, "chain", length)


def interleaved(rounds, measure):
    """Runs `measure` (returning a pair) `rounds` times and keeps the smallest
    of each side, so that load from other processes hits both alike."""
    pairs = [measure() for _ in range(rounds)]
    return min(p[0] for p in pairs), min(p[1] for p in pairs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="CMake build tree with the module and the core library")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that it runs")
    parser.add_argument("--rounds", type=int, default=3, help="repetitions of each comparison")
    args = parser.parse_args()

    module_dir, binary = find_build(args.build, "engine_timer")
    sys.path.insert(0, module_dir)
    import kelvora

    if args.smoke:
        size, reps, length, number, rounds = 50, 20, 200, 1000, 1
    else:
        size, reps, length, number, rounds = 1000, 2000, 10000, 1000000, args.rounds
    ours, base = bench_record_count(kelvora, number)
    print(f"record_count: {ours:.0f} ns per call; list.__len__(): {base:.0f} ns "
          f"(ratio {ours / base:.2f})")

    py_ns, eng_ns = interleaved(rounds, lambda: bench_single_apply(kelvora, binary, size, reps))
    print(f"apply_assert on {size} concepts: {py_ns / 1000:.1f} us; engine apply "
          f"{eng_ns / 1000:.1f} us; binding adds {(py_ns - eng_ns) / 1000:.1f} us "
          f"(ratio {py_ns / eng_ns:.2f})")

    py_ns, eng_ns = interleaved(rounds, lambda: bench_history(kelvora, binary, length))
    print(f"history of {length} apply_assert: {py_ns / 1e6:.1f} ms; engine applies "
          f"{eng_ns / 1e6:.1f} ms (ratio {py_ns / eng_ns:.3f})")


if __name__ == "__main__":
    main()
