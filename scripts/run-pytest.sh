#!/usr/bin/env bash
# Runs the Python tests with the virtualenv VENV. Every non-zero status of
# pytest is a failure, exit status 5 (no tests collected) too: a suite whose
# collection finds nothing has not passed.
set -uo pipefail

venv="$1"
shift
"$venv/bin/python" -m pytest "$@"
status=$?
if [ "$status" -eq 5 ]; then
  echo "pytest ($venv): no tests collected" >&2
fi
exit "$status"
