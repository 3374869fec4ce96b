#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping those already present.
set -euo pipefail

# CMake and Ninja come from the virtualenv (scripts/setup-venv.sh), so that
# every build uses one version of each.
packages=(
  build-essential
  libssl-dev libicu-dev nlohmann-json3-dev libgtest-dev libbenchmark-dev
  # The fuzz targets need clang with libFuzzer; 19 is the first in bookworm's
  # main whose C++ library support covers <expected>.
  clang-19 libclang-rt-19-dev
  # `make format-check`.
  clang-format-19
)

missing=()
for p in "${packages[@]}"; do
  # "install ok installed" only; a removed package leaves a config-files entry.
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "system packages: all present"
  exit 0
fi

echo "system packages: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
