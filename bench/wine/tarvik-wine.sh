#!/usr/bin/env bash
# Starts tarvik.exe under wine the way the benchmarks start the Linux
# tarvik: COM1 is the device that TARVIK_COM1 names (mapped in the wine
# registry of WINEPREFIX, which must be a prepared prefix of the caller's),
# and the arguments go to tarvik.exe.  TARVIK_EXE is the program.
set -e
loader=${TARVIK_WINE:-}
if [ -z "$loader" ]; then
    # wine's own 64-bit loader where installed: the "wine" script prefers
    # the 32-bit loader once that is installed.
    if [ -x /usr/lib/wine/wine64 ]; then loader=/usr/lib/wine/wine64; else loader=wine; fi
fi
[ "$loader" != wine ] && export WINELOADER=$loader
export WINEDEBUG=-all
"$loader" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$TARVIK_COM1" /f >/dev/null 2>&1
# The COM devices are made from the registry when wine starts.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
exec "$loader" "$TARVIK_EXE" "$@"
