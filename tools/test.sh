#!/usr/bin/env bash
# Installs, builds and runs the whole test suite: the release build, the same tests under
# AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer, and a short run of
# every fuzz target over its corpus. Pass step names to run only some of them
# (e.g. tools/test.sh release). Ends with one line, "N passed, N failed", where a skipped test
# counts as neither and is named; the exit status is 0 only when nothing failed.
set -uo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh || exit 1
steps=("$@")
((${#steps[@]})) || steps=(release asan tsan fuzz)
passed=0 failed=0 skipped=() broken=()
for step in "${steps[@]}"; do
    echo "=== $step ==="
    if [[ $step == fuzz ]]; then
        # One test per fuzz target: its line says "runs clean" or it failed.
        out=$(FUZZ_SECONDS=${FUZZ_SECONDS:-15} bash fuzz/run.sh 2>&1)
        status=$?
        echo "$out"
        clean=$(grep -c ' runs clean$' <<<"$out")
        passed=$((passed + clean))
        if ((status != 0)); then
            failed=$((failed + 1))
            broken+=("$step")
        fi
        continue
    fi
    if ! cmake --preset "$step" >/dev/null || ! cmake --build --preset "$step"; then
        failed=$((failed + 1))
        broken+=("$step (build)")
        continue
    fi
    out=$(ctest --preset "$step" 2>&1)
    echo "$out"
    # "100% tests passed, 0 tests failed out of 40"
    read -r bad total < <(sed -n 's/.* tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' <<<"$out")
    if [[ -z ${total:-} ]]; then
        failed=$((failed + 1))
        broken+=("$step (ctest)")
        continue
    fi
    # GoogleTest's skips pass for ctest; they are counted apart, by name.
    # ("[  SKIPPED ] Suite.Name", not the count line "[  SKIPPED ] 1 test, listed below:")
    mapfile -t skips < <(grep -ho '^\[  SKIPPED \] [A-Za-z_][A-Za-z0-9_/]*\.[A-Za-z0-9_/]*' \
        "build/$step/Testing/Temporary/LastTest.log" 2>/dev/null | cut -c14- | sort -u)
    skipped+=("${skips[@]/#/$step: }")
    passed=$((passed + total - bad - ${#skips[@]}))
    failed=$((failed + bad))
    ((bad == 0)) || broken+=("$step")
    unset bad total
done
summary="$passed passed, $failed failed"
((${#skipped[@]} == 0)) || summary+=", ${#skipped[@]} skipped ($(IFS=,; echo "${skipped[*]}" | sed 's/,/, /g'))"
((${#broken[@]} == 0)) || summary+="; failing: ${broken[*]}"
echo "$summary"
((failed == 0))
