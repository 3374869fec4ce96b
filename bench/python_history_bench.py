"""Merkle proofs and branches on a long history, as ratios against baselines
measured in the same run.

  python bench/python_history_bench.py [--build DIR] [--smoke] [--records N]

Figures (N records, 100,000 by default):
  merkle_proof   one proof dict once the tree has been asked for, against the
                 raw SHA-256 work of the whole tree over N records (one 33-byte
                 digest per record, one 65-byte digest per inner node, timed in
                 C++ by bench/raw_tree_timer.cpp, built in the build tree)
  merkle_root    the root of a history one record longer than one whose root
                 was asked for, against the same raw work
  branch         apply_refine on an object whose later result is still alive,
                 against apply_refine at the end of the history (the state
                 holds one concept throughout), and the first merkle_root of
                 a branch, which joins its records into one list
"""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_build import find_build  # noqa: E402


def timed(call):
    start = time.perf_counter_ns()
    call()
    return time.perf_counter_ns() - start


def history(kelvora, n):
    """n records over a state of one concept, so that the record list, not
    the state, is what grows."""
    s = kelvora.PyKnowledgeState().apply_assert("a", "d")
    for i in range(n - 1):
        s = s.apply_refine("a", f"d{i}")
    return s


def bench_proofs(s, reps):
    n = s.record_count()
    s.merkle_proof(0)  # the first call builds the kept levels
    return statistics.median(timed(lambda i=i: s.merkle_proof(i * 7919 % n)) for i in range(reps))


def bench_roots(s, reps):
    times = []
    for r in range(reps):
        s.merkle_root()
        s = s.apply_refine("a", f"root{r}")
        times.append(timed(s.merkle_root))
    return statistics.median(times)


def bench_branch(s, reps):
    later = s.apply_refine("a", "later")  # keeps every apply on s a branch
    branches, appends, tip = [], [], later
    for r in range(reps):
        start = time.perf_counter_ns()
        branches.append(s.apply_refine("a", f"branch{r}"))
        middle = time.perf_counter_ns()
        tip = tip.apply_refine("a", f"append{r}")
        appends.append((middle - start, time.perf_counter_ns() - middle))
    assert branches[-1].record_count() == s.record_count() + 1
    # The first whole-history call on a branch joins its records into one list.
    joined = timed(branches[0].merkle_root)
    return statistics.median(b for b, _ in appends), statistics.median(a for _, a in appends), joined


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="CMake build tree with the module and the core library")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that it runs")
    parser.add_argument("--records", type=int, default=100_000, help="history length")
    args = parser.parse_args()

    module_dir, timer = find_build(args.build, "raw_tree_timer")
    sys.path.insert(0, module_dir)
    import kelvora

    n, reps = (200, 20) if args.smoke else (args.records, 400)
    raw_ns = int(os.popen(f"{timer} {n}").read().split()[0])

    s = history(kelvora, n)
    print(f"raw SHA-256 work of the tree over {n} records: {raw_ns / 1e6:.2f} ms")
    proof_ns = bench_proofs(s, reps)
    print(f"merkle_proof after the first call: {proof_ns / 1e3:.1f} us "
          f"(1/{raw_ns / proof_ns:,.0f} of the raw tree work; target at most 1/1,000)")
    root_ns = bench_roots(s, min(reps, 50))
    print(f"merkle_root after one more record: {root_ns / 1e3:.1f} us "
          f"(1/{raw_ns / root_ns:,.0f} of the raw tree work; target at most 1/100)")
    branch_ns, append_ns, joined_ns = bench_branch(s, reps)
    print(f"apply_refine as a branch: {branch_ns / 1e3:.1f} us; at the end: "
          f"{append_ns / 1e3:.1f} us (ratio {branch_ns / append_ns:.2f}; target at most 2)")
    print(f"first merkle_root of a branch (joins its records once): {joined_ns / 1e6:.2f} ms "
          f"({joined_ns / raw_ns:.2f} of the raw tree work)")


if __name__ == "__main__":
    main()
