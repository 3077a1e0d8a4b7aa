#!/bin/sh
# Installs whatever is missing, builds everything from scratch and runs every
# suite: native tests, the same under ASan and UBSan, a bounded fuzzing run,
# static analysis, and the Windows build's tests under Wine. Stops at the
# first failure.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev googletest python3 \
  clang libclang-rt-14-dev clang-tidy cppcheck g++-mingw-w64-x86-64 wine64

echo "== native build and tests"
rm -rf build/default
cmake --preset default
cmake --build --preset default
ctest --preset default -j2

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
rm -rf build/sanitize
cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize -j2

echo "== fuzzing the argument conversion"
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

echo "== static analysis"
scripts/lint.sh

echo "== Windows build (MinGW-w64), tests under Wine"
rm -rf build/windows
cmake --preset windows
cmake --build --preset windows
WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
ctest --preset windows
