#!/usr/bin/env bash
# Installs, builds and runs the whole test suite: release build, then again under
# AddressSanitizer+UndefinedBehaviorSanitizer, then the concurrency tests under ThreadSanitizer.
# Pass preset names to run only some of them (e.g. tools/test.sh release).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
presets=("$@")
((${#presets[@]})) || presets=(release asan tsan)
for preset in "${presets[@]}"; do
    echo "=== $preset ==="
    cmake --preset "$preset" -DVESK_BENCH=OFF >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
