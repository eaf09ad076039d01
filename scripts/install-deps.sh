#!/usr/bin/env bash
# Installs the Debian packages that building and testing the toolkit need.
# Extra package names can be given as arguments.  Does nothing for packages
# that are already installed.
set -euo pipefail

packages=(cmake ninja-build g++ clang make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          tmux procps coreutils iproute2 groff-base gzip python3-can "$@")

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
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
