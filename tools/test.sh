#!/usr/bin/env bash
# Installs, builds and runs the whole test suite: the release build, the same tests under
# AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer, and a short run of
# every fuzz target over its corpus. Pass step names to run only some of them
# (e.g. tools/test.sh release).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
steps=("$@")
((${#steps[@]})) || steps=(release asan tsan fuzz)
for step in "${steps[@]}"; do
    echo "=== $step ==="
    if [[ $step == fuzz ]]; then
        FUZZ_SECONDS=${FUZZ_SECONDS:-15} bash fuzz/run.sh
        continue
    fi
    cmake --preset "$step" >/dev/null
    cmake --build --preset "$step"
    ctest --preset "$step"
done
