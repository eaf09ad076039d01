#!/usr/bin/env bash
# Fault runs: tarvik in tmux against quarnix-sim's fault injection, end to
# end, and the CAN library against misbehaving simulated boards.
#
#   scripts/fault-runs.sh [--short] [--build DIR]
#
# Every run prints what it tries, and checks that nothing crashed (tarvik
# ends on ALT_X with status 0), nothing hung past its bound, no data was
# lost or altered (the files the simulator stored, or the bytes tarvik
# logged, are compared byte for byte) and nothing was written outside the
# working directory (a sentinel tree beside it, and the folders around it,
# are compared before and after).  Ends non-zero when any run failed.
# --short leaves out the slowest runs (silence waits out the full 10 s
# bound); docs/fault-runs.md lists what each run covers.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
short=0
build="$root/build"
while [ $# -gt 0 ]; do
    case "$1" in
        --short) short=1 ;;
        --build) build="$2"; shift ;;
        *) echo "usage: $0 [--short] [--build DIR]" >&2; exit 2 ;;
    esac
    shift
done
tarvik="$build/bin/tarvik"
sim="$build/bin/quarnix-sim"
canruns="$build/bin/can-fault-runs"
for p in "$tarvik" "$sim" "$canruns"; do
    [ -x "$p" ] || { echo "fault-runs: $p is missing (build the default preset first)" >&2; exit 2; }
done
command -v tmux >/dev/null || { echo "fault-runs: tmux is needed" >&2; exit 2; }

work=$(mktemp -d /tmp/tarvik-fault-XXXXXX)
sock="tarvik-fault-$$"
simpid=""
failures=0
evil="/tmp/tvkEvil$$"   # an absolute upload name (13 bytes at most)
evil=${evil:0:13}

tm() { tmux -L "$sock" -f /dev/null "$@" 2>/dev/null; }
cleanup() {
    tm kill-server
    [ -n "$simpid" ] && kill -9 "$simpid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

say() { printf '%s\n' "$*"; }
fail() { say "  FAILED: $*"; failures=$((failures + 1)); }

# ---- The sentinel tree and the folders around every working directory --------
mkdir -p "$work/sentinel/sub"
printf 'keep me' > "$work/sentinel/a.txt"
head -c 3000 /dev/urandom > "$work/sentinel/sub/b.bin"
snapshot() {
    (cd "$work" && find sentinel -printf '%p %y %s\n' | sort && find sentinel -type f -exec md5sum {} + | sort)
}
sentinel_before=$(snapshot)
[ -e "$evil" ] && { echo "fault-runs: $evil exists already" >&2; exit 2; }

# Checks after a run: the sentinel tree as it was, the run's folder holding
# only cwd/ and sim/, nothing new at the top, no absolute upload name.
check_surroundings() {
    local dir="$1"
    [ "$(snapshot)" = "$sentinel_before" ] || fail "the sentinel tree beside the working directory changed"
    local extra
    extra=$(ls -A "$dir" | grep -v -x -e cwd -e sim)
    [ -z "$extra" ] || fail "written beside the working directory: $extra"
    extra=$(ls -A "$work" | grep -v -x -e sentinel -e 'run-.*')
    [ -z "$extra" ] || fail "written in the folder above: $extra"
    [ -e "$evil" ] && { fail "an absolute upload name was written: $evil"; rm -f "$evil"; }
}

# ---- tarvik in tmux, quarnix-sim on a pseudo-terminal --------------------------
screen() { tm capture-pane -p -S -3000 -t 0; }
# wait_screen TEXT SECONDS: true when TEXT shows within the bound.
wait_screen() {
    local end=$((SECONDS + $2))
    while [ $SECONDS -le $end ]; do
        screen | grep -qF -- "$1" && return 0
        sleep 0.1
    done
    return 1
}
expect_screen() {
    wait_screen "$1" "$2" || { fail "\"$1\" not shown within $2 s"; screen | grep -v '^ *$' | tail -15 | sed 's/^/    | /'; return 1; }
}
keys() { tm send-keys -t 0 "$@"; }
type_line() { tm send-keys -t 0 -l "$1"; tm send-keys -t 0 Enter; }

# start_run NAME SIM-OPTIONS...: a fresh run folder, the simulator, tarvik.
run_dir=""
start_run() {
    local name="$1"
    shift
    run_dir="$work/run-$name"
    mkdir -p "$run_dir/cwd" "$run_dir/sim/store"
    (cd "$run_dir/sim" && exec "$sim" --link "$run_dir/sim/com1" --store store --transfer-timeout 4000 "$@" \
        >"$run_dir/sim/sim.log" 2>&1) &
    simpid=$!
    local i
    for i in $(seq 100); do [ -e "$run_dir/sim/com1" ] && break; sleep 0.05; done
    tm kill-server
    tm new-session -d -x 110 -y 50 -c "$run_dir/cwd" \
        "exec sh -c 'env TARVIK_COM1=$run_dir/sim/com1 $tarvik; echo \$? > $run_dir/status'"
    tm set-option -g remain-on-exit on
    tm set-option -g history-limit 5000
    wait_screen "now baudrate" 10 || fail "tarvik did not start"
}

# The controller still answers through tarvik.
check_alive() {
    keys C-F6
    sleep 0.3
    type_line "ver"
    expect_screen "Quarnix 2.10 (" 10 >/dev/null || fail "tarvik no longer talks to the controller"
}

# ALT_X ends tarvik with status 0 within its bound; the run folder is checked.
end_run() {
    keys M-x
    local i status=""
    for i in $(seq 200); do
        [ -s "$run_dir/status" ] && { status=$(cat "$run_dir/status"); break; }
        sleep 0.1
    done
    if [ -z "$status" ]; then
        fail "tarvik did not end within 20 s of ALT_X (hung)"
        tm kill-server
    elif [ "$status" != 0 ]; then
        fail "tarvik ended with status $status"
        screen | grep -v '^ *$' | tail -20 | sed 's/^/    | /'
    fi
    rm -f "$run_dir/status"
    tm kill-server
    [ -n "$simpid" ] && { kill "$simpid" 2>/dev/null; wait "$simpid" 2>/dev/null; simpid=""; }
    check_surroundings "$run_dir"
}

make_file() { head -c "$2" /dev/urandom > "$1"; }
same() { cmp -s "$1" "$2" || fail "$3: $(basename "$2") differs from what was sent"; }

# ---- Runs ---------------------------------------------------------------------

say "fault run: NAK storm: the file record NAKed twice (retried, then taken); block 3 NAKed 50 times (stops after three)"
start_run nak2 --nak-block 0:2
make_file "$run_dir/cwd/n.bin" 5000
keys F2; wait_screen "Input filename:" 5; type_line "n.bin"
keys F9
if expect_screen "Transfer time is" 30; then
    for i in $(seq 50); do [ -s "$run_dir/sim/store/FLASH.n.bin" ] && break; sleep 0.1; done
    same "$run_dir/cwd/n.bin" "$run_dir/sim/store/FLASH.n.bin" "NAK storm"
fi
check_alive
end_run
start_run nak3 --nak-block 3:50
make_file "$run_dir/cwd/n.bin" 5000
keys F2; wait_screen "Input filename:" 5; type_line "n.bin"
keys F9
expect_screen "Transfer timed out." 30
[ -e "$run_dir/sim/store/FLASH.n.bin" ] && fail "a file broken off by NAKs was stored as complete"
check_alive
end_run

say "fault run: garbage replies: block 2 answered with '?' instead of ACK or NAK"
start_run garbage --garbage-block 2
make_file "$run_dir/cwd/g.bin" 3000
keys F2; wait_screen "Input filename:" 5; type_line "g.bin"
keys F9
expect_screen "Transfer cancelled." 30
check_alive
end_run

if [ $short = 0 ]; then
    say "fault run: silence: the controller stops answering from block 1 on (bound 10 s)"
    start_run silence --silent-block 1 --transfer-timeout 60000
    make_file "$run_dir/cwd/q.bin" 3000
    keys F2; wait_screen "Input filename:" 5; type_line "q.bin"
    keys F9
    expect_screen "[No answer from the controller]" 25
    end_run
fi

# The simulator's answers are paced as on a 2400 bit/s line, so that the
# transfer is still under way a second after it began.
say "fault run: the port disappears during a download (the simulator killed a second into 4 MiB)"
start_run gone-down --line-rate 2400
make_file "$run_dir/cwd/big.bin" $((4 * 1024 * 1024))
keys F2; wait_screen "Input filename:" 5; type_line "big.bin"
keys F9
if expect_screen "Send file info" 30; then
    sleep 1
    kill -9 "$simpid"; wait "$simpid" 2>/dev/null; simpid=""
    expect_screen "Transfer time is" 30
fi
end_run

say "fault run: the port disappears during an upload (the simulator killed a second into 2 MiB)"
mkdir -p "$work/run-gone-up/sim"
make_file "$work/run-gone-up/sim/up.bin" $((2 * 1024 * 1024))
start_run gone-up --put "$work/run-gone-up/sim/up.bin" --line-rate 115200
type_line "send up.bin"
if expect_screen "waiting for the terminal" 10; then
    keys M-g
    if expect_screen "Get file name=up.bin" 30; then
        sleep 1
        kill -9 "$simpid"; wait "$simpid" 2>/dev/null; simpid=""
        expect_screen "End of Getfile" 30
        # What arrived is the start of the file, nothing else.
        if [ -e "$run_dir/cwd/up.bin" ]; then
            n=$(stat -c %s "$run_dir/cwd/up.bin")
            say "  $n bytes arrived before the line went"
            cmp -s -n "$n" "$run_dir/cwd/up.bin" "$run_dir/sim/up.bin" || fail "the partial upload is not the start of the file"
        fi
    fi
fi
end_run

say "fault run: hostile upload names: ../x.bin, $evil, abcdefghijklm (13 bytes, no end), sub/x.bin, CON, x."
for name in "../x.bin" "$evil" "abcdefghijklm" "sub/x.bin" "CON" "x."; do
    rm -rf "$work/run-name"
    mkdir -p "$work/run-name/sim"
    printf 'hostile' > "$work/run-name/sim/h.bin"
    start_run name --put "$work/run-name/sim/h.bin" --upload-name "$name"
    type_line "send h.bin"
    if expect_screen "waiting for the terminal" 10; then
        keys M-g
        expect_screen "Refused file name" 15
        expect_screen "Upload stopped by the terminal." 10
    fi
    left=$(ls -A "$run_dir/cwd" | grep -v -x -e tarvik.ini)
    [ -z "$left" ] || fail "upload name \"$name\": written in the working directory: $left"
    end_run
done
rm -rf "$work/run-name"

say "fault run: the controller floods 1 MiB at full speed while hotkeys are pressed; every byte is logged"
items=$(printf 'fill:65536:a5,%.0s' $(seq 16)); items=${items%,}
start_run flood --blocks "$items" --block-step 1
keys M-c; wait_screen "tarvikCmd:" 5; type_line "l flood.log"
expect_screen "success!" 5
keys C-F6
type_line "blocks"
for k in F7 M-h M-h M-a M-a C-F6 M-l M-s M-s M-l F7 M-h C-F6 M-h M-a M-a C-F6; do
    keys "$k"
    sleep 0.05
done
# The flood ends when the log stops growing.
prev=-1
for i in $(seq 300); do
    size=$(stat -c %s "$run_dir/cwd/flood.log" 2>/dev/null || echo 0)
    [ "$size" = "$prev" ] && [ "$size" -ge $((16 * 65536)) ] && break
    prev=$size
    sleep 0.2
done
got=$(tr -cd '\245' < "$run_dir/cwd/flood.log" | wc -c)
say "  logged $got of $((16 * 65536)) flood bytes"
[ "$got" = $((16 * 65536)) ] || fail "flood bytes lost or added: $got logged"
check_alive
end_run

say "fault run: CAN boards (can-fault-runs$([ $short = 1 ] && echo ' --short'))"
start=$SECONDS
if [ $short = 1 ]; then
    timeout 180 "$canruns" --short | sed 's/^/  /'
else
    timeout 400 "$canruns" | sed 's/^/  /'
fi
rc=${PIPESTATUS[0]}
[ "$rc" = 0 ] || fail "can-fault-runs ended with status $rc"
say "  ($((SECONDS - start)) s)"

if [ $failures = 0 ]; then
    say "fault runs: all passed"
    exit 0
fi
say "fault runs: $failures failure(s)"
exit 1
