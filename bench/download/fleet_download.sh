#!/usr/bin/env bash
# A row of controllers flashed at once (tarvik -d FILE DEV DEV ...) against
# one controller alone, both through pseudo-terminals to quarnix-sim paced
# at the same line rate, for bench/run-all.sh.
#
#   fleet_download.sh BIN_DIR KIB [DEVICES] [LINE_RATE]
#
# Prints, as "name value" lines:
#   fleet_single_wall_seconds   one device: the whole run of tarvik
#   fleet_all_wall_seconds      DEVICES devices at once: the whole run
#   fleet_line_seconds          the line limit: file bytes * 10 / LINE_RATE
#   fleet_single_cpu_seconds    tarvik's CPU (user + system) for one device
#   fleet_cpu_per_device_seconds  tarvik's CPU for all (the parent and its
#                               children) divided by DEVICES
# Exit 0 only when every controller got the file whole.
set -uo pipefail
bin=$1 kib=$2 count=${3:-8} rate=${4:-115200}
dir=$(mktemp -d /tmp/fleet-bench-XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
head -c $((kib * 1024)) /dev/urandom >"$dir/bench.bin"
cd "$dir" || exit 1
echo "C1 B$rate P0 D8 S1" >tarvik.ini
devices=()
for i in $(seq 0 "$count"); do
    mkdir -p "store$i"
    "$bin/quarnix-sim" --link "$dir/com$i" --quiet --store "store$i" --line-rate "$rate" 2>/dev/null &
    pids+=($!)
done
for i in $(seq 0 "$count"); do
    for _ in $(seq 500); do [ -e "$dir/com$i" ] && break; sleep 0.01; done
    [ "$i" -gt 0 ] && devices+=("com$i")
done
# "elapsed user system" of the command, its waited-for children included
# (bash's time: milliseconds, from the kernel's count).
measure() {
    local TIMEFORMAT='%R %U %S' status
    { time "$@" </dev/null >out.txt 2>err.txt; } 2>time.txt
}
measure "$bin/tarvik" -d bench.bin com0 || { cat err.txt >&2; exit 1; }
read -r w1 u1 s1 <time.txt
measure "$bin/tarvik" -d bench.bin --report report.json "${devices[@]}" || { cat err.txt >&2; exit 1; }
read -r wn un sn <time.txt
for i in $(seq 0 "$count"); do
    for _ in $(seq 500); do cmp -s bench.bin "store$i/FLASH.bench.bin" && break; sleep 0.01; done
    cmp -s bench.bin "store$i/FLASH.bench.bin" || { echo "fleet_download: com$i did not get the file whole" >&2; exit 1; }
done
[ "$(grep -c '"status":"ok"' report.json)" -eq "$count" ] || { echo "fleet_download: the report is not all ok" >&2; exit 1; }
awk -v w1="$w1" -v c1="$(awk -v a="$u1" -v b="$s1" 'BEGIN { print a + b }')" -v wn="$wn" \
    -v cn="$(awk -v a="$un" -v b="$sn" 'BEGIN { print a + b }')" -v n="$count" -v bytes=$((kib * 1024)) -v rate="$rate" 'BEGIN {
    printf "fleet_single_wall_seconds %.3f\n", w1
    printf "fleet_all_wall_seconds %.3f\n", wn
    printf "fleet_line_seconds %.3f\n", bytes * 10 / rate
    printf "fleet_single_cpu_seconds %.4f\n", c1
    printf "fleet_cpu_per_device_seconds %.4f\n", cn / n
}'
