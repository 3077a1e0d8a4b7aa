#!/bin/sh
# scripts/fuzz.sh, as a dry run: it builds the fuzzer (configuring first only
# where the sanitize build is not configured yet), fuzzes for the time given
# (60 s by default) from the seeds and the regressions, and fails when the
# fuzzer does, saying where the failing input is.
set -u
. "$(dirname "$0")/stubs.sh"
stub cmake
stub_in_tree scripts/install-deps.sh build/sanitize/fuzz/irq_text_fuzz
# The fuzzer's last words, which the script shows.
sed -i 's/^exit 0$/echo "Done 7 runs" >\&2; exit 0/' "$tree/build/sanitize/fuzz/irq_text_fuzz"
fuzzing() {
  echo "irq_text_fuzz -max_total_time=$1 -timeout=2 -max_len=65536 -artifact_prefix=fuzz/regressions/ -print_final_stats=1 build/sanitize/fuzz/corpus fuzz/seeds fuzz/regressions"
}
run fuzz.sh
expect_steps "install-deps.sh cmake ninja-build clang libclang-rt-dev libgtest-dev
cmake --preset sanitize [existing]
cmake --build --preset sanitize --target irq_text_fuzz
$(fuzzing 60)
Done 7 runs
fuzz: no failure in 60 s"
tolerated=irq_text_fuzz # its failure is reported, below
each_failure_stops fuzz.sh
[ -d "$tree/build/sanitize/fuzz/corpus" ] || fail "no corpus folder"
touch "$tree/build/sanitize/build.ninja"
run fuzz.sh 5
expect_steps "install-deps.sh cmake ninja-build clang libclang-rt-dev libgtest-dev
cmake --build --preset sanitize --target irq_text_fuzz
$(fuzzing 5)
Done 7 runs
fuzz: no failure in 5 s"
FAIL=$(fuzzing 5) run fuzz.sh 5
[ "$status" = 1 ] && tail -n 1 "$calls" | grep -q "^fuzz: FAILED; the failing input is in fuzz/regressions/" ||
  fail "a failing fuzzer: status $status, $(tail -n 1 "$calls")"
echo "fuzz_test: 1 passed, 0 failed"
