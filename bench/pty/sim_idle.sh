#!/usr/bin/env bash
# quarnix-sim idle and at its end, for bench/run-all.sh:
#
#   sim_idle.sh BIN_DIR SECONDS
#
# Prints "sim_idle_wakeups_per_s <n>" (context switches of the idle
# simulator, from /proc/PID/status, over SECONDS) and "sim_sigterm_exit_ms
# <ms>" (from SIGTERM to the process's end, waited on by its parent).
set -uo pipefail
bin=$1 secs=$2
dir=$(mktemp -d /tmp/sim-idle-XXXXXX)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
"$bin/quarnix-sim" --link "$dir/com1" 2>/dev/null &
sim_pid=$!
for _ in $(seq 500); do [ -e "$dir/com1" ] && break; sleep 0.01; done
[ -e "$dir/com1" ] || { echo "sim_idle: the simulator did not start" >&2; exit 1; }
switches() {
    awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { n += $2 } END { print n }' "/proc/$sim_pid/status"
}
sleep 1
a=$(switches)
sleep "$secs"
b=$(switches)
awk -v a="$a" -v b="$b" -v s="$secs" 'BEGIN { printf "sim_idle_wakeups_per_s %.2f\n", (b - a) / s }'
start=$(date +%s%N)
kill -TERM "$sim_pid"
wait "$sim_pid"
end=$(date +%s%N)
sim_pid=
awk -v a="$start" -v b="$end" 'BEGIN { printf "sim_sigterm_exit_ms %.1f\n", (b - a) / 1e6 }'
