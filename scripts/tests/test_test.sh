#!/bin/sh
# scripts/test.sh, as a dry run: every step runs, in order, each build from a
# folder made afresh, the wineserver's end may fail, the first other step
# that fails stops it, and its temporary folder is gone afterwards.
set -u
. "$(dirname "$0")/stubs.sh"
stub cmake ctest cpack wine wineserver
stub_in_tree scripts/install-deps.sh scripts/tests/demo_test.sh scripts/tests/package_test.sh scripts/fuzz.sh \
  scripts/lint.sh scripts/tests/install_deps_test.sh
for preset in default packaging sanitize windows; do mkdir -p "$tree/build/$preset"; done
mkdir -p "$work/tmp"
export WINE="$work/bin/wine" WINESERVER="$work/bin/wineserver" ALWAYS_FAIL=wineserver TMPDIR="$work/tmp"
tolerated=wineserver
steps="install-deps.sh cmake ninja-build g++ musl-tools libgtest-dev googletest pkg-config python3 file clang libclang-rt-dev clang-tidy cppcheck g++-mingw-w64-x86-64-posix wine64 dpkg-dev lintian
== native build and tests
cmake --preset default [new]
cmake --build --preset default
ctest --preset default -j2
== the demo
demo_test.sh
== the Debian packages and the tarball
package_test.sh
== native tests under AddressSanitizer and UndefinedBehaviorSanitizer
cmake --preset sanitize [new]
cmake --build --preset sanitize
ctest --preset sanitize -j2
== fuzzing the argument conversion
fuzz.sh 60
== static analysis
lint.sh
== Windows build (MinGW-w64), tests under Wine, the .zip
cmake --preset windows [new]
cmake --build --preset windows
wine wineboot --init
ctest --preset windows
cpack --config build/windows/CPackConfig.cmake -B build/packages
wineserver -k
(the Wine prefix's wineserver had ended)
== install-deps.sh waits for apt's lock
install_deps_test.sh"
run test.sh
expect_steps "$steps"
[ -d "$tree/build/packaging" ] && fail "build/packaging was not made afresh"
[ -z "$(ls -A "$work/tmp")" ] || fail "left in TMPDIR: $(ls -A "$work/tmp")"
each_failure_stops test.sh
[ -z "$(ls -A "$work/tmp")" ] || fail "a failed run left in TMPDIR: $(ls -A "$work/tmp")"
echo "test_test: 1 passed, 0 failed"
