#!/bin/sh
# check-help.sh PROGRAM PAGE [PROGRAM PAGE ...]
# Each man page, as man shows it, must hold the program's --help text line
# for line, as one block (in its OPTIONS or its SYNOPSIS): the text a user
# reads in one must be the other.
set -u
status=0
while [ $# -ge 2 ]; do
    prog=$1 page=$2
    shift 2
    help=$("$prog" --help) || { echo "FAIL: $prog --help exits with an error"; status=1; continue; }
    a=$(mktemp) b=$(mktemp)
    printf '%s\n' "$help" | sed -e 's/[[:space:]]*$//' > "$a"
    # Render as man does in a UTF-8 terminal, wide enough that no line wraps,
    # without bold or underlining; the section text without its indent.
    groff -man -Tutf8 -P-cbou -rLL=250n -rIN=7n "$page" 2>/dev/null |
        sed -e 's/^       //' -e 's/[[:space:]]*$//' > "$b"
    if awk 'NR == FNR { want[n++] = $0; next }
            { line[m++] = $0 }
            END {
                for (i = 0; i + n <= m; ++i) {
                    for (j = 0; j < n && line[i + j] == want[j]; ++j) {}
                    if (j == n) exit 0
                }
                exit 1
            }' "$a" "$b"; then
        echo "ok: $page holds $prog --help"
    else
        echo "FAIL: $page does not hold $prog --help as one block; the page:"
        diff "$a" "$b" | head -40
        status=1
    fi
    rm -f "$a" "$b"
done
exit $status
