#!/usr/bin/env bash
# Fault runs in their short form (a few minutes at most): tarvik in tmux
# against quarnix-sim's fault injection and the CAN library against
# misbehaving simulated boards.  Builds what they need with the default
# preset (already built by the test run before it).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target tarvik quarnix-sim can-fault-runs
timeout 600 bash scripts/fault-runs.sh --short
