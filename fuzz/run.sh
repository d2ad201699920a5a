#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a short fixed time as a regression check:
# first every known crash reproducer under fuzz/regressions/<target>/, then fuzzing from a
# temporary copy of fuzz/corpus/<target>/ (the committed corpus is never written to).
# Exits non-zero if a build fails or any target finds a crash.
#
#   FUZZ_SECONDS     time per target (default 20)
#   FUZZ_BUILD_DIR   build directory (default: the fuzz preset's, build/fuzz)
#   FUZZ_TARGETS     space-separated subset of the targets
#   FUZZ_ARTIFACTS   where crash inputs are kept (default: a temporary directory)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
targets=${FUZZ_TARGETS:-frame_reader envelope params text count_lines}

if [[ -z ${FUZZ_BUILD_DIR:-} ]] && cmake --list-presets 2>/dev/null | grep -q '"fuzz"'; then
    (cd "$root" && cmake --preset fuzz >/dev/null)
else
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVESK_SANITIZE=address,undefined -DVESK_FUZZ=ON -DVESK_TESTS=OFF -DVESK_BENCH=OFF \
        >/dev/null
fi
ninja -C "$build" $(printf 'fuzz_%s ' $targets)

work=$(mktemp -d "${TMPDIR:-/tmp}/vesk-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
artifacts=${FUZZ_ARTIFACTS:-$work/artifacts}
mkdir -p "$artifacts"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for t in $targets; do
    bin=$build/fuzz/fuzz_$t
    flags=(-timeout=30 -rss_limit_mb=2560 -artifact_prefix="$artifacts/$t-")
    case $t in
        envelope | params) flags+=(-dict="$root/fuzz/json.dict") ;;
    esac

    echo "== fuzz_$t"
    regressions=("$root/fuzz/regressions/$t"/*)
    if [[ -e ${regressions[0]} ]]; then
        if ! "$bin" "${flags[@]}" "${regressions[@]}" >"$work/$t-regressions.log" 2>&1; then
            tail -n 60 "$work/$t-regressions.log"
            failed+=("$t (regression)")
            continue
        fi
        echo "   ${#regressions[@]} regression inputs replayed clean"
    fi

    mkdir -p "$work/corpus-$t"
    cp -R "$root/fuzz/corpus/$t/." "$work/corpus-$t/"
    if "$bin" "${flags[@]}" -max_total_time="$seconds" -print_final_stats=1 \
        "$work/corpus-$t" >"$work/$t.log" 2>&1; then
        echo "   $(grep -m1 'stat::number_of_executed_units' "$work/$t.log" | awk '{print $2}') executions clean"
    else
        tail -n 60 "$work/$t.log"
        failed+=("$t")
    fi
done

if ((${#failed[@]})); then
    echo "fuzz targets with crashes: ${failed[*]} (inputs kept in $artifacts)"
    [[ -n ${FUZZ_ARTIFACTS:-} ]] || trap - EXIT  # keep the work directory for the artifacts
    exit 1
fi
echo "fuzz targets clean: $(wc -w <<<"$targets") of $(wc -w <<<"$targets")"
