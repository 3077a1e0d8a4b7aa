#!/bin/sh
# scripts/test.sh, as a dry run: it names what it installs, every stage runs,
# in order, each build from a folder made afresh, the wineserver's end may
# fail, the first other step that fails stops it and the run says which
# stage failed and how to run it alone, a stage named runs alone, an unknown
# one is refused, and its temporary folder is gone afterwards.
set -u
. "$(dirname "$0")/stubs.sh"
stub cmake ctest cpack wine wineserver
stub_in_tree scripts/install-deps.sh scripts/tests/demo_test.sh scripts/tests/package_test.sh scripts/fuzz.sh \
  scripts/lint.sh scripts/tests/install_deps_test.sh
for preset in default packaging sanitize lto windows; do mkdir -p "$tree/build/$preset"; done
mkdir -p "$work/tmp"
export WINE="$work/bin/wine" WINESERVER="$work/bin/wineserver" ALWAYS_FAIL=wineserver TMPDIR="$work/tmp"
tolerated=wineserver
packages="cmake ninja-build g++ musl-tools libgtest-dev googletest pkg-config python3 python3-pytest python3-pytest-asyncio python3-setuptools python3-venv python3-pip file clang libclang-rt-dev clang-tidy cppcheck g++-mingw-w64-x86-64-posix wine64 dpkg-dev lintian"
steps="test.sh: what is missing of these Debian packages is installed now (the first time, about 1 GiB): $packages
install-deps.sh $packages
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
== native tests built with link-time optimization, as distributions build
cmake --preset lto [new]
cmake --build --preset lto
ctest --preset lto -j2
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
# Each failing step stops the run there, which then says which stage failed.
grep -v '^==\|^test.sh:' "$work/expected" >"$work/steps"
while IFS= read -r step; do
  case $step in wineserver*|"(the Wine"*) continue ;; esac
  FAIL=$step run test.sh
  said=$(tail -n 1 "$calls")
  case $step in
    install-deps.sh*) last=$said ;; # before any stage
    *) last=$(tail -n 2 "$calls" | head -n 1)
       echo "$said" | grep -qx "test.sh: the stage '[a-z-]*' failed; to run it alone: scripts/test.sh [a-z-]*" ||
         fail "'$step' failed, and the run said: $said" ;;
  esac
  [ "$status" != 0 ] && [ "$last" = "$step" ] || fail "the run did not stop at '$step': $(tail -n 3 "$calls")"
done <"$work/steps"
FAIL="fuzz.sh 60" run test.sh
[ "$(tail -n 1 "$calls")" = "test.sh: the stage 'fuzz' failed; to run it alone: scripts/test.sh fuzz" ] ||
  fail "a failed fuzz stage: $(tail -n 1 "$calls")"
[ -z "$(ls -A "$work/tmp")" ] || fail "a failed run left in TMPDIR: $(ls -A "$work/tmp")"
# Stages named run alone, in the order given; an unknown one is refused.
run test.sh lint demo
[ "$status" = 0 ] && [ "$(grep -v '^test.sh:\|^install-deps' "$calls" | tr '\n' '|')" = "== static analysis|lint.sh|== the demo|demo_test.sh|" ] ||
  fail "test.sh lint demo: status $status: $(cat "$calls")"
run test.sh bogus
[ "$status" = 2 ] && grep -q "no stage .bogus." "$calls" && ! grep -q "^install-deps.sh" "$calls" ||
  fail "test.sh bogus: status $status: $(cat "$calls")"
echo "test_test: 1 passed, 0 failed"
