#!/bin/sh
# check-help.sh PROGRAM PAGE [PROGRAM PAGE ...]
# Each man page, as man shows it, must name every option that the program's
# --help text names (the text a user reads in one must be in the other).
set -u
status=0
while [ $# -ge 2 ]; do
    prog=$1 page=$2
    shift 2
    help=$("$prog" --help) || { echo "FAIL: $prog --help exits with an error"; status=1; continue; }
    # Render as man does in a UTF-8 terminal of 80 columns, without bold or
    # underlining.
    shown=$(MANWIDTH=80 MAN_KEEP_FORMATTING= man -l -E UTF-8 "$page" 2>/dev/null | col -bx)
    [ -n "$shown" ] || { echo "FAIL: $page shows nothing"; status=1; continue; }
    # The options --help names: a word that starts with - or -- after a
    # blank, a comma or a bracket.
    missing=""
    for opt in $(printf '%s\n' "$help" | grep -oE '(^|[ ,[|])--?[A-Za-z][A-Za-z0-9-]*' |
                 sed -e 's/^[ ,[|]//' | sort -u); do
        printf '%s\n' "$shown" | grep -qe "$opt\([^A-Za-z0-9-]\|\$\)" || missing="$missing $opt"
    done
    if [ -n "$missing" ]; then
        echo "FAIL: $page does not name$missing"
        status=1
    else
        echo "ok: $page names every option of $prog --help"
    fi
done
exit $status
