#!/usr/bin/env bash
# Installs what the tests need, builds with the given preset (default:
# "default") and runs every test of that preset.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
preset="${1:-default}"
"$root/scripts/install-deps.sh"
cd "$root"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j "$(nproc)"
