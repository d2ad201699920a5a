#!/usr/bin/env bash
# The main job: install, build the release agent and the vesk tool, and take a guided tour.
# Each step shows the command it runs, exactly as run; the package manager's output goes to a
# log that is shown only when the installation fails.
set -euo pipefail
cd "$(dirname "$0")/.."
run() {
    printf '$ %s\n' "$1"
    eval "$1"
}
log="$(mktemp "${TMPDIR:-/tmp}/vesk-install.XXXXXX")"
echo "installing build dependencies (bash tools/install-deps.sh, output in $log) ..."
if ! bash tools/install-deps.sh >"$log" 2>&1; then
    cat "$log" >&2
    echo "installing failed; the output above is also in $log" >&2
    exit 1
fi
rm -f "$log"
run "cmake --preset release >/dev/null"
run "cmake --build --preset release --target vesk-agent vesk"
run "bash tools/guided_session.sh build/release"
