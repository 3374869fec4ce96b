"""The build tree a Python benchmark script measures: the kelvora module in it
and the C++ baselines bench/CMakeLists.txt builds beside it (a CMake tree
configured with -DKELVORA_BUILD_PYTHON=ON -DKELVORA_BUILD_BENCH=ON, as
`make cpp-test` does in build/cpp); and the timing the scripts share."""

import gc
import glob
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _find(tree, pattern, executable):
    for path in sorted(glob.glob(os.path.join(tree, "**", pattern), recursive=True)):
        if os.path.isfile(path) and (not executable or os.access(path, os.X_OK)):
            return path
    return None


def find_build(explicit, *programs):
    """[module directory, path of each program named]: from the tree given,
    or else from the first CMake tree under build*/ that holds them all."""
    if explicit:
        trees = [explicit]
    else:
        caches = glob.glob(os.path.join(ROOT, "build*", "**", "CMakeCache.txt"), recursive=True)
        trees = sorted(os.path.dirname(cache) for cache in caches)
    for tree in trees:
        module = _find(tree, "kelvora*.so", False)
        paths = [_find(tree, program, True) for program in programs]
        if module and all(paths):
            return [os.path.dirname(module), *paths]
    wanted = " and ".join(["the kelvora module", *programs])
    sys.exit(f"no build tree with {wanted} (configure with -DKELVORA_BUILD_PYTHON=ON "
             "-DKELVORA_BUILD_BENCH=ON, e.g. `make cpp-test`); pass --build")


def best_of(rounds, run):
    """The shortest of `rounds` runs of `run`, in seconds, each after a
    collection so that none pays for the garbage of another."""
    best = float("inf")
    for _ in range(rounds):
        gc.collect()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best
