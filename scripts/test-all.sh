#!/usr/bin/env bash
# Installs what the tests need, builds with the given preset (default:
# "default") and runs every test of that preset.
#
#   scripts/test-all.sh [--load] [preset]
#
# --load (or TEST_LOAD=1 in the environment) runs the tests while two busy
# processes compete for the cores, as on a machine busy with other work: a
# test that holds only on an idle machine fails here.  The busy processes
# end with the script, however it ends.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
load="${TEST_LOAD:-0}"
if [ "${1:-}" = "--load" ]; then
    load=1
    shift
fi
preset="${1:-default}"
"$root/scripts/install-deps.sh"
cd "$root"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

busy=()
stop_busy() {
    local pid
    for pid in "${busy[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${busy[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    busy=()
}
if [ "$load" = 1 ]; then
    trap stop_busy EXIT
    trap 'stop_busy; exit 130' INT
    trap 'stop_busy; exit 143' TERM
    for _ in 1 2; do
        bash -c 'while :; do :; done' &
        busy+=("$!")
    done
    echo "test-all: running the tests beside ${#busy[@]} busy processes (pids ${busy[*]})"
fi
ctest --preset "$preset" -j "$(nproc)"
