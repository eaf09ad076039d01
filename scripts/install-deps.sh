#!/usr/bin/env bash
# Installs the Debian packages that building and testing the toolkit need.
# Extra package names can be given as arguments.  Does nothing for packages
# that are already installed.
set -euo pipefail

packages=(cmake ninja-build g++ clang make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          tmux procps coreutils iproute2 groff-base gzip python3-can ser2net "$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror caught in a sync can fail one index (often one the packages here do
# not come from): try again, and let the install say whether anything needed
# is really missing.
for try in 1 2 3; do
    if $SUDO apt-get update -qq; then
        break
    fi
    echo "install-deps: apt-get update failed (try $try of 3)" >&2
    [ "$try" -eq 3 ] || sleep 20
done
$SUDO apt-get install -y -qq "${missing[@]}"
