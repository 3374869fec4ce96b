#!/usr/bin/env bash
# Runs Python tests against the module of a sanitizer build:
#   run-sanitized-pytest.sh BUILD_DIR VENV PYTEST_ARGS...
# The interpreter is not built with the sanitizers, so their runtimes are
# preloaded (the address sanitizer's must come first), and leak checking is
# off: the interpreter keeps allocations until exit by design. The build
# directory goes first on the import path, and the run stops unless the
# module imported is the one from that build.
set -euo pipefail

build="$(cd "$1" && pwd)"
venv="$2"
shift 2

cxx="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"
runtimes="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libubsan.so)"
for lib in $runtimes; do
  if [ ! -e "$lib" ]; then
    echo "sanitizer runtime not found: $lib" >&2
    exit 1
  fi
done

export LD_PRELOAD="$runtimes"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"

"$venv/bin/python" -c '
import sys, kelvora
if not kelvora.__file__.startswith(sys.argv[1] + "/"):
    sys.exit(f"imported {kelvora.__file__}, not the module of {sys.argv[1]}")
' "$build/python"
# Sanitizer reports go to the standard error of the process, which pytest
# must then not capture: an aborted run would lose them.
exec "$(dirname "$0")/run-pytest.sh" "$venv" --capture=sys "$@"
