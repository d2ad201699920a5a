#!/usr/bin/env bash
# Installs Debian packages that are not installed yet, quietly: the named ones, or by default
# what building and testing vesk-agent needs on Debian 12. The one place the project's scripts
# install from.
#   tools/install-deps.sh [PACKAGE...]
set -euo pipefail
packages=("$@")
((${#packages[@]})) || packages=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format git
                                python3 file nlohmann-json3-dev googletest libgtest-dev libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=""
    ((EUID == 0)) || sudo=sudo
    echo "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
