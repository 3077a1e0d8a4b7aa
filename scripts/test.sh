#!/bin/sh
# Installs whatever is missing, builds everything from scratch and runs every
# suite: native tests, the demo, the Debian packages, the same tests under
# ASan and UBSan and with link-time optimization, a bounded fuzzing run,
# static analysis, the Windows build's tests under Wine and its .zip, and
# install-deps.sh against a held apt lock. Stops at the first failure, and
# says which stage failed and how to run it alone.
#   scripts/test.sh [STAGE ...]   (native demo packages sanitize lto fuzz lint windows install-deps)
set -eu
cd "$(dirname "$0")/.."
stages=${*:-native demo packages sanitize lto fuzz lint windows install-deps}
for wanted in $stages; do
  case " native demo packages sanitize lto fuzz lint windows install-deps " in
    *" $wanted "*) ;;
    *) echo "test.sh: no stage '$wanted'; the stages: native demo packages sanitize lto fuzz lint windows install-deps" >&2
       exit 2 ;;
  esac
done
# Every tool's temporary files (lintian's, Wine's, the tests') go to a folder
# of this run's own, removed at the end, so that TMPDIR is left as it was.
TMPDIR=$(mktemp -d)
export TMPDIR
stage=""
# The run's status stays the status it ends with.
ended() {
  status=$?
  rm -rf "$TMPDIR"
  [ "$status" = 0 ] || [ -z "$stage" ] || echo "test.sh: the stage '$stage' failed; to run it alone: scripts/test.sh $stage"
}
trap ended EXIT
# Debian's wine64 puts its programs here, off the PATH.
wine=${WINE:-/usr/lib/wine/wine64} wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
packages="cmake ninja-build g++ musl-tools libgtest-dev googletest pkg-config python3 python3-pytest
  python3-pytest-asyncio python3-setuptools python3-venv python3-pip file clang libclang-rt-dev clang-tidy cppcheck
  g++-mingw-w64-x86-64-posix wine64 dpkg-dev lintian"
echo "test.sh: what is missing of these Debian packages is installed now (the first time, about 1 GiB):" $packages
# shellcheck disable=SC2086
scripts/install-deps.sh $packages

for stage in $stages; do
  case $stage in
    native)
      echo "== native build and tests"
      rm -rf build/default
      cmake --preset default
      cmake --build --preset default
      ctest --preset default -j2 ;;
    demo)
      echo "== the demo"
      scripts/tests/demo_test.sh ;;
    packages)
      echo "== the Debian packages and the tarball"
      rm -rf build/packaging build/packages
      scripts/tests/package_test.sh ;;
    sanitize)
      echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
      rm -rf build/sanitize
      cmake --preset sanitize
      cmake --build --preset sanitize
      ctest --preset sanitize -j2 ;;
    lto)
      echo "== native tests built with link-time optimization, as distributions build"
      rm -rf build/lto
      cmake --preset lto
      cmake --build --preset lto
      ctest --preset lto -j2 ;;
    fuzz)
      echo "== fuzzing the argument conversion"
      scripts/fuzz.sh "${FUZZ_SECONDS:-60}" ;;
    lint)
      echo "== static analysis"
      scripts/lint.sh ;;
    windows)
      echo "== Windows build (MinGW-w64), tests under Wine, the .zip"
      rm -rf build/windows
      cmake --preset windows
      cmake --build --preset windows
      # One wineserver for the prefix: its socket is in the folder that the
      # windows test preset gives Wine as TMPDIR, made by the configure.
      export WINEPREFIX="$PWD/build/windows/wineprefix" WINE_TMPDIR="$PWD/build/windows/tmp"
      TMPDIR=$WINE_TMPDIR WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot --init >/dev/null 2>&1
      ctest --preset windows
      cpack --config build/windows/CPackConfig.cmake -B build/packages
      # Ended, and waited for (where it has ended already, there is nothing
      # to wait for).
      TMPDIR=$WINE_TMPDIR "$wineserver" -k 2>/dev/null && TMPDIR=$WINE_TMPDIR timeout 30 "$wineserver" -w 2>/dev/null ||
        echo "(the Wine prefix's wineserver had ended)" ;;
    install-deps)
      echo "== install-deps.sh waits for apt's lock"
      scripts/tests/install_deps_test.sh ;;
  esac
done
