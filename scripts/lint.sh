#!/bin/sh
# Static analysis of the product code: clang-tidy with the checks in
# .clang-tidy, and cppcheck with the checks below. Fails on any finding.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev clang libclang-rt-dev clang-tidy cppcheck

# The sanitize build's compile commands: clang's, without the musl build's
# GCC-only options.
[ -f build/sanitize/compile_commands.json ] || cmake --preset sanitize >/dev/null
# The POSIX sources; the Windows ones need headers clang does not find here.
posix_sources="trigger/event_name.cpp trigger/event_path.cpp trigger/named_event_posix.cpp
  trigger/stdio_guard_posix.cpp trigger/trigger.cpp trigger/main.cpp libirqhost/host_common.cpp
  libirqhost/host_posix.cpp libirqhost/publish_posix.cpp libirqhost/raise.cpp
  irqhost/demo_host.cpp irqhost/main.cpp irqhost/host_process_posix.cpp"
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
common="trigger/event_name.cpp trigger/trigger.cpp trigger/main.cpp libirqhost/host_common.cpp libirqhost/raise.cpp
  irqhost/demo_host.cpp"
windows_sources="trigger/named_event_win32.cpp trigger/main_win32.cpp libirqhost/host_win32.cpp
  irqhost/host_process_win32.cpp irqhost/main_win32.cpp"
for sources in "$posix_sources" "$common $windows_sources"; do
  # shellcheck disable=SC2086
  cppcheck --std=c++20 --language=c++ --enable=warning,style,performance,portability \
    --inline-suppr --suppress=missingIncludeSystem --error-exitcode=1 --quiet \
    -I trigger -I libirqhost -I irqhost $(ls $sources 2>/dev/null)
done
echo "lint: clean"
