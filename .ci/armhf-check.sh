#!/usr/bin/env bash
# Cross-builds the Linux CAN library (oceloLnx), the simulated slot library
# (libslotsim) and their tests for ARM Linux controllers (preset armhf,
# arm-linux-gnueabihf) and runs the tests under qemu-arm.
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest for the target comes from Debian's armhf multiarch package.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO dpkg --add-architecture armhf
    $SUDO apt-get update -qq
fi
bash scripts/install-deps.sh gcc-arm-linux-gnueabihf g++-arm-linux-gnueabihf qemu-user libgtest-dev:armhf

cmake --preset armhf >/dev/null
cmake --build --preset armhf

for lib in liboceloLnx.a liboceloLnx.so libslotsim.a libslotsim.so; do
    f="build-armhf/lib/$lib"
    if [ ! -f "$f" ]; then
        echo "armhf-check: $f was not built" >&2
        exit 1
    fi
    # Each one must hold ARM objects, not ones of the build machine.
    if ! arm-linux-gnueabihf-objdump -f "$f" | grep -q "file format elf32-littlearm"; then
        echo "armhf-check: $f is not built for ARM" >&2
        exit 1
    fi
done

# Every test runs through qemu-arm (the preset's test emulator).
ctest --preset armhf -j "$(nproc)"
