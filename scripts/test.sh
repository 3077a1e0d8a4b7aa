#!/bin/sh
# Installs whatever is missing, builds everything from scratch and runs every
# test suite. Exits non-zero at the first failure.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev googletest python3 \
  g++-mingw-w64-x86-64 wine64

echo "== native build and tests"
rm -rf build/default
cmake --preset default
cmake --build --preset default
ctest --preset default -j2

echo "== Windows build (MinGW-w64), tests under Wine"
rm -rf build/windows
cmake --preset windows
cmake --build --preset windows
WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
ctest --preset windows
