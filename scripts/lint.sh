#!/bin/sh
# Static analysis of the product code: clang-tidy with the checks in
# .clang-tidy, and cppcheck with the checks below. Fails on any finding.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev clang libclang-rt-dev clang-tidy cppcheck

# The sanitize build's compile commands: clang's, without the musl build's
# GCC-only options.
[ -f build/sanitize/compile_commands.json ] || cmake --preset sanitize >/dev/null
# The product's sources (the tests are in folders of their own). clang-tidy
# takes the POSIX ones: the Windows ones need headers clang does not find here.
sources=$(ls trigger/*.cpp libirqhost/*.cpp irqhost/*.cpp)
posix_sources=$(echo "$sources" | grep -v win32)
echo "== clang-tidy"
report=$(mktemp)
status=0
# shellcheck disable=SC2086
clang-tidy --quiet -p build/sanitize $posix_sources >"$report" 2>&1 || status=$?
sed '/warnings generated/d' "$report"
rm -f "$report"
[ "$status" = 0 ] || { echo "clang-tidy: findings above"; exit 1; }

echo "== cppcheck"
# Once per platform: each defines the same structures its own way.
for platform_sources in "$posix_sources" "$(echo "$sources" | grep -v _posix)"; do
  # shellcheck disable=SC2086
  cppcheck --std=c++20 --language=c++ --enable=warning,style,performance,portability \
    --inline-suppr --suppress=missingIncludeSystem --error-exitcode=1 --quiet \
    -I trigger -I libirqhost -I irqhost $platform_sources
done
echo "lint: clean"
