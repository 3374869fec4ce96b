#!/usr/bin/env bash
# Runs the Python tests with the virtualenv VENV. pytest's exit status 5 means
# it collected no tests (e.g. before any exist); that is not a failure here,
# every other non-zero status is.
set -uo pipefail

venv="$1"
shift
"$venv/bin/python" -m pytest "$@"
status=$?
if [ "$status" -eq 5 ]; then
  echo "pytest ($venv): no tests collected"
  exit 0
fi
exit "$status"
