#!/bin/sh
# Installs whatever is missing, builds everything from scratch and runs every
# test suite. Exits non-zero at the first failure.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev googletest python3

echo "== native build and tests"
rm -rf build/default
cmake --preset default
cmake --build --preset default
ctest --preset default -j2
