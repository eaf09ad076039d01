#!/usr/bin/env bash
# Short fuzzing run: builds the libFuzzer targets (preset fuzz: clang,
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs each one a fixed
# number of inputs from its committed seed corpus.  A crash, a sanitizer
# report or a failed check of a target fails the run; the input that did it
# is left in build-fuzz/artifacts/.  docs/fuzzing.md tells how to run longer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh clang libclang-rt-14-dev

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

runs="${FUZZ_RUNS:-20000}"
out="$root/build-fuzz/artifacts"
mkdir -p "$out"
work=$(mktemp -d /tmp/tarvik-fuzz-short-XXXXXX)
trap 'rm -rf "$work"' EXIT

status=0
for target in ansi keydecode settings script linemode upload packet display_utf8 display_big5 canrx; do
    n=$runs
    # Every input of the CAN target talks to the simulated board (a few ms each).
    [ "$target" = canrx ] && n=$((runs / 4))
    # The seeds are copied: new inputs the run finds go to the copy.
    mkdir -p "$work/$target"
    cp "fuzz/corpus/$target/"* "$work/$target/"
    start=$(date +%s)
    if "build-fuzz/bin/fuzz_$target" -runs="$n" -timeout=20 -rss_limit_mb=2048 -print_final_stats=0 \
        -artifact_prefix="$out/$target-" "$work/$target" >"$work/$target.log" 2>&1; then
        echo "fuzz $target: $n runs, $(( $(date +%s) - start )) s, ok"
    else
        echo "fuzz $target: FAILED (input in $out/)" >&2
        tail -40 "$work/$target.log" >&2
        status=1
    fi
done
exit $status
