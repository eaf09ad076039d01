#!/usr/bin/env bash
# The download of `tarvik --download` (no console) through a pseudo-terminal
# to quarnix-sim, for bench/run-all.sh beside download_bench's SendFile run.
#
#   headless_download.sh BIN_DIR KIB [LINE_RATE [ANSWER_DELAY_MS]]
#
# ANSWER_DELAY_MS holds each of the simulator's answers that long, as a USB
# adapter's latency timer does (quarnix-sim --answer-delay).
#
# Prints "headless_download_Bps <payload bytes/s>" (the transfer alone, as
# tarvik reports it: from the controller's '!' to the last block's answer)
# and "headless_wall_seconds <s>" (the whole program: start, port set-up,
# LOAD, transfer, end).  Exit 0 only when the file arrived whole.
set -uo pipefail
bin=$1 kib=$2 rate=${3:-} delay=${4:-}
dir=$(mktemp -d /tmp/headless-bench-XXXXXX)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$dir/store"
head -c $((kib * 1024)) /dev/urandom >"$dir/bench.bin"
cd "$dir" || exit 1
"$bin/quarnix-sim" --link "$dir/com1" --quiet --store store ${rate:+--line-rate "$rate"} ${delay:+--answer-delay "$delay"} \
    2>/dev/null &
sim_pid=$!
for _ in $(seq 500); do [ -e "$dir/com1" ] && break; sleep 0.01; done
[ -n "$rate" ] && echo "C1 B$rate P0 D8 S1" >tarvik.ini
start=$(date +%s.%N)
"$bin/tarvik" -d bench.bin "$dir/com1" </dev/null >out.txt 2>err.txt || { cat err.txt >&2; exit 1; }
end=$(date +%s.%N)
# The simulator writes its store just after its last answer.
for _ in $(seq 500); do cmp -s bench.bin store/FLASH.bench.bin && break; sleep 0.01; done
cmp -s bench.bin store/FLASH.bench.bin || { echo "headless_download: the file did not arrive whole" >&2; exit 1; }
# "tarvik: bench.bin: N bytes in B blocks, S s, R KiB/s"
sed 's/^tarvik: bench.bin: //' err.txt |
    awk '/ bytes in / { bytes = $1 + 0; for (i = 1; i <= NF; ++i) if ($i == "s,") secs = $(i - 1) + 0 }
         END { if (secs > 0) printf "headless_download_Bps %.0f\n", bytes / secs }'
awk -v a="$start" -v b="$end" 'BEGIN { printf "headless_wall_seconds %.3f\n", b - a }'
