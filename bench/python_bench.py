"""Costs of the Python layer of PyKnowledgeState, as ratios against baselines
measured in the same run.

  python bench/python_bench.py [--build DIR] [--smoke]

DIR is a CMake build tree configured with -DKELVORA_BUILD_PYTHON=ON (the
default is the first build*/ directory holding both the module and
libkelvora_core.a). The engine's own cost is measured by a small C++ program
compiled here against that tree's libkelvora_core.a: it does in C++ what the
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
import glob
import os
import subprocess
import sys
import tempfile
import time
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

ENGINE_TIMER = r"""
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kelvora/knowledge_state.hpp"
#include "kelvora/types.hpp"

using namespace kelvora;
using bench::Clock;

static long long since(Clock::time_point start) { return bench::nanoseconds(start, Clock::now()); }

// What a C++ caller of the engine does for one apply_assert: make the
// concept, apply it chained to the last record, keep the new state (the old
// one is released) and the record.
static void step(KnowledgeState& state, std::vector<EvolutionRecord>& records,
                 const std::string& term) {
  ApplyContext context;
  if (!records.empty()) context.prev_chain_hash = records.back().chain_hash;
  auto result = KnowledgeState::apply(state, op::Assert{Concept::create(term, "d")}, context);
  if (!result) {
    std::fprintf(stderr, "%s\n", result.error().message().c_str());
    std::exit(1);
  }
  state = std::move(result->state);
  records.push_back(std::move(result->record));
}

int main(int argc, char** argv) {
  const std::string mode = argv[1];
  const long n = std::atol(argv[2]);
  KnowledgeState state;
  std::vector<EvolutionRecord> records;
  std::vector<std::string> terms;
  for (long i = 0; i < n; ++i) terms.push_back("t" + std::to_string(i));
  if (mode == "chain") {
    // n applies, each on the previous result: total nanoseconds.
    const auto start = Clock::now();
    for (const auto& term : terms) step(state, records, term);
    std::printf("%lld\n", since(start));
    return 0;
  }
  // "single": a state of n concepts, then `reps` applies on that same state,
  // each result released at once: the median nanoseconds of one.
  const long reps = std::atol(argv[3]);
  for (const auto& term : terms) step(state, records, term);
  std::vector<long long> times;
  for (long r = 0; r < reps; ++r) {
    const auto start = Clock::now();
    {
      ApplyContext context;
      context.prev_chain_hash = records.back().chain_hash;
      auto result =
          KnowledgeState::apply(state, op::Assert{Concept::create("fresh term", "d")}, context);
      if (!result) std::exit(1);
    }
    times.push_back(since(start));
  }
  std::sort(times.begin(), times.end());
  std::printf("%lld\n", times[times.size() / 2]);
  return 0;
}
"""


def find_build(explicit):
    candidates = [explicit] if explicit else sorted(glob.glob(os.path.join(ROOT, "build*")))
    for build in candidates:
        libs = glob.glob(os.path.join(build, "**", "libkelvora_core.a"), recursive=True)
        mods = glob.glob(os.path.join(build, "**", "kelvora*.so"), recursive=True)
        if libs and mods:
            return libs[0], os.path.dirname(mods[0])
    sys.exit("no build tree with both libkelvora_core.a and the kelvora module; pass --build")


def compile_timer(name, code, lib, workdir):
    """Compiles the C++ program `code` against the tree's libkelvora_core.a
    and the benchmarks' shared header; returns the binary's path."""
    source = os.path.join(workdir, name + ".cpp")
    binary = os.path.join(workdir, name)
    with open(source, "w") as f:
        f.write(code)
    cmd = [
        os.environ.get("CXX", "c++"), "-std=c++23", "-O2", "-DNDEBUG",
        "-I", os.path.join(ROOT, "core", "include"), "-I", os.path.join(ROOT, "bench"),
        source, lib, "-lcrypto", "-licui18n", "-licuuc", "-licudata", "-o", binary,
    ]
    subprocess.run(cmd, check=True)
    return binary


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

    lib, module_dir = find_build(args.build)
    sys.path.insert(0, module_dir)
    import kelvora

    if args.smoke:
        size, reps, length, number, rounds = 50, 20, 200, 1000, 1
    else:
        size, reps, length, number, rounds = 1000, 2000, 10000, 1000000, args.rounds
    with tempfile.TemporaryDirectory() as workdir:
        binary = compile_timer("engine_timer", ENGINE_TIMER, lib, workdir)

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
