#!/bin/sh
# Installs whatever is missing, builds everything from scratch and runs every
# suite: native tests, the demo, the Debian package, the same tests under
# ASan and UBSan, a bounded fuzzing run, static analysis, the Windows build's
# tests under Wine and its .zip, and install-deps.sh against a held apt lock.
# Stops at the first failure.
set -eu
cd "$(dirname "$0")/.."
# Every tool's temporary files (lintian's, the tests') go to a folder of this
# run's own, removed at the end, so that TMPDIR is left as it was found.
TMPDIR=$(mktemp -d)
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT
# Debian's wine64 puts its programs here, off the PATH.
wine=${WINE:-/usr/lib/wine/wine64} wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
scripts/install-deps.sh cmake ninja-build g++ musl-tools libgtest-dev googletest pkg-config python3 file \
  clang libclang-rt-dev clang-tidy cppcheck g++-mingw-w64-x86-64-posix wine64 dpkg-dev lintian

echo "== native build and tests"
rm -rf build/default build/packaging build/packages
cmake --preset default
cmake --build --preset default
ctest --preset default -j2

echo "== the demo"
scripts/tests/demo_test.sh

echo "== the Debian packages and the tarball"
scripts/tests/package_test.sh

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
rm -rf build/sanitize
cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize -j2

echo "== fuzzing the argument conversion"
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

echo "== static analysis"
scripts/lint.sh

echo "== Windows build (MinGW-w64), tests under Wine, the .zip"
rm -rf build/windows
cmake --preset windows
cmake --build --preset windows
WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  "$wine" wineboot --init >/dev/null 2>&1
ctest --preset windows
cpack --config build/windows/CPackConfig.cmake -B build/packages
# The prefix's wineserver keeps its socket in TMPDIR: ended, and waited for,
# before TMPDIR goes (where it has ended already, there is nothing to wait for).
WINEPREFIX="$PWD/build/windows/wineprefix" "$wineserver" -k 2>/dev/null &&
  WINEPREFIX="$PWD/build/windows/wineprefix" timeout 30 "$wineserver" -w 2>/dev/null ||
  echo "(the Wine prefix's wineserver had ended)"

echo "== install-deps.sh waits for apt's lock"
scripts/tests/install_deps_test.sh
