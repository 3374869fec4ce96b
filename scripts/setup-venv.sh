#!/usr/bin/env bash
# Makes the virtualenv VENV for interpreter PYTHON (if it is not there yet) and
# installs the build and test packages into it, skipping those present.
set -euo pipefail

python="$1"
venv="$2"

# A venv whose interpreter has gone (e.g. after a Python upgrade) is rebuilt.
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "" >/dev/null 2>&1; then
  echo "virtualenv: creating $venv with $python"
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi

# Distribution name -> module to import to see that it is there.
declare -A wanted=(
  [scikit-build-core]=scikit_build_core
  [cmake]=cmake
  [ninja]=ninja
  [pytest]=pytest
  [hypothesis]=hypothesis
  [prov]=prov
  # Benchmarks only: the peers the module is measured against.
  [orjson]=orjson
  [networkx]=networkx
)

missing=()
for dist in "${!wanted[@]}"; do
  if ! "$venv/bin/python" -c "import ${wanted[$dist]}" >/dev/null 2>&1; then
    missing+=("$dist")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "virtualenv $venv: packages present"
  exit 0
fi
echo "virtualenv $venv: installing ${missing[*]}"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check "${missing[@]}"
