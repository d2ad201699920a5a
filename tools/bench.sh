#!/usr/bin/env bash
# The benchmark suite: builds the release agent and the benchmark programs, prepares the
# inputs, runs every workload for the agent and for its peer or floor in the same run
# (alternating them, several repetitions each, client and server pinned to CPUs), prints a
# table of medians, spreads and ratios, writes it to bench/results.md and draws docs/bench.png.
#
#   tools/bench.sh [--quick] [--reps=N]
#
# --quick: fewer repetitions, fewer operations, a 256 MiB file, a quarter of the large exec
# output and a shorter idle time before the first read and the first large exec; a smoke run,
# not figures.
# Environment: VESK_BENCH_BUILD (build directory, default build/release), VESK_BENCH_DIR
# (where the input file lives, default $TMPDIR/vesk-bench; kept between runs), VESK_BENCH_AGENT
# (an agent binary to measure instead of the one built here, for before-and-after runs).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
cd "$src"

quick=0
reps=7
for arg in "$@"; do
    case $arg in
    --quick) quick=1 reps=3 ;;
    --reps=*) reps=${arg#--reps=} ;;
    *) echo "usage: tools/bench.sh [--quick] [--reps=N]" >&2; exit 2 ;;
    esac
done
if ((quick)); then
    n_rtt=300 n_pipe=5000 n_exec=50 n_version=50 file_mib=256 exec_mib=256 idle=6
else
    n_rtt=2000 n_pipe=20000 n_exec=200 n_version=200 file_mib=1024 exec_mib=1024 idle=15
fi
# The large exec writes a sixteenth of its stdout to stderr: 1 GiB and 64 MiB in a full run.
# 1 GiB is exactly the largest frame (kMaxFrameLen), well inside the capture limits.
exec_out=$((exec_mib << 20)) exec_err=$((exec_mib << 16))

# --- tools --------------------------------------------------------------------------------
peer=/usr/lib/openssh/sftp-server
bash tools/install-deps.sh openssh-sftp-server gnuplot-nox util-linux

# --- build --------------------------------------------------------------------------------
build=${VESK_BENCH_BUILD:-$src/build/release}
echo "building the release agent and the benchmark programs in $build ..."
cmake --preset release -B "$build" -DVESK_BENCH=ON >/dev/null
cmake --build "$build" --target vesk-agent vesk_bench vesk_bench_floors -j2 >/dev/null
agent=${VESK_BENCH_AGENT:-$build/vesk-agent}
bench=$build/bench/suite/vesk_bench
floors=$build/bench/suite/floors

# --- inputs -------------------------------------------------------------------------------
dir=${VESK_BENCH_DIR:-${TMPDIR:-/tmp}/vesk-bench}
mkdir -p "$dir"
file=$dir/file_${file_mib}m
if [[ ! -f $file || $(stat -c %s "$file") -ne $((file_mib << 20)) ]]; then
    echo "writing a $file_mib MiB input file ..."
    head -c $((file_mib << 20)) /dev/urandom >"$file.tmp" && mv "$file.tmp" "$file"
fi
cat "$file" >/dev/null  # into the page cache
list=$dir/include.list
find /usr/include -type f >"$list"

# --- placement ----------------------------------------------------------------------------
# The round trip runs with client and server on one CPU and on two; everything else runs with
# the client on one CPU and the server (and anything it starts) on the other, except the line
# count: it counts on every CPU, so there the server (and each floor) may use them all while
# the client waits.
ncpu=$(nproc)
c0=0 c1=$((ncpu > 1 ? 1 : 0))

raw=$(mktemp)
trap 'rm -f "$raw"' EXIT
common=(--agent="$agent" --peer="$peer" --floors="$floors" --reps="$reps")
run() {
    echo "  $*" >&2
    "$bench" "$@" "${common[@]}" | tee -a "$raw"
}
start=$(date +%s)
echo "running (reps=$reps) ..."
run rtt --client-cpu=$c0 --server-cpu=$c0 --n=$n_rtt
run rtt --client-cpu=$c0 --server-cpu=$c1 --n=$n_rtt
run pipeline --client-cpu=$c0 --server-cpu=$c1 --n=$n_pipe
run read --client-cpu=$c0 --server-cpu=$c1 --file="$file" --idle=$idle
run exec --client-cpu=$c0 --server-cpu=$c1 --n=$n_exec
run exec-large --client-cpu=$c0 --server-cpu=$c1 --out-bytes=$exec_out --err-bytes=$exec_err \
    --idle=$idle
run countlines --client-cpu=$c0 --server-cpu=-1 --list="$list"
run version --client-cpu=$c0 --server-cpu=$c1 --n=$n_version
elapsed=$(($(date +%s) - start))

# --- table --------------------------------------------------------------------------------
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
machine="$ncpu CPUs ($cpu_model), Linux $(uname -r), $(date -u +%Y-%m-%d)"
mode=$([[ $quick == 1 ]] && echo "quick run (smoke test, not figures)" || echo "full run")
results=$src/bench/results.md
awk -F'\t' -v machine="$machine" -v reps="$reps" -v mode="$mode" -v elapsed="$elapsed" '
function num(x) { return (x >= 10000) ? sprintf("%.0f", x) : sprintf("%.4g", x) }
function title(w) {
    if (w == "a-1cpu") return "a: one fs.stat at a time, client and server on one CPU"
    if (w == "a-2cpu") return "a: one fs.stat at a time, client and server on two CPUs"
    if (w == "b") return "b: pipelined fs.stat"
    if (w == "c") return "c: fs.read of the whole file from the page cache"
    if (w == "d") return "d: exec /bin/true, one at a time"
    if (w == "exec-large") return "exec-large: exec of a child writing " m["exec-large.out_mib"] \
        " MiB to stdout and " m["exec-large.err_mib"] " MiB to stderr"
    if (w == "e") return "e: fs.countlines over every regular file under /usr/include"
    if (w == "f") return "f: --version, start to exit"
    return w
}
$1 == "R" { r[++nr] = $0 }
$1 == "C" { c[++nc] = $0 }
$1 == "M" { m[$2] = $3 }
END {
    print "# Benchmark results"
    print ""
    print "Machine: " machine ". " mode ", " reps " repetitions per subject, alternating, " elapsed " s in all."
    print ""
    print "The machine is shared and noisy: absolute figures move from run to run; only the ratios"
    print "between subjects measured in the same run mean anything."
    print ""
    print "| workload | subject | median | min .. max | unit |"
    print "|---|---|---:|---:|---|"
    for (i = 1; i <= nr; ++i) {
        split(r[i], f, "\t")
        printf "| %s | %s | %s | %s .. %s | %s |\n", title(f[2]), f[3], num(f[5]), num(f[6]), num(f[7]), f[4]
    }
    print ""
    print "| workload | comparison | agent / other (same metric) | agent cost / other cost | goal | met |"
    print "|---|---|---:|---:|---|---|"
    for (i = 1; i <= nc; ++i) {
        split(c[i], f, "\t")
        printf "| %s | %s | %.2f | %.2f | %s | %s |\n", title(f[2]), f[3], f[4], f[5], f[6], f[7]
    }
    if ("g.peak_rss_mib" in m) {
        met = (m["g.over_file_mib"] <= 64) ? "yes" : "no"
        printf "| g: peak memory of fs.read of %s MiB | peak RSS %s MiB = file + %s MiB | | | <= file + 64 MiB | %s |\n", \
            m["g.file_mib"], m["g.peak_rss_mib"], m["g.over_file_mib"], met
    }
    if ("e.agent_counted" in m) {
        print ""
        print "Workload e counted " m["e.agent_counted"] " out of " m["e.files"] " paths; the C floor counted the same."
    }
}' "$raw" >"$results"
echo
cat "$results"

# --- chart --------------------------------------------------------------------------------
# One bar per comparison: the agent's cost over the other's, so 1 is parity and lower is
# better; rates are inverted into costs. The goal of each comparison, where it has one, is a
# marker on its bar.
dat=$(mktemp)
trap 'rm -f "$raw" "$dat"' EXIT
awk -F'\t' '$1 == "C" {
    goal = "NaN"
    if ($6 != "-") { split($6, g, " "); goal = (g[1] == ">=") ? 1 / g[2] : g[2] }
    colour = ($7 == "yes") ? "0x2e8b57" : ($7 == "no") ? "0xc0392b" : "0x808080"
    label = $2 " " $3
    sub(/^a-1cpu/, "a 1 CPU", label); sub(/^a-2cpu/, "a 2 CPUs", label)
    sub(/^exec-large/, "large exec", label)
    printf "%d\t\"%s\"\t%s\t%s\t%s\n", ++n, label, $5, goal, colour
}' "$raw" >"$dat"
mkdir -p "$src/docs"
gnuplot <<EOF
set terminal pngcairo size 1300,760 font "DejaVu Sans,10" noenhanced
set output "$src/docs/bench.png"
set title "vesk-agent against its peer (sftp-server) and the floor: agent cost / other's cost (lower is better)\n$machine"
set style fill solid 0.85 border -1
set boxwidth 0.6
set yrange [0:*]
set grid ytics
set ylabel "agent cost / other cost  (1 = parity)"
set xtics rotate by -30 left nomirror
set key outside top center horizontal
set offsets 0, 0, graph 0.08, 0
set arrow from graph 0, first 1 to graph 1, first 1 nohead dt 2 lw 1.5 lc rgb "black"
set bmargin 15
set rmargin 12
plot "$dat" using 1:3:5:xtic(2) with boxes lc rgb variable title "agent / other: green goal met, red goal missed, grey no goal", \
     "" using (\$1 - 0.4):4:(0.8):(0) with vectors nohead lw 3 lc rgb "black" title "goal", \
     "" using 1:3:(sprintf("%.2f", \$3)) with labels offset 0,0.8 notitle
EOF
echo
echo "table: $results"
echo "chart: $src/docs/bench.png"
echo "Note: the machine is shared and noisy; only same-run ratios mean anything."
