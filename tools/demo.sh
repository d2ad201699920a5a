#!/usr/bin/env bash
# The main job: install, build the release agent and the vesk tool, and take a guided tour.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset release -DVESK_BENCH=OFF >/dev/null
cmake --build --preset release --target vesk-agent vesk
bash tools/guided_session.sh build/release
