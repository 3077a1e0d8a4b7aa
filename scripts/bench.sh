#!/bin/sh
# Builds bellTap natively and for Windows and prints what a trigger costs
# against a no-op process: natively, then bellTap.exe under Wine.
# Usage: scripts/bench.sh [runs]   (default 1000 natively, 500 under Wine)
set -eu
cd "$(dirname "$0")/.."
runs=${1:-1000}
scripts/install-deps.sh cmake ninja-build g++ musl-tools libgtest-dev googletest g++-mingw-w64-x86-64-posix wine64

cmake --preset default >/dev/null
cmake --build --preset default --target belltap_bench bellTap noop floor >/dev/null
build/default/bench/belltap_bench --runs "$runs"

echo
cmake --preset windows >/dev/null
cmake --build --preset windows --target belltap_bench_windows bellTap noop >/dev/null
export WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=${WINE:-/usr/lib/wine/wine64} # Debian's, off the PATH
[ -d "$WINEPREFIX" ] || "$wine" wineboot --init >/dev/null 2>&1
"$wine" build/windows/bench/belltap_bench_windows.exe "$(( runs / 2 ))"
