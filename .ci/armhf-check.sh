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
fi
bash scripts/install-deps.sh gcc-arm-linux-gnueabihf g++-arm-linux-gnueabihf qemu-user qemu-user-binfmt \
    libgtest-dev:armhf

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

# Every test runs through qemu-arm (the preset's test emulator).  Tests that
# start ARM programs of their own (the CAN tools) need the kernel to hand ARM
# executables to qemu-arm: register it when the machine allows, else leave
# those tests out and say so.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
fi
if [ -e "$binfmt/register" ] && [ ! -e "$binfmt/qemu-arm" ] && [ -f /usr/lib/binfmt.d/qemu-arm.conf ]; then
    cat /usr/lib/binfmt.d/qemu-arm.conf > "$binfmt/register" 2>/dev/null || true
fi
if [ -e "$binfmt/qemu-arm" ] && grep -qx enabled "$binfmt/qemu-arm"; then
    ctest --preset armhf -j "$(nproc)"
else
    echo "armhf-check: ARM programs cannot be started by the kernel here (binfmt_misc); the tests that start the CAN tools are left out" >&2
    ctest --preset armhf -j "$(nproc)" -E '^Tools\.'
fi
