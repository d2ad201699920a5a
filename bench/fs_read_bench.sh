#!/usr/bin/env bash
# fs.read of a 1 GiB file in the page cache through the agent vs `cat FILE`, into the same
# discarding reader. Usage: bench/fs_read_bench.sh [REPETITIONS]
# VESK_AGENT=path picks an agent binary; otherwise a release build is made in build/bench-release.
# FS_READ_BENCH_FILE=path picks the file (default: a fresh 1 GiB file under $TMPDIR).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-7}
work=$(mktemp -d "${TMPDIR:-/tmp}/vesk-fs-read-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

agent=${VESK_AGENT:-}
if [[ -z $agent ]]; then
    cmake -S "$src" -B "$src/build/bench-release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DVESK_TESTS=OFF -DVESK_BENCH=OFF >/dev/null
    ninja -C "$src/build/bench-release" vesk-agent >/dev/null
    agent=$src/build/bench-release/vesk-agent
fi

"${CXX:-c++}" -std=c++20 -O2 -Wall -Wextra -o "$work/fs_read_bench" "$src/bench/fs_read/fs_read_bench.cpp"

file=${FS_READ_BENCH_FILE:-}
if [[ -z $file ]]; then
    file=$work/one_gib
    head -c $((1 << 30)) /dev/urandom >"$file"
fi
cat "$file" >/dev/null  # into the page cache

"$work/fs_read_bench" "$agent" "$file" "$reps"
