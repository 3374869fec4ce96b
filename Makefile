# The two entry points of the README: `make demo` and `make test`. Each does
# all set-up first (system packages, virtualenvs), skipping what is present.

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := test

PYTHON ?= python3
VENV ?= .venv
BUILD ?= build
JOBS ?= $(shell nproc)

# A second interpreter to test under, when the machine has 3.13 and the main
# one is another version.
PY313 := $(shell scripts/find-python.sh 3.13)
ifeq ($(shell $(PYTHON) -c 'import sys; print(sys.version_info[:2] == (3, 13))' 2>/dev/null),True)
  PY313 :=
endif
VENV313 ?= .venv-3.13
VENVS := $(VENV) $(if $(PY313),$(VENV313))

# CMake and Ninja from the main virtualenv, so every build uses one version.
CMAKE = $(abspath $(VENV))/bin/cmake
CTEST = $(abspath $(VENV))/bin/ctest
NINJA = $(abspath $(VENV))/bin/ninja
CONFIGURE = $(CMAKE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA)
# The C++ builds also compile the extension (so it too builds warning-free,
# with and without sanitizers) and test its helpers in an embedded interpreter.
WITH_PYTHON = -DKELVORA_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python

export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)
# A test that hangs fails after this many seconds instead of holding the run;
# the slowest (a million-concept chain under the sanitizers) takes about 20.
CTEST_TIMEOUT ?= 300
export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1

.PHONY: demo test setup system venvs install examples \
        format-check cpp-test asan-test bench-smoke fuzz-test py-test clean

demo: install examples

test: setup format-check cpp-test asan-test bench-smoke fuzz-test py-test
	@echo "make test: all steps passed"

setup: system venvs

system:
	scripts/setup-system.sh

venvs: system
	scripts/setup-venv.sh $(PYTHON) $(VENV)
	$(if $(PY313),scripts/setup-venv.sh $(PY313) $(VENV313))

# Builds the extension into each virtualenv; the build tree under build/ is
# kept per interpreter, so a repeated install recompiles only what changed.
install: setup
	for v in $(VENVS); do \
	  echo "== pip install . ($$v)"; \
	  PATH="$$(pwd)/$$v/bin:$$PATH" $$v/bin/python -m pip install --quiet \
	    --disable-pip-version-check --no-build-isolation --no-deps . ; \
	done

examples: install
	shopt -s nullglob; for f in examples/*.py; do \
	  echo "== $$f"; $(VENV)/bin/python "$$f"; \
	done

# Every tracked C++ file follows the repository's .clang-format.
CLANG_FORMAT ?= clang-format-19
format-check: system
	git ls-files -z '*.cpp' '*.hpp' '*.h' | xargs -0 $(CLANG_FORMAT) --dry-run --Werror

# Core library and its tests, warnings as errors; the benchmarks (and the C++
# baselines the Python ones run) join this build.
cpp-test: setup
	$(CONFIGURE) -S . -B $(BUILD)/cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVORA_WERROR=ON \
	  $(WITH_PYTHON) \
	  -DKELVORA_BUILD_BENCH=ON
	$(CMAKE) --build $(BUILD)/cpp
	$(CTEST) --test-dir $(BUILD)/cpp --output-on-failure --timeout $(CTEST_TIMEOUT) -j $(JOBS)

# The Python tests of the record storage shared between branched histories
# (records, branches, replays, Merkle levels, record documents), of the
# reports' look-ahead walks, of the provenance graph, of the term index and
# the any-order document reader, and of hostile input also run against the
# sanitizer build of the module. Left out: the module's per-process set-up.
# The memory-limit tests skip themselves there (the sanitizers reserve far
# more address space than any limit they set).
SANITIZED_PY_TESTS = $(addprefix python/tests/,test_records.py test_knowledge_state.py \
  test_scale_history.py test_history.py test_verification.py test_documents.py \
  test_reports.py test_provenance.py test_lookup_and_key_order.py test_hostile_input.py)

asan-test: setup
	$(CONFIGURE) -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DKELVORA_SANITIZE=ON -DKELVORA_WERROR=ON \
	  $(WITH_PYTHON)
	$(CMAKE) --build $(BUILD)/asan
	$(CTEST) --test-dir $(BUILD)/asan --output-on-failure --timeout $(CTEST_TIMEOUT) -j $(JOBS)
	scripts/run-sanitized-pytest.sh $(BUILD)/asan $(VENV) -q -p no:cacheprovider $(SANITIZED_PY_TESTS)

# Only checks that each benchmark builds and runs: tiny minimum time, tiny
# sizes for the Python ones (they use the module and the C++ baselines built
# in $(BUILD)/cpp; bench/bench_build.py is their shared lookup, not a script).
bench-smoke: cpp-test
	bench="$$(find $(BUILD)/cpp -name kelvora_bench -type f -perm -u+x | head -n 1)"; \
	if [ -z "$$bench" ]; then echo "kelvora_bench was not built" >&2; exit 1; fi; \
	"$$bench" --benchmark_min_time=0.001
	shopt -s nullglob; for f in bench/*_bench.py; do \
	  echo "== $$f"; $(VENV)/bin/python "$$f" --build $(BUILD)/cpp --smoke; \
	done

# The fuzz targets' corpus replay. libFuzzer needs clang; clang 19 is the
# first here whose C++ support covers the core. The two GCC builds above are
# the warnings gate; here clang's extra warnings are shown but do not stop
# the replay.
FUZZ_CC ?= clang-19
FUZZ_CXX ?= clang++-19
fuzz-test: setup
	$(CONFIGURE) -S . -B $(BUILD)/fuzz -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_C_COMPILER=$(FUZZ_CC) \
	  -DKELVORA_BUILD_FUZZ=ON -DKELVORA_BUILD_TESTS=OFF -DKELVORA_WERROR=OFF
	$(CMAKE) --build $(BUILD)/fuzz
	$(CTEST) --test-dir $(BUILD)/fuzz --output-on-failure --timeout $(CTEST_TIMEOUT) -j $(JOBS)

py-test: install
	for v in $(VENVS); do \
	  echo "== pytest ($$v)"; scripts/run-pytest.sh $$v -q python/tests; \
	done

clean:
	rm -rf $(BUILD)
