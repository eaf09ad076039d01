#!/bin/sh
# check-help.sh PROGRAM PAGE [PROGRAM PAGE ...]
# Each man page, as man shows it, must hold the program's --help text line
# for line in its SYNOPSIS (the text a user reads in one must be the other).
set -u
status=0
while [ $# -ge 2 ]; do
    prog=$1 page=$2
    shift 2
    help=$("$prog" --help) || { echo "FAIL: $prog --help exits with an error"; status=1; continue; }
    # Render as man does in a UTF-8 terminal, wide enough that no line wraps,
    # without bold or underlining; keep the SYNOPSIS section without its indent.
    shown=$(groff -man -Tutf8 -P-cbou -rLL=250n -rIN=7n "$page" 2>&1 |
        awk '/^[A-Z]/ { in_syn = ($0 == "SYNOPSIS"); next } in_syn' |
        sed -e 's/^       //' -e 's/[[:space:]]*$//' | sed -e '/./,$!d' | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}')
    help=$(printf '%s\n' "$help" | sed -e 's/[[:space:]]*$//')
    if [ "$shown" != "$help" ]; then
        echo "FAIL: $page differs from $prog --help:"
        a=$(mktemp) b=$(mktemp)
        printf '%s\n' "$help" > "$a"
        printf '%s\n' "$shown" > "$b"
        diff "$a" "$b"
        rm -f "$a" "$b"
        status=1
    else
        echo "ok: $page holds $prog --help"
    fi
done
exit $status
