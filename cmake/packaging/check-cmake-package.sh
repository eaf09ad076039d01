#!/bin/sh
# The installed CMake package as a developer meets it: without the CAN tools'
# component, find_package(oceloLnx COMPONENTS slotsim) fails naming the
# package that brings it; with it, a project of C alone links the static
# libraries and runs against the simulated slots.
#   check-cmake-package.sh <build folder> <example source>
set -eu
build=$1
example=$2
work=$(mktemp -d /tmp/ocelo-cmake-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-cmake-package: $*" >&2; exit 1; }

for c in canlib canlib_dev; do
    cmake --install "$build" --component $c --prefix "$work/usr" >/dev/null
done
mkdir "$work/app"
cp "$example" "$work/app/ocelo-example.c"
cat > "$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(static_example C)
find_package(oceloLnx REQUIRED COMPONENTS slotsim)
add_executable(ocelo-example ocelo-example.c)
target_link_libraries(ocelo-example PRIVATE oceloLnx::oceloLnx_static oceloLnx::slotsim_static)
CMAKE
if cmake -S "$work/app" -B "$work/b1" -G Ninja -DCMAKE_PREFIX_PATH="$work/usr" > "$work/missing.out" 2>&1; then
    fail "find_package found the component slotsim without the CAN tools"
fi
grep -q "ocelo-tools" "$work/missing.out" || fail "the failure does not name ocelo-tools: $(cat "$work/missing.out")"

cmake --install "$build" --component cantools --prefix "$work/usr" >/dev/null
cmake -S "$work/app" -B "$work/b2" -G Ninja -DCMAKE_PREFIX_PATH="$work/usr" >/dev/null
cmake --build "$work/b2" > "$work/build.out" 2>&1 || fail "a C project does not link the static libraries: $(grep -m3 -e undefined -e error "$work/build.out")"
out=$(OCELO_SIM_BUS=off timeout 60 "$work/b2/ocelo-example") || fail "the static example failed: $out"
[ "$out" = "received 123#DEAD" ] || fail "the static example printed: $out"
echo "check-cmake-package: ok"
