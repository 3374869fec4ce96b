"""The build tree a Python benchmark script measures: the kelvora module in it
and the C++ baselines bench/CMakeLists.txt builds beside it (a CMake tree
configured with -DKELVORA_BUILD_PYTHON=ON -DKELVORA_BUILD_BENCH=ON, as
`make cpp-test` does in build/cpp)."""

import glob
import os
import sys

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
