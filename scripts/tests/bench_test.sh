#!/bin/sh
# scripts/bench.sh, as a dry run: the native benchmark with the runs asked
# for (1000 by default), then the Windows one under Wine with half as many,
# the Wine prefix made only where there is none; a failing step stops it.
set -u
. "$(dirname "$0")/stubs.sh"
stub cmake wine
stub_in_tree scripts/install-deps.sh build/default/bench/belltap_bench
export WINE="$work/bin/wine"
native="install-deps.sh cmake ninja-build g++ musl-tools libgtest-dev googletest g++-mingw-w64-x86-64-posix wine64
cmake --preset default [existing]
cmake --build --preset default --target belltap_bench bellTap noop floor"
windows="cmake --build --preset windows --target belltap_bench_windows bellTap noop"
run bench.sh
expect_steps "$native
belltap_bench --runs 1000

cmake --preset windows [new]
$windows
wine wineboot --init
wine build/windows/bench/belltap_bench_windows.exe 500"
each_failure_stops bench.sh
mkdir -p "$tree/build/windows/wineprefix"
run bench.sh 40
expect_steps "$native
belltap_bench --runs 40

cmake --preset windows [existing]
$windows
wine build/windows/bench/belltap_bench_windows.exe 20"
echo "bench_test: 1 passed, 0 failed"
