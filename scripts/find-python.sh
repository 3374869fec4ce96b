#!/usr/bin/env bash
# Prints the path of a working interpreter for the version given (e.g. 3.13),
# or nothing when the machine has none. A pyenv shim for a version that is not
# selected fails when run, so each candidate is tried, not just looked up.
set -uo pipefail

version="$1"
candidates=()
if command -v "python$version" >/dev/null 2>&1; then
  candidates+=("$(command -v "python$version")")
fi
if command -v pyenv >/dev/null 2>&1; then
  root="$(pyenv root 2>/dev/null || true)"
  if [ -n "$root" ]; then
    # Newest patch release first.
    while IFS= read -r dir; do
      candidates+=("$dir/bin/python$version")
    done < <(ls -d "$root/versions/$version".* 2>/dev/null | sort -t. -k3,3nr)
  fi
fi

for py in "${candidates[@]}"; do
  if [ -x "$py" ] && "$py" -c "import sys, venv; assert sys.version_info[:2] == tuple(map(int, '$version'.split('.')))" >/dev/null 2>&1; then
    "$py" -c "import sys; print(sys.executable)"
    exit 0
  fi
done
exit 0
