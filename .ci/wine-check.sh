#!/usr/bin/env bash
# Builds tarvik.exe and the Windows test programs (preset mingw), then runs
# the Windows build under wine: the serial layer against pseudo-terminals
# mapped as COM ports in the wine registry, tarvik.exe writing and reading
# its settings file in a tmux pane, and a download to the controller
# simulator.  The Linux side of the test is wine_e2e_test of the default
# build.
set -euo pipefail
cd "$(dirname "$0")/.."

# 32-bit Windows programs (preset mingw32) run under wine32, an i386
# package, which needs a kernel that runs 32-bit x86 programs: a 96-byte i386
# program that only exits with 0 tells.  (Where it cannot run, wine32 would
# also stop the 64-bit wine from starting, so it is not installed.)
wine_bins=(build-mingw/bin build-mingw32/bin)
extra=()
probe=$(mktemp)
printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x00\x00\x00\x00\xcd\x80' > "$probe"
chmod +x "$probe"
if "$probe" 2>/dev/null; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        SUDO=""
        [ "$(id -u)" -eq 0 ] || SUDO="sudo"
        $SUDO dpkg --add-architecture i386
    fi
    extra=(wine32:i386)
else
    wine_bins=(build-mingw/bin)
    echo "wine-check: this kernel cannot run 32-bit x86 programs (no IA32 emulation): the 32-bit tarvik.exe is built but not run" >&2
fi
rm -f "$probe"
bash scripts/install-deps.sh mingw-w64 wine wine64 "${extra[@]}"

cmake --preset mingw >/dev/null
cmake --build --preset mingw
cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32

cmake --preset default >/dev/null
cmake --build --preset default --target wine_e2e_test quarnix-sim

for bin in build-mingw/bin build-mingw32/bin; do
    for exe in tarvik.exe wincom_check.exe winload_check.exe; do
        [ -f "$bin/$exe" ] || { echo "wine-check: $bin/$exe was not built" >&2; exit 1; }
    done
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
# The same checks for the 64-bit and the 32-bit build.
for bin in "${wine_bins[@]}"; do
    echo "wine-check: $bin"
    TARVIK_MINGW_BIN="$PWD/$bin" build/bin/wine_e2e_test
done
