"""Shared pytest set-up for the kelvora tests."""

import os
import subprocess
import sys

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
