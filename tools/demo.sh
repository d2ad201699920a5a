#!/usr/bin/env bash
# The main job: install, build the release agent and the vesk tool, and take a guided tour.
# Each step shows the command it runs, exactly as run.
set -euo pipefail
cd "$(dirname "$0")/.."
run() {
    printf '$ %s\n' "$1"
    eval "$1"
}
bash tools/install-deps.sh || exit 1
run "cmake --preset release >/dev/null"
run "cmake --build --preset release --target vesk-agent vesk"
run "bash tools/guided_session.sh build/release"
