#!/usr/bin/env bash
# Builds tarvik.exe and the Windows test programs (preset mingw), then runs
# the Windows build under wine: the serial layer against pseudo-terminals
# mapped as COM ports in the wine registry, tarvik.exe writing and reading
# its settings file in a tmux pane, and a download to the controller
# simulator.  The Linux side of the test is wine_e2e_test of the default
# build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh mingw-w64 wine wine64

cmake --preset mingw >/dev/null
cmake --build --preset mingw

cmake --preset default >/dev/null
cmake --build --preset default --target wine_e2e_test quarnix-sim

for exe in tarvik.exe wincom_check.exe winload_check.exe; do
    [ -f "build-mingw/bin/$exe" ] || { echo "wine-check: build-mingw/bin/$exe was not built" >&2; exit 1; }
done

# A wine prefix of its own for this run, removed at the end.
prefix=$(mktemp -d /tmp/tarvik-wine-XXXXXX)
cleanup() {
    WINEPREFIX="$prefix/prefix" wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
}
trap cleanup EXIT

export WINEPREFIX="$prefix/prefix"
export WINEDEBUG=-all
export TARVIK_MINGW_BIN="$PWD/build-mingw/bin"
build/bin/wine_e2e_test
