#!/usr/bin/env bash
# The short form of every benchmark (under 3 minutes): builds, runs, prints
# the table.  Fails only when a benchmark cannot run at all, never on a
# figure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh lrzsz picocom tmux valgrind procps
bash bench/run-all.sh --short
