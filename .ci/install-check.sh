#!/usr/bin/env bash
# Installs the amd64 Debian packages as a user would and uses them from
# outside the source tree: tarvik and its man page, quarnix-sim, the README's
# CAN example built with pkg-config and with find_package (shared, and static
# from a C-only project) and run against the simulated slots, a frame sent and
# received with the installed CAN tools, the python-can interface "ocelo" in a
# script and in python-can's logger, and the CMake package's message when the
# simulated slots are missing.
# lintian must report no errors on the packages.  At the end the packages are
# purged and nothing of them may be left on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

bash scripts/install-deps.sh lintian man-db gcc

# The build folder of the default preset (another one for a trial run).
build=${TARVIK_INSTALL_CHECK_BUILD:-build}
cmake --preset default -B "$build" >/dev/null
cmake --build "$build"
rm -f "$build"/*.deb
cmake --build "$build" --target package
mapfile -t debs < <(ls "$build"/*_amd64.deb "$build"/*_all.deb)
packages=(tarvik libocelolnx1 libocelolnx-dev ocelo-tools python3-ocelo)
[ ${#debs[@]} -eq ${#packages[@]} ] || { echo "install-check: expected ${#packages[@]} packages, got: ${debs[*]}" >&2; exit 1; }

echo "== lintian"
lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "${debs[@]}"

# The library's packages for ARM controllers (preset armhf, which
# .ci/armhf-check.sh configures) and the Windows zip (preset mingw).
armhf=${TARVIK_INSTALL_CHECK_ARMHF:-build-armhf}
mingw=${TARVIK_INSTALL_CHECK_MINGW:-build-mingw}
if [ -f "$armhf/CMakeCache.txt" ]; then
    echo "== armhf packages"
    rm -f "$armhf"/*.deb
    cmake --build "$armhf" --target package
    armdebs=("$armhf"/libocelolnx1_*_armhf.deb "$armhf"/libocelolnx-dev_*_armhf.deb)
    ls "${armdebs[@]}" >/dev/null
    lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "${armdebs[@]}"
elif [ "${CI:-}" = true ]; then
    echo "install-check: $armhf is not configured (.ci/armhf-check.sh runs first in CI)" >&2
    exit 1
fi
if [ -f "$mingw/CMakeCache.txt" ]; then
    echo "== Windows zip"
    rm -f "$mingw"/*.zip
    cmake --build "$mingw" --target package
    entries=$(cmake -E tar tf "$mingw"/tarvik-*-windows.zip | sed 's|^[^/]*/||' | grep -v '/$' | LC_ALL=C sort | tr '\n' ' ')
    want="OceloCE/Ocelo.h OceloCE/OceloCE.def OceloCE/OceloCE.dll OceloCE/libOceloCE.dll.a README.md win32/tarvik.exe win64/tarvik.exe "
    [ "$entries" = "$want" ] || { echo "install-check: the Windows zip holds: $entries" >&2; exit 1; }
elif [ "${CI:-}" = true ]; then
    echo "install-check: $mingw is not configured (.ci/mingw-check.sh runs first in CI)" >&2
    exit 1
fi

work=$(mktemp -d /tmp/tarvik-install-XXXXXX)
recv_pid=""
logger_pid=""
installed=""
cleanup() {
    [ -z "$recv_pid" ] || kill "$recv_pid" 2>/dev/null || true
    [ -z "$logger_pid" ] || kill "$logger_pid" 2>/dev/null || true
    # A failed run does not leave the packages on the machine.
    [ -z "$installed" ] || $SUDO apt-get purge -y -qq -o DPkg::Lock::Timeout=600 "${packages[@]}" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# What the machine holds before; the packages' own dependencies are present
# already (the build needed them), so a purge must bring back exactly this.
snapshot() { find /usr /etc /opt -xdev 2>/dev/null | grep -v -e '^/etc/ld.so.cache$' | LC_ALL=C sort; }
snapshot > "$work/before"

echo "== apt install ${debs[*]}"
installed=1
# Man pages are installed even where the machine's dpkg leaves them out.
$SUDO apt-get install -y -qq -o DPkg::Lock::Timeout=600 -o DPkg::Options::=--path-include='/usr/share/man/*' \
    -o DPkg::Options::=--path-include='/usr/share/doc/*' "${debs[@]/#/$root/}"

cd "$work"
fail() { echo "install-check: $*" >&2; exit 1; }

echo "== tarvik, man, quarnix-sim"
[ "$(command -v tarvik)" = /usr/bin/tarvik ] || fail "tarvik is not /usr/bin/tarvik"
[ "$(tarvik --version)" = "tarvik 1.30" ] || fail "tarvik --version: $(tarvik --version)"
man -w tarvik | grep -qx /usr/share/man/man1/tarvik.1.gz || fail "man -w tarvik: $(man -w tarvik 2>&1)"
man -w 3 Ocelo >/dev/null || fail "no Ocelo(3)"
man -w 3 SlotSim >/dev/null || fail "no SlotSim(3)"
MANWIDTH=100 man tarvik 2>/dev/null | grep -q TARVIK_CODEPAGE || fail "man tarvik does not show TARVIK_CODEPAGE"
quarnix-sim --help | grep -q -- '--link' || fail "quarnix-sim --help"
# The installed pages, as man finds them: sections and widths.
pages=$(for p in tarvik quarnix-sim ocelo-send ocelo-recv 3:Ocelo 3:SlotSim 7:ocelo; do
    case $p in *:*) man -w "${p%%:*}" "${p#*:}" ;; *) man -w "$p" ;; esac 2>/dev/null
done)
sh "$root/docs/man/check-layout.sh" $pages || fail "man page layout (docs/man/check-layout.sh)"

echo "== the README's CAN example"
awk '/^## The CAN board library/ { s = 1 } s && /^```c/ { f = 1; next } f && /^```/ { exit } f' \
    "$root/README.md" > app.c
[ -s app.c ] || fail "no C example in the README's CAN section"
cmp app.c /usr/share/doc/libocelolnx-dev/examples/ocelo-example.c ||
    fail "the README's example differs from the installed examples/ocelo-example.c"
export OCELO_SIM_BUS="$work/bus"
mkdir -m 700 "$OCELO_SIM_BUS"
# The .pc files name the folders the packages put the files in.
for pc in oceloLnx:liboceloLnx.so:Ocelo.h slotsim:libslotsim.so:SlotSim.h; do
    IFS=: read -r name lib header <<< "$pc"
    [ -e "$(pkg-config --variable=libdir "$name")/$lib" ] || fail "$name.pc: libdir $(pkg-config --variable=libdir "$name") has no $lib"
    [ -e "$(pkg-config --variable=includedir "$name")/$header" ] || fail "$name.pc: includedir has no $header"
done
# shellcheck disable=SC2046
cc -Wall -Werror -o app-pc app.c $(pkg-config --cflags --libs oceloLnx slotsim)
timeout 30 ./app-pc | grep -qx 'received 123#DEAD' || fail "the example built with pkg-config"

mkdir fp && cp app.c fp/ocelo-example.c && cp /usr/share/doc/libocelolnx-dev/examples/CMakeLists.txt fp/
cmake -S fp -B fp/build -G Ninja >/dev/null
cmake --build fp/build >/dev/null
timeout 30 fp/build/ocelo-example | grep -qx 'received 123#DEAD' || fail "the example built with find_package"

# The static libraries from a project of C alone (linked by the C compiler).
mkdir st && cp app.c st/ocelo-example.c
sed 's/oceloLnx::oceloLnx oceloLnx::slotsim/oceloLnx::oceloLnx_static oceloLnx::slotsim_static/' \
    /usr/share/doc/libocelolnx-dev/examples/CMakeLists.txt > st/CMakeLists.txt
grep -q slotsim_static st/CMakeLists.txt || fail "the example's CMakeLists.txt names no oceloLnx::slotsim"
cmake -S st -B st/build -G Ninja >/dev/null
cmake --build st/build >/dev/null || fail "the static libraries do not link from a C project"
timeout 30 st/build/ocelo-example | grep -qx 'received 123#DEAD' || fail "the example linked statically"

echo "== ocelo-send to ocelo-recv"
ocelo-recv -L -n 1 -T 20000 2 > recv.log 2> recv.err &
recv_pid=$!
# Send until the receiver, once its board is up, has its frame and ends.
for _ in $(seq 1 100); do
    kill -0 "$recv_pid" 2>/dev/null || break
    ocelo-send 1 123#DEADBEEF >/dev/null || true
    sleep 0.2
done
wait "$recv_pid" || fail "ocelo-recv failed: $(cat recv.err)"
recv_pid=""
grep -Eq '^\([0-9]+\.[0-9]{6}\) slot2 123#DEADBEEF$' recv.log || fail "ocelo-recv printed: $(cat recv.log)"

echo "== ocelo-socketcand to python-can's socketcand client"
[ -f /usr/share/doc/ocelo-tools/ocelo-socketcand.service ] || fail "no ocelo-socketcand.service example"
man -w ocelo-socketcand >/dev/null || fail "no ocelo-socketcand man page"
ocelo-socketcand -i slot2 -p 0 2> scd.err &
scd_pid=$!
for _ in $(seq 1 300); do grep -q '^# serving' scd.err && break; sleep 0.1; done
scd_port=$(sed -n 's/^# serving .* port \([0-9]*\).*/\1/p' scd.err)
[ -n "$scd_port" ] || fail "ocelo-socketcand did not start: $(cat scd.err)"
timeout 60 /usr/bin/python3 - "$scd_port" <<'PY' || fail "python-can's socketcand client got no frame"
import subprocess, sys, can
bus = can.Bus(interface="socketcand", host="127.0.0.1", port=int(sys.argv[1]), channel="slot2")
for _ in range(100):
    subprocess.run(["ocelo-send", "1", "123#DEADBEEF"], check=False)
    m = bus.recv(0.5)
    if m is not None and m.arbitration_id == 0x123 and bytes(m.data) == bytes.fromhex("DEADBEEF"):
        sys.exit(0)
sys.exit(1)
PY
kill -TERM "$scd_pid" && wait "$scd_pid" || fail "ocelo-socketcand did not end cleanly on SIGTERM: $(cat scd.err)"

echo "== python-can"
# Debian's python3, without the build tree's paths.
py=/usr/bin/python3
unset PYTHONPATH
timeout 60 env -u LD_LIBRARY_PATH "$py" - <<'PY' || fail "a python-can script on the ocelo interface"
import can
a = can.Bus(interface="ocelo", channel=3, bitrate=500000)
b = can.Bus(interface="ocelo", channel=4, bitrate=500000)
a.send(can.Message(arbitration_id=0x123, data=b"\xde\xad", is_extended_id=False))
m = b.recv(10)
a.shutdown()
b.shutdown()
assert m is not None and (m.arbitration_id, bytes(m.data)) == (0x123, b"\xde\xad"), m
PY
# With job control on, the background logger keeps Ctrl-C (SIGINT), which
# ends it with its file written.  SIGINT is given its default action first:
# python takes Ctrl-C only when it did not start with SIGINT ignored, as it
# is when this check itself was started in the background (nohup, "&").
set -m
PYTHONUNBUFFERED=1 env --default-signal=INT "$py" -m can.logger -i ocelo -c 2 -f py.log > logger.out 2>&1 &
logger_pid=$!
set +m
for _ in $(seq 1 100); do grep -q Connected logger.out && break; sleep 0.2; done
grep -q Connected logger.out || fail "can.logger on the ocelo interface: $(cat logger.out)"
# The logger writes its file in blocks: frames until the first is out.
for _ in $(seq 1 100); do
    ocelo-send -n 50 1 321#CAFE >/dev/null || true
    [ -s py.log ] && break
done
kill -INT "$logger_pid"
for _ in $(seq 1 150); do kill -0 "$logger_pid" 2>/dev/null || break; sleep 0.2; done
kill -0 "$logger_pid" 2>/dev/null && fail "can.logger did not end on SIGINT"
wait "$logger_pid" || true
logger_pid=""
"$py" -c 'import can, sys; m = next(iter(can.LogReader("py.log"))); sys.exit(not (m.arbitration_id == 0x321 and bytes(m.data) == b"\xca\xfe"))' ||
    fail "python-can did not read back what can.logger wrote: $(head -3 py.log) $(cat logger.out)"

echo "== the CMake package without the simulated slots"
$SUDO dpkg -r ocelo-tools >/dev/null
if cmake -S fp -B fp/build-missing -G Ninja > missing.out 2>&1; then
    fail "find_package(oceloLnx COMPONENTS slotsim) succeeded without ocelo-tools"
fi
grep -q 'ocelo-tools' missing.out || fail "the CMake package does not name ocelo-tools: $(cat missing.out)"

cd "$root"
echo "== apt purge"
$SUDO apt-get purge -y -qq -o DPkg::Lock::Timeout=600 "${packages[@]}"
installed=""
for p in "${packages[@]}"; do
    if dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qv '^not-installed$'; then
        fail "$p is still known to dpkg"
    fi
done
snapshot > "$work/after"
if ! diff "$work/before" "$work/after"; then
    fail "files were left behind or removed by installing and purging the packages"
fi
echo "install-check: packages install, work from the PATH and purge cleanly"
