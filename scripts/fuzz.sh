#!/bin/sh
# Fuzzes the argument-text conversion against its oracle for a bounded time
# (seconds, default 60). An input that fails is kept in fuzz/regressions/,
# which the test suite replays from then on.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/install-deps.sh cmake ninja-build clang libclang-rt-dev libgtest-dev
[ -f build/sanitize/build.ninja ] || cmake --preset sanitize >/dev/null
cmake --build --preset sanitize --target irq_text_fuzz >/dev/null

corpus=build/sanitize/fuzz/corpus
mkdir -p "$corpus"
status=0
build/sanitize/fuzz/irq_text_fuzz -max_total_time="$seconds" -timeout=2 -max_len=65536 \
  -artifact_prefix=fuzz/regressions/ -print_final_stats=1 "$corpus" fuzz/seeds fuzz/regressions 2>build/sanitize/fuzz/log || status=$?
tail -n 12 build/sanitize/fuzz/log
if [ "$status" != 0 ]; then
  echo "fuzz: FAILED; the failing input is in fuzz/regressions/ (commit it)"
  exit 1
fi
echo "fuzz: no failure in $seconds s"
