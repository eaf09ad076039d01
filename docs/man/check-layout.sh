#!/bin/sh
# check-layout.sh PAGE...
# Every man page as man shows it at MANWIDTH=80: no line over 80 columns,
# and the sections a reader looks for.  Pages of section 1 need NAME,
# SYNOPSIS, DESCRIPTION, OPTIONS, EXIT STATUS, ENVIRONMENT, FILES, EXAMPLES
# and SEE ALSO in this order; other sections at least NAME, SYNOPSIS,
# DESCRIPTION and SEE ALSO.  A page may be gzip-compressed (as installed).
set -u
status=0
for page in "$@"; do
    case $page in
    *.1 | *.1.gz) want="NAME|SYNOPSIS|DESCRIPTION|OPTIONS|EXIT STATUS|ENVIRONMENT|FILES|EXAMPLES|SEE ALSO" ;;
    *) want="NAME|SYNOPSIS|DESCRIPTION|SEE ALSO" ;;
    esac
    bad=0
    shown=$(MANWIDTH=80 LC_ALL=C MAN_KEEP_FORMATTING=0 man -l "$page" 2>/dev/null | col -bx)
    if [ -z "$shown" ]; then
        echo "FAIL: $page: man shows nothing"
        status=1
        continue
    fi
    wide=$(printf '%s\n' "$shown" | awk 'length > 80 { printf "  %d columns: %s\n", length, $0 }')
    if [ -n "$wide" ]; then
        echo "FAIL: $page: lines over 80 columns at MANWIDTH=80:"
        printf '%s\n' "$wide"
        bad=1
    fi
    # Section headings stand at the left edge; the wanted ones in order.
    headings=$(printf '%s\n' "$shown" | grep -E '^[A-Z][A-Z ]+$' | tr '\n' '|')
    missing=$(printf '%s\n' "$want" | tr '|' '\n' | while read -r sect; do
        printf '%s' "$headings" | tr '|' '\n' | grep -qx "$sect" || printf ' %s;' "$sect"
    done)
    order=$(printf '%s' "$headings" | tr '|' '\n' | grep -xE "$want" | tr '\n' '|' | sed 's/|$//')
    if [ -n "$missing" ]; then
        echo "FAIL: $page: no section$missing"
        bad=1
    elif [ "$order" != "$want" ]; then
        echo "FAIL: $page: sections out of order: $order"
        bad=1
    fi
    if [ $bad -eq 0 ]; then
        echo "ok: $page"
    else
        status=1
    fi
done
exit $status
