#!/usr/bin/env bash
# Installs mingw-w64, builds the Windows preset and checks OceloCE.dll: its export table must hold exactly the
# names of canlib/wince/OceloCE.def at their ordinals 1 to 17, and it must
# take the board registers from HalvexSDK.dll.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh mingw-w64

objdump=x86_64-w64-mingw32-objdump
if ! command -v "$objdump" >/dev/null; then
    echo "mingw-check: $objdump not found (install the mingw-w64 package)" >&2
    exit 1
fi

cmake --preset mingw >/dev/null
cmake --build --preset mingw

dll=build-mingw/bin/OceloCE.dll
def=canlib/wince/OceloCE.def
[ -f "$dll" ] || { echo "mingw-check: $dll was not built" >&2; exit 1; }

expected=$(awk '$2 ~ /^@[0-9]+$/ { sub("@", "", $2); print $2, $1 }' "$def" | sort -n)
if [ "$(printf '%s\n' "$expected" | awk '{print $1}' | tr '\n' ' ')" != "$(seq -s ' ' 1 17) " ]; then
    echo "mingw-check: $def does not list ordinals 1 to 17" >&2
    exit 1
fi

dump=$("$objdump" -p "$dll")
# "[Ordinal/Name Pointer] Table" lists "[i] name" with i = ordinal - base.
actual=$(printf '%s\n' "$dump" | awk '
    /Export Address Table -- Ordinal Base/ { base = $NF }
    /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
    names && NF == 0 { names = 0 }
    names { gsub(/[][]/, " "); print $1 + base, $2 }' | sort -n)

if [ "$expected" != "$actual" ]; then
    echo "mingw-check: export table of $dll differs from $def" >&2
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") >&2 || true
    exit 1
fi

imports=$(printf '%s\n' "$dump" | awk '
    /DLL Name:/ { dll = $3 }
    dll == "HalvexSDK.dll" && $NF ~ /^(GetSlotAddr|IoReadByte|IoWriteByte)$/ { print $NF }' | sort | tr '\n' ' ')
if [ "$imports" != "GetSlotAddr IoReadByte IoWriteByte " ]; then
    echo "mingw-check: $dll does not import GetSlotAddr, IoReadByte and IoWriteByte from HalvexSDK.dll (got: $imports)" >&2
    exit 1
fi
echo "mingw-check: $dll exports the 17 functions at ordinals 1-17 and imports HalvexSDK"
