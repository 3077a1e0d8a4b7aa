#!/bin/sh
# scripts/lint.sh, as a dry run: clang-tidy sees every POSIX source of the
# command, the library and the demo host, cppcheck every source of both
# platforms, once per platform; a finding of either fails the run.
set -u
. "$(dirname "$0")/stubs.sh"
stub cmake clang-tidy cppcheck
# clang-tidy's findings are shown, its count of warnings is not.
sed -i 's/^exit 0$/[ "$me" = clang-tidy ] \&\& echo "a finding" \&\& echo "9 warnings generated."; exit 0/' "$work/bin/clang-tidy"
stub_in_tree scripts/install-deps.sh
for folder in trigger libirqhost irqhost; do cp -r "$project/$folder" "$tree/"; done
sources=$(cd "$project" && git ls-files 'trigger/*.cpp' 'libirqhost/*.cpp' 'irqhost/*.cpp' | grep -v /tests/ | sort)
posix=$(echo "$sources" | grep -v win32)
# The files one call named, sorted, one a line.
files_of() { grep "^$1 " "$calls" | sed -n "${2:-1}p" | tr ' ' '\n' | grep '\.cpp$' | sort; }

mkdir "$work/tmp"
export TMPDIR="$work/tmp"
run lint.sh
[ -z "$(ls -A "$work/tmp")" ] || fail "left in TMPDIR: $(ls -A "$work/tmp")"
[ "$status" = 0 ] && [ "$(tail -n 1 "$calls")" = "lint: clean" ] || fail "status $status: $(tail -n 3 "$calls")"
[ "$(sed -n 2p "$calls")" = "cmake --preset sanitize [new]" ] || fail "the sanitize build was not configured first"
[ "$(grep -E '^(== |clang-tidy|cppcheck)' "$calls" | cut -c1-13 | uniq | tr '\n' '|')" = "== clang-tidy|clang-tidy --|== cppcheck|cppcheck --st|" ] ||
  fail "the headings do not stand before their tools: $(cat "$calls")"
grep -qx "a finding" "$calls" && ! grep -q "warnings generated" "$calls" || fail "clang-tidy's report shown otherwise"
[ "$(files_of clang-tidy)" = "$posix" ] || fail "clang-tidy saw $(files_of clang-tidy | tr '\n' ' ')"
grep -q "^clang-tidy --quiet -p build/sanitize " "$calls" || fail "clang-tidy without the sanitize build's commands"
[ "$(grep -c '^cppcheck ' "$calls")" = 2 ] || fail "cppcheck did not run once per platform"
[ "$(files_of cppcheck 1)" = "$posix" ] || fail "cppcheck's POSIX run saw $(files_of cppcheck 1 | tr '\n' ' ')"
[ "$( (files_of cppcheck 1; files_of cppcheck 2) | sort -u)" = "$sources" ] || fail "cppcheck did not see every source"
files_of cppcheck 2 | grep -q posix && fail "cppcheck's Windows run saw a POSIX source"
grep "^cppcheck " "$calls" | grep -qv -- "--error-exitcode=1" && fail "cppcheck's findings would not fail the run"

mkdir -p "$tree/build/sanitize" && touch "$tree/build/sanitize/compile_commands.json"
FAIL=$(grep "^clang-tidy " "$calls") run lint.sh
[ "$status" = 1 ] && [ "$(tail -n 1 "$calls")" = "clang-tidy: findings above" ] || fail "a clang-tidy finding: status $status"
grep -q "^cmake " "$calls" && fail "configured again with compile commands there"
grep -q "^cppcheck " "$calls" && fail "cppcheck ran after clang-tidy's findings"
run lint.sh
FAIL=$(grep "^cppcheck " "$calls" | head -n 1) run lint.sh
[ "$status" != 0 ] && ! grep -q "lint: clean" "$calls" || fail "a cppcheck finding: status $status"
echo "lint_test: 1 passed, 0 failed"
