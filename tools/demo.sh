#!/usr/bin/env bash
# The main job: install, build the release agent, and run a short session against it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset release -DVESK_BENCH=OFF >/dev/null
cmake --build --preset release --target vesk-agent
python3 tools/session.py build/release/vesk-agent
