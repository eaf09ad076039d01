#!/usr/bin/env bash
# Builds the toolkit and starts tarvik in a scratch directory, connected as
# COM1 to the bundled controller simulator.  ALT_X quits (and stops the
# simulator); F1 shows the hotkeys.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
cmake --preset default -S "$root" >/dev/null
cmake --build "$root/build" --target tarvik quarnix-sim

scratch="${TARVIK_SCRATCH:-$root/scratch}"
mkdir -p "$scratch"
cd "$scratch"
"$root/build/bin/quarnix-sim" --link "$scratch/quarnix-com1" 2>"$scratch/quarnix-sim.log" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [ -e "$scratch/quarnix-com1" ] && break
    sleep 0.1
done
echo "Controller simulator on $(readlink "$scratch/quarnix-com1"); working directory $scratch"
TARVIK_COM1="$scratch/quarnix-com1" "$root/build/bin/tarvik" "$@"
