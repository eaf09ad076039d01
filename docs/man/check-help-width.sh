#!/bin/sh
# check-help-width.sh PROGRAM...
# Each program's --help fits an 80-column terminal.
set -u
status=0
for prog in "$@"; do
    out=$("$prog" --help) || { echo "FAIL: $prog --help exits with an error"; status=1; continue; }
    wide=$(printf '%s\n' "$out" | awk 'length > 80 { printf "  %d columns: %s\n", length, $0 }')
    if [ -n "$wide" ]; then
        echo "FAIL: $prog --help has lines over 80 columns:"
        printf '%s\n' "$wide"
        status=1
    else
        echo "ok: $prog --help"
    fi
done
exit $status
