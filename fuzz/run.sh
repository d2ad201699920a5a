#!/usr/bin/env bash
# Builds the libFuzzer targets, replays fuzz/regressions/<target>/ and fuzzes each target for
# FUZZ_SECONDS (default 20) from a scratch copy of fuzz/corpus/<target>/. Non-zero exit on a
# build failure or a crash; crash inputs are kept in FUZZ_ARTIFACTS (default: a scratch dir).
#   FUZZ_BUILD_DIR (default build/fuzz), FUZZ_TARGETS (default: all)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
targets=${FUZZ_TARGETS:-envelope text count_lines}
(cd "$root" && cmake --preset fuzz -B "$build" >/dev/null)
cmake --build "$build" --target $(printf 'fuzz_%s ' $targets)

work=$(mktemp -d "${TMPDIR:-/tmp}/vesk-fuzz.XXXXXX")
artifacts=${FUZZ_ARTIFACTS:-$work/artifacts}
mkdir -p "$artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fuzz() { "$build/fuzz/fuzz_$t" "${flags[@]}" "$@" >>"$work/$t.log" 2>&1; }
failed=()
for t in $targets; do
    flags=(-timeout=30 -rss_limit_mb=2560 -artifact_prefix="$artifacts/$t-")
    [[ $t != envelope ]] || flags+=(-dict="$root/fuzz/json.dict")
    cp -R "$root/fuzz/corpus/$t" "$work/corpus-$t"
    regressions=("$root/fuzz/regressions/$t"/*)
    if { [[ ! -e ${regressions[0]} ]] || fuzz "${regressions[@]}"; } &&
        fuzz -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=1 "$work/corpus-$t"; then
        echo "fuzz_$t: $(awk '/number_of_executed_units/ {print $2}' "$work/$t.log") runs clean"
    else
        tail -n 60 "$work/$t.log"
        failed+=("$t")
    fi
done
if ((${#failed[@]})); then
    echo "fuzz targets with crashes: ${failed[*]} (inputs in $artifacts)"
    exit 1
fi
rm -rf "$work"
