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
    # The package manager's output is shown only when the installation fails.
    log="$(mktemp "${TMPDIR:-/tmp}/vesk-install.XXXXXX")"
    echo "installing ${missing[*]} (output in $log) ..."
    export DEBIAN_FRONTEND=noninteractive
    if ! { $sudo apt-get update -qq &&
        $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
        cat "$log" >&2
        echo "installing failed; the output above is also in $log" >&2
        exit 1
    fi
    rm -f "$log"
fi
