#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping those already present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libssl-dev libicu-dev nlohmann-json3-dev libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  # clang 14's C++ library support stops short of <expected>; the fuzz
  # targets build with clang 19 (in bookworm's main).
  clang-19 libclang-rt-19-dev
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
