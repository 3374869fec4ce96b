"""Shared pytest set-up for the kelvora tests."""

import gc
import os
import subprocess
import sys
import tracemalloc

import pytest

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # hypothesis is optional for a bare run
    settings = None

if settings is not None:
    # The module is native code; timings on a loaded two-core CI machine say
    # nothing about correctness, so no per-example deadline.
    settings.register_profile(
        "kelvora",
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
        print_blob=True,
    )
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "kelvora"))


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (the one running the tests).

    For behaviour that is per process, such as module initialisation, and
    for code that may abort the interpreter. Returns the CompletedProcess.
    """

    def run(code, timeout=120):
        return subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run


@pytest.fixture
def assert_no_leaks():
    """Checks that calling `exercise` many times leaks neither references to
    the `watched` objects nor memory.

    After `warmup` calls (caches and interned objects settle), the reference
    counts of `watched` must stay put and `rounds` more calls must not grow
    the traced memory by 64 KiB: one leaked object per call would be far
    above that.
    """

    def check(exercise, watched, warmup, rounds):
        for _ in range(warmup):
            exercise()
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        tracemalloc.start()
        try:
            exercise()
            gc.collect()
            first, _ = tracemalloc.get_traced_memory()
            for _ in range(rounds):
                exercise()
            gc.collect()
            after, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert [sys.getrefcount(o) for o in watched] == counts
        assert after - first < 64 * 1024

    return check
