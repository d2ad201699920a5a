#!/usr/bin/env bash
# Installs what building and testing vesk-agent needs on Debian 12, skipping what is present.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format git python3 file
          nlohmann-json3-dev googletest libgtest-dev libgmock-dev libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
