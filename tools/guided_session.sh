#!/usr/bin/env bash
# A guided tour of vesk against a local vesk-agent, run on this project's own checkout.
# Usage: tools/guided_session.sh [BUILD_DIR]   (default: build/release; built when missing)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$root/build/release}")"
vesk="$build/client/vesk"

if [[ ! -x "$vesk" || ! -x "$build/vesk-agent" ]]; then
    echo "Building vesk and vesk-agent in $build ..."
    if [[ "$build" == "$root/build/release" ]]; then
        (cd "$root" && cmake --preset release >/dev/null &&
            cmake --build --preset release --target vesk vesk-agent >/dev/null)
    else
        cmake -S "$root" -B "$build" -G Ninja -DVESK_TESTS=OFF >/dev/null
        cmake --build "$build" --target vesk vesk-agent >/dev/null
    fi
fi

step=0
bold="" plain=""
if [[ -t 1 ]]; then bold=$'\033[1m' plain=$'\033[0m'; fi
# Prints a numbered explanation, then the command, then runs it.
run() {
    local about="$1"
    shift
    step=$((step + 1))
    printf "\n${bold}%d. %s${plain}\n" "$step" "$about"
    printf '   $ vesk'
    printf ' %q' "$@"
    printf '\n'
    "$vesk" "$@"
}

cd "$root"
echo "Each vesk command below starts a local vesk-agent ($build/vesk-agent), sends it"
echo "requests over the agent's stdin, prints the replies readably and ends the agent."

run "Who are we talking to? hello reports the agent's version, system, home and git." \
    hello
run "The same in machine-readable form: --json prints the reply's data as one JSON line." \
    --json hello
run "A listing: names in the checkout, sorted by bytes (upper case first)." \
    ls "$root"
run "Existence, type and size of a few paths in one go." \
    stat "$root/README.md" "$root/agent" "$root/docs/protocol.md"
run "Line counts of the agent's sources, counted on the agent's side in one request." \
    wc "$root"/agent/*.cpp
run "git runs in a directory you name; its output and exit code become vesk's." \
    git -C "$root" status --short --branch
run "Any program runs without a shell: each word is one argument, exit code passed through." \
    exec -C "$root" uname -sr
echo "vesk-agent speaks frames over stdin/stdout" >"${TMPDIR:-/tmp}/vesk-guided-$$"
run "stdin travels as the program's input (here: a file counted by wc on the agent)." \
    exec -C "$root" wc -w <"${TMPDIR:-/tmp}/vesk-guided-$$"
rm -f "${TMPDIR:-/tmp}/vesk-guided-$$"
run "Failures name their cause and exit with 1 (the next line is expected to fail)." \
    cat "$root/no-such-file" || printf '   (exit status %d)\n' $?
run "Any request can be sent raw; --json shows the reply's header exactly as the agent wrote it." \
    --json call fs.countlines "{\"paths\":[\"$root/README.md\"]}"

printf '\nMore: vesk --help; the protocol itself is described in docs/protocol.md.\n'
printf 'Remote hosts: copy vesk-agent there and use vesk --ssh HOST ... (ssh from PATH).\n'
