#!/usr/bin/env bash
# Runs every benchmark and prints one table: each figure beside its
# reference, measured in the same run on this machine, and their ratio.
#
#   bash bench/run-all.sh            full form (about 4 minutes)
#   bash bench/run-all.sh --short    short form (under a minute; CI)
#
# Installs the Debian packages it needs, builds the default preset.  Exits
# non-zero only when a benchmark could not run at all; the figures are
# never judged here (timings on a shared machine are not assertions).
# See docs/benchmarks.md for what each figure means.
set -uo pipefail
cd "$(dirname "$0")/.."

short=0
[ "${1:-}" = "--short" ] && short=1

bash scripts/install-deps.sh lrzsz picocom tmux valgrind procps >/dev/null || {
    echo "run-all: cannot install the benchmark tools" >&2
    exit 1
}
cmake --preset default >/dev/null || exit 1
cmake --build --preset default --target tarvik quarnix-sim modemlines download_bench pty_floor xmodem_pair term_bench \
    can_bench can_bench_ce ocelo-recv ocelo-send ocelo-socketcand oceloLnx_shared slotsim_shared >/dev/null || { echo "run-all: build failed" >&2; exit 1; }

bin=$PWD/build/bin
work=$(mktemp -d /tmp/bench-run-XXXXXX)
trap 'rm -rf "$work"' EXIT

if [ $short -eq 1 ]; then
    fleet_kib=32; reps=1; kib=1024; rounds=5000; rate_kib=24; disp_mib=4; idle_s=5; samples=300; can_s=1; cg_frames=1000; py_frames=2000; py_rounds=3; scd_s=5
else
    fleet_kib=128; reps=3; kib=4096; rounds=20000; rate_kib=256; disp_mib=20; idle_s=20; samples=2000; can_s=3; cg_frames=5000; py_frames=10000; py_rounds=5; scd_s=30
fi

failed=()
declare -A V  # figure name -> list of values, one per repetition

# Runs a benchmark program; its "name value" lines are added to V under
# prefix.  A program that fails is recorded and the run goes on.
run() {
    local label=$1 prefix=$2
    shift 2
    local out
    if ! out=$("$@" 2>"$work/err"); then
        failed+=("$label")
        echo "run-all: $label failed: $(tail -3 "$work/err")" >&2
    fi
    while read -r name value; do
        [ -n "$name" ] && V[$prefix$name]="${V[$prefix$name]:-} $value"
    done <<<"$out"
}

# Median of the values given.
median() {
    printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {if (NR == 0) print "nan"; else print a[int((NR + 1) / 2)]}'
}
get() { median ${V[$1]:-}; }

echo "== benchmarks ($([ $short -eq 1 ] && echo short || echo full) form) on $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2

# 1. Download.  The three measurements take turns, so that the machine's
# slow and fast moments fall on all of them alike.
head -c $((kib * 1024)) /dev/urandom >"$work/xm.bin"
mkdir -p "$work/xm"
for r in $(seq $reps); do
    echo "-- download, round $r" >&2
    run "download" "" "$bin/download_bench" --kib "$kib"
    run "pty floor" "" "$bin/pty_floor" "$rounds" 260
    run "xmodem" "" "$bin/xmodem_pair" "$work/xm.bin" "$work/xm"
done
for r in 115200 460800 921600; do
    echo "-- download at $r bit/s" >&2
    run "download at $r" "rate${r}_" "$bin/download_bench" --kib $((rate_kib * r / 115200)) --line-rate $r
done
# The same download by the program without a console (tarvik -d), at the
# first rate: the transfer as tarvik reports it, and the whole run.
echo "-- headless download at 115200 bit/s" >&2
run "headless download" "rate115200_" bash bench/download/headless_download.sh "$bin" "$rate_kib" 115200
# The same with each answer held as a USB adapter's latency timer holds it:
# 16 ms (the common chips' default) and 1 ms (with low latency).
for d in 16 1; do
    echo "-- headless download at 115200 bit/s, answers held $d ms" >&2
    run "download, answers held $d ms" "delay${d}_" bash bench/download/headless_download.sh "$bin" "$rate_kib" 115200 $d
done
# The simulator idle, and how soon it ends at SIGTERM.
echo "-- quarnix-sim idle, ${idle_s} s" >&2
run "simulator idle" "" bash bench/pty/sim_idle.sh "$bin" "$idle_s"

# A row of 8 controllers flashed at once against one alone, same line rate.
echo "-- 8 controllers at once at 115200 bit/s" >&2
for r in $(seq $reps); do
    run "fleet download" "" bash bench/download/fleet_download.sh "$bin" "$fleet_kib" 8 115200
done

# 2. Display throughput in a tmux pane.
for r in $(seq $reps); do
    echo "-- display, round $r" >&2
    run "display tarvik" "tarvik_" "$bin/term_bench" display "tarvik=$bin/tarvik" "$disp_mib"
    run "display picocom" "picocom_" "$bin/term_bench" display picocom "$disp_mib"
    run "display cat" "cat_" "$bin/term_bench" display cat "$disp_mib"
done

# 3. Idle cost (both at once: they are idle).
echo "-- idle, ${idle_s} s" >&2
"$bin/term_bench" idle "tarvik=$bin/tarvik" "$idle_s" >"$work/idle.tarvik" 2>"$work/idle.tarvik.err" &
p1=$!
"$bin/term_bench" idle picocom "$idle_s" >"$work/idle.picocom" 2>"$work/idle.picocom.err" &
p2=$!
wait $p1 || failed+=("idle tarvik")
wait $p2 || failed+=("idle picocom")
run "idle tarvik" "tarvik_" cat "$work/idle.tarvik"
run "idle picocom" "picocom_" cat "$work/idle.picocom"

# 4. Reaction time, and its reference: one byte through two hops.
echo "-- reaction, $samples samples" >&2
run "reaction" "" "$bin/term_bench" reaction "$bin/tarvik" "$samples"
run "pty one-byte round trip" "rtt1_" "$bin/pty_floor" "$rounds" 1
# CTS change -> title, on a line given modem lines by lib/libmodemlines.so.
echo "-- CTS change to title, $((samples / 10)) samples" >&2
run "cts to title" "" "$bin/term_bench" cts "$bin/tarvik" "$((samples / 10))"

# 4b. tarvik.exe under wine, on the same kind of line: idle cost and reaction.
# Needs wine and the Windows build (build-mingw/bin/tarvik.exe, made here
# when mingw-w64 is installed); left out (n/a) without them.
wexe=$PWD/build-mingw/bin/tarvik.exe
if command -v wineserver >/dev/null && command -v x86_64-w64-mingw32-g++ >/dev/null; then
    { cmake --preset mingw >/dev/null && cmake --build --preset mingw --target tarvik >/dev/null; } ||
        echo "run-all: the Windows build failed" >&2
fi
if command -v wineserver >/dev/null && [ -f "$wexe" ]; then
    echo "-- tarvik.exe under wine: idle ${idle_s} s, reaction $samples samples" >&2
    saved_display=${DISPLAY:-}
    unset DISPLAY  # wine's desktop would need it
    export WINEPREFIX=$work/wine WINEDEBUG=-all TARVIK_EXE=$wexe
    wloader=wine
    [ -x /usr/lib/wine/wine64 ] && wloader=/usr/lib/wine/wine64 && export WINELOADER=$wloader
    timeout 300 $wloader wineboot -i >/dev/null 2>&1
    run "idle tarvik.exe" "wine_" "$bin/term_bench" idle "tarvik=$PWD/bench/wine/tarvik-wine.sh" "$idle_s"
    run "reaction tarvik.exe" "wine_" "$bin/term_bench" reaction "$PWD/bench/wine/tarvik-wine.sh" "$samples"
    wineserver -k >/dev/null 2>&1
    unset WINEPREFIX TARVIK_EXE WINELOADER
    [ -n "$saved_display" ] && export DISPLAY=$saved_display
fi

# 5. CAN, both deliverables.
echo "-- CAN oceloLnx" >&2
run "can oceloLnx" "lnx_" "$bin/can_bench" "$can_s" "$cg_frames"
echo "-- CAN OceloCE" >&2
run "can OceloCE" "ce_" "$bin/can_bench_ce" "$can_s" "$cg_frames"
# python-can's interface "ocelo" (Debian's python3 with python3-can), against
# python-can's "virtual" interface; its frame rate against the library's own
# send rate, the two taken in turns (can_bench --tx-rate between python's
# rounds).
if /usr/bin/python3 -c 'import can' 2>/dev/null; then
    echo "-- python-can interface, $samples samples, $py_rounds x $py_frames frames, idle ${idle_s} s" >&2
    run "python-can ocelo" "" env PYTHONPATH="$PWD/python:$PWD/build/python" LD_LIBRARY_PATH="$PWD/build/lib" \
        OCELO_RECV="$bin/ocelo-recv" CAN_BENCH="$bin/can_bench" \
        /usr/bin/python3 bench/can/python_bench.py "$samples" "$py_frames" "$idle_s" "$py_rounds"
fi
# ocelo-socketcand: a burst at the bus limit to python-can's socketcand
# client on this machine, every frame in order.
if /usr/bin/python3 -c 'import can' 2>/dev/null; then
    echo "-- ocelo-socketcand, ${scd_s} s burst at 1 Mbit/s" >&2
    run "ocelo-socketcand" "" /usr/bin/python3 bench/can/socketcand_bench.py "$bin" "$scd_s"
fi
if [ $short -eq 0 ]; then
    # The long run in both directions at the polling thread's pace (minutes).
    echo "-- CAN OceloCE, 100000 + 10000 frames both ways" >&2
    run "can OceloCE two ways" "ce_" "$bin/can_bench_ce" --two-way 100000 10000
fi

# ---- The table ---------------------------------------------------------------
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "nan" || b == "nan" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }
fmt() { awk -v a="$1" -v d="${2:-0}" 'BEGIN { if (a == "nan" || a == "") print "n/a"; else printf "%.*f", d, a }'; }

row() {  # figure, value, unit, reference, reference value, ratio, goal
    printf '| %s | %s %s | %s | %s | %s | %s |\n' "$1" "$2" "$3" "$4" "$5" "$6" "$7"
}

dl=$(get download_Bps); fl=$(get floor_payload_Bps); xm=$(get xmodem_Bps)
line_limit() { awk -v r="$1" 'BEGIN { printf "%.0f", r / 10 / 261 * 256 }'; }
dt=$(get tarvik_display_Bps); dp=$(get picocom_display_Bps); dc=$(get cat_display_Bps)
iw=$(get tarvik_idle_wakeups_per_s); pw=$(get picocom_idle_wakeups_per_s)
ic=$(get tarvik_idle_cpu_s_per_min); pc=$(get picocom_idle_cpu_s_per_min)
rtt1=$(get rtt1_floor_rtt_us)

echo
echo "| figure | value | reference | reference value | ratio | goal |"
echo "|---|---|---|---|---|---|"
row "download, pty (payload)" "$(fmt "$dl")" "B/s" "pty floor, 260-byte block + 1-byte answer" "$(fmt "$fl") B/s" "$(ratio "$dl" "$fl")" ">= 0.90"
row "download, pty (payload)" "$(fmt "$dl")" "B/s" "XMODEM-1K, sx -k to rx" "$(fmt "$xm") B/s" "$(ratio "$dl" "$xm")" "-"
for r in 115200 460800 921600; do
    rate=$(get rate${r}_download_Bps)
    row "download at $r bit/s" "$(fmt "$rate")" "B/s" "line limit, 256 of 261 bytes, 10 bits a byte" "$(line_limit $r) B/s" "$(ratio "$rate" "$(line_limit $r)")" ">= 0.97"
done
hd=$(get rate115200_headless_download_Bps); hw=$(get rate115200_headless_wall_seconds)
row "headless download (tarvik -d) at 115200 bit/s" "$(fmt "$hd")" "B/s" "line limit (interactive: $(fmt "$(get rate115200_download_Bps)") B/s)" "$(line_limit 115200) B/s" "$(ratio "$hd" "$(line_limit 115200)")" ">= 0.97"
row "headless download, whole run ($rate_kib KiB at 115200)" "$(fmt "$hw" 2)" "s" "-" "-" "-" "-"
fw1=$(get fleet_single_wall_seconds); fwn=$(get fleet_all_wall_seconds); fls=$(get fleet_line_seconds)
fc1=$(get fleet_single_cpu_seconds); fcn=$(get fleet_cpu_per_device_seconds)
row "8 controllers at once, whole run ($fleet_kib KiB each at 115200)" "$(fmt "$fwn" 2)" "s" "one controller alone" "$(fmt "$fw1" 2) s" "$(ratio "$fwn" "$fw1")" "<= 1.15"
row "one controller alone, whole run" "$(fmt "$fw1" 2)" "s" "line limit, bytes * 10 / 115200" "$(fmt "$fls" 2) s" "$(ratio "$fw1" "$fls")" "-"
row "8 controllers at once, tarvik's CPU per device" "$(fmt "$fcn" 3)" "s" "one controller alone" "$(fmt "$fc1" 3) s" "$(ratio "$fcn" "$fc1")" "<= 2.00"
d16=$(get delay16_headless_download_Bps); d1=$(get delay1_headless_download_Bps)
row "download at 115200 bit/s, answers held 1 ms (low latency)" "$(fmt "$d1")" "B/s" "answers held 16 ms (latency timer)" "$(fmt "$d16") B/s" "$(ratio "$d1" "$d16")" ">= 1.5"
row "quarnix-sim idle wakeups" "$(fmt "$(get sim_idle_wakeups_per_s)" 2)" "/s" "-" "-" "-" "<= 1 /s"
row "quarnix-sim SIGTERM to exit" "$(fmt "$(get sim_sigterm_exit_ms)" 1)" "ms" "-" "-" "-" "<= 200 ms"
row "display, tmux pane" "$(fmt "$dt")" "B/s" "picocom" "$(fmt "$dp") B/s" "$(ratio "$dt" "$dp")" ">= 1.00"
row "display, tmux pane" "$(fmt "$dt")" "B/s" "cat" "$(fmt "$dc") B/s" "$(ratio "$dt" "$dc")" ">= 0.80"
row "idle wakeups (all threads)" "$(fmt "$iw" 2)" "/s" "picocom" "$(fmt "$pw" 2) /s" "-" "<= 0.1 /s"
row "idle CPU" "$(fmt "$ic" 4)" "s/min" "picocom" "$(fmt "$pc" 4) s/min" "-" "none measurable"
row "reaction port -> screen, median" "$(fmt "$(get reaction_port_to_screen_median_us)" 1)" "us" "pty 1-byte round trip" "$(fmt "$rtt1" 1) us" "$(ratio "$(get reaction_port_to_screen_median_us)" "$rtt1")" "< 500 us"
row "reaction port -> screen, p99" "$(fmt "$(get reaction_port_to_screen_p99_us)" 1)" "us" "" "" "" ""
row "reaction key -> port, median" "$(fmt "$(get reaction_key_to_port_median_us)" 1)" "us" "pty 1-byte round trip" "$(fmt "$rtt1" 1) us" "$(ratio "$(get reaction_key_to_port_median_us)" "$rtt1")" "< 500 us"
row "reaction key -> port, p99" "$(fmt "$(get reaction_key_to_port_p99_us)" 1)" "us" "" "" "" ""
row "CTS change -> title, median" "$(fmt "$(get cts_to_title_median_us)" 1)" "us" "" "" "" "< 5000 us"
row "CTS change -> title, p99" "$(fmt "$(get cts_to_title_p99_us)" 1)" "us" "" "" "" ""
row "tarvik.exe under wine: idle wakeups (all threads)" "$(fmt "$(get wine_idle_wakeups_per_s)" 2)" "/s" "tarvik on Linux" "$(fmt "$iw" 2) /s" "-" "<= 1 /s"
row "tarvik.exe under wine: idle CPU" "$(fmt "$(get wine_idle_cpu_s_per_min)" 4)" "s/min" "tarvik on Linux" "$(fmt "$ic" 4) s/min" "-" "none measurable"
row "tarvik.exe under wine: reaction port -> screen, median" "$(fmt "$(get wine_reaction_port_to_screen_median_us)" 1)" "us" "tarvik on Linux" "$(fmt "$(get reaction_port_to_screen_median_us)" 1) us" "$(ratio "$(get wine_reaction_port_to_screen_median_us)" "$(get reaction_port_to_screen_median_us)")" "no worse than before"
bus=$(get lnx_bus_limit_fps); [ "$bus" = nan ] && bus=9009
for d in lnx ce; do
    name=$([ $d = lnx ] && echo oceloLnx || echo OceloCE)
    rxl=$(( $(fmt "$(get ${d}_rx_lost)") + $(fmt "$(get ${d}_rx_out_of_order)") + $(fmt "$(get ${d}_rx_overflow_reports)") )) 2>/dev/null || rxl="n/a"
    txl=$(( $(fmt "$(get ${d}_tx_lost)") + $(fmt "$(get ${d}_tx_out_of_order)") + $(fmt "$(get ${d}_tx_overflow_reports)") )) 2>/dev/null || txl="n/a"
    row "$name GetCANMsg, generator at full speed" "$(fmt "$(get ${d}_rx_full_fps)")" "frames/s" "1 Mbit/s bus, 8-byte standard frames" "$bus frames/s" "$(ratio "$(get ${d}_rx_full_fps)" "$bus")" ">= 1.00"
    rxc=$(fmt "$(get ${d}_rx_lost_commands)"); txc=$(fmt "$(get ${d}_tx_lost_commands)")
    row "$name GetCANMsg, bus-rate traffic (lost frames, lost commands)" "$(fmt "$(get ${d}_rx_bus_fps)") ($rxl, $rxc)" "frames/s" "bus limit" "$bus frames/s" "$(ratio "$(get ${d}_rx_bus_fps)" "$bus")" ">= 1.00, 0 lost"
    row "$name SendCANMsg to a second board (lost frames, lost commands)" "$(fmt "$(get ${d}_tx_fps)") ($txl, $txc)" "frames/s" "bus limit" "$bus frames/s" "$(ratio "$(get ${d}_tx_fps)" "$bus")" ">= 1.00, 0 lost"
    if [ $d = lnx ]; then
        row "$name SendCANMsg against the firmware-paced limit (CPU per frame)" "$(fmt "$(get ${d}_tx_fps)") ($(fmt "$(get ${d}_tx_cpu_us_per_frame)" 1) us)" "frames/s" "one frame per 200 us reaction" "$(fmt "$(get ${d}_tx_firmware_limit_fps)") frames/s" "$(ratio "$(get ${d}_tx_fps)" "$(get ${d}_tx_firmware_limit_fps)")" ">= 0.90"
        # The sender's CPU per frame against the time a frame takes at the
        # firmware's pace: the ratio is the share of a core the sender uses.
        period=$(awk -v f="$(get ${d}_tx_firmware_limit_fps)" 'BEGIN { if (f == "nan" || f + 0 == 0) print "nan"; else printf "%.1f", 1e6 / f }')
        row "$name SendCANMsg CPU per frame (acknowledgement polls per frame: $(fmt "$(get ${d}_tx_ack_polls_per_frame)" 1))" "$(fmt "$(get ${d}_tx_cpu_us_per_frame)" 1)" "us" "one frame per reaction time (a core that spins through it)" "$period us" "$(ratio "$(get ${d}_tx_cpu_us_per_frame)" "$period")" "<= 50 us (<= 0.25)"
    fi
    row "$name instructions per received frame" "$(fmt "$(get ${d}_rx_instr_per_frame)")" "" "" "" "" ""
    row "$name instructions per sent frame" "$(fmt "$(get ${d}_tx_instr_per_frame)")" "" "" "" "" ""
done
vl=$(get virtual_latency_median_us)
row "python-can ocelo: send() returned -> recv() returned, median (p99)" "$(fmt "$(get py_latency_ret_median_us)" 1) ($(fmt "$(get py_latency_ret_p99_us)" 1))" "us" "python-can virtual, send() -> recv()" "$(fmt "$vl" 1) us" "$(ratio "$(get py_latency_ret_median_us)" "$vl")" "<= 300 us"
row "python-can ocelo: send() called -> recv() returned, median" "$(fmt "$(get py_latency_call_median_us)" 1)" "us" "python-can virtual, send() -> recv()" "$(fmt "$vl" 1) us" "$(ratio "$(get py_latency_call_median_us)" "$vl")" "-"
row "python-can ocelo: waiting recv, CPU of its thread (whole process)" "$(fmt "$(get py_idle_recv_cpu_pct)" 3) ($(fmt "$(get py_idle_process_cpu_pct)" 3))" "% of a core" "python-can virtual" "$(fmt "$(get virtual_idle_recv_cpu_pct)" 3) %" "-" "<= 1 %"
row "python-can ocelo: frames/s sent and received (lost), median of $py_rounds" "$(fmt "$(get py_fps)") ($(fmt "$(get py_lost)"))" "frames/s" "oceloLnx SendCANMsg, in turns" "$(fmt "$(get py_ref_tx_fps)") frames/s" "$(fmt "$(get py_fps_ratio)" 2)" ">= 0.90, 0 lost"
row "ocelo-socketcand burst to a python-can client (lost, out of order; senders reached)" "$(fmt "$(get socketcand_fps)") ($(fmt "$(get socketcand_lost)"), $(fmt "$(get socketcand_out_of_order)"); $(fmt "$(get socketcand_send_fps)"))" "frames/s" "bus limit" "$bus frames/s" "$(ratio "$(get socketcand_fps)" "$bus")" "0 lost, 0 out of order"
row "ocelo-socketcand CPU during the burst" "$(fmt "$(get socketcand_server_cpu_pct)" 1)" "% of a core" "-" "-" "-" "-"
row "ocelo-recv listening, idle CPU (wakeups)" "$(fmt "$(get recv_tool_idle_cpu_pct)" 3) ($(fmt "$(get recv_tool_idle_wakeups_per_s)" 1) /s)" "% of a core" "-" "-" "-" "none measurable"
echo

if [ ${#failed[@]} -gt 0 ]; then
    echo "run-all: could not run: ${failed[*]}" >&2
    exit 1
fi
exit 0
