#!/bin/sh
# The hosts of the README and of the docs as they stand there, against an
# installed copy: the C host built twice (pkg-config, find_package), the
# Python host on the installed package and the event format's in plain
# Python (started again after it was killed), each raised by the installed
# bellTap and stopped by SIGTERM, and docs/python.md's examples. Only the
# line numbers change.
# Usage: readme_hosts_test.sh BUILD-DIR SOURCE-DIR
set -u
build=$1 source=$2
work=$(mktemp -d) || exit 1
prefix=$work/prefix
base=$((1500000000 + ($$ % 1000000) * 100))
dir=/dev/shm; [ -d "$dir" ] || dir=/tmp
host=""
fail() { echo "FAIL: $*"; exit 1; }
# However it ends (passed, failed, killed by a time limit or Ctrl+C), its
# host ends and nothing of its lines is left.
cleanup() {
  [ -n "$host" ] && kill -KILL "$host" 2>/dev/null && wait "$host" 2>/dev/null
  [ -n "${killed:-}" ] && kill -KILL "$killed" 2>/dev/null
  for offset in 1 2 3 4 5; do rm -f "$dir/OSirq$((base + offset))" "$dir/.OSirq$((base + offset))."*; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
# snippet FILE SECTION LANGUAGE [N]: the Nth (default first) code block of
# that language in the section SECTION of FILE (of the source tree).
snippet() {
  awk -v section="## $2" -v open="\`\`\`$3" -v want="${4:-1}" '
    /^## / {on = ($0 == section)}
    on && $0 == open {seen++; take = (seen == want); next}
    take && /^```/ {exit}
    take' "$source/$1"
}
wait_for() {
  for _ in $(seq 400); do grep -qxF "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  fail "no line '$2' in $1 after 20 s: $(cat "$1")"
}
# serve NAME LINE... -- COMMAND...: runs a host, raises each line, stops it.
serve() {
  name=$1; shift; lines=""
  while [ "$1" != -- ]; do lines="$lines $1"; shift; done; shift
  "$@" >"$work/$name.out" 2>"$work/$name.err" & host=$!
  for line in $lines; do
    for _ in $(seq 400); do [ -p "$dir/OSirq$line" ] && break; sleep 0.05; done
    sleep 0.1 # published, and open for reading once the host waits
    timeout 10 "$prefix/bin/bellTap" "$line" || fail "$name: bellTap $line failed: $(cat "$work/$name.err")"
    wait_for "$work/$name.out" "irq $line"
  done
  kill -TERM "$host"
  for _ in $(seq 400); do kill -0 "$host" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$host" 2>/dev/null && fail "$name ignored SIGTERM"
  wait "$host"; status=$?; host=""
  [ "$status" = 0 ] || fail "$name ended with $status: $(cat "$work/$name.err")"
  [ -s "$work/$name.err" ] && fail "$name wrote to standard error: $(cat "$work/$name.err")"
  for line in $lines; do [ -e "$dir/OSirq$line" ] && fail "$name left OSirq$line behind"; done
}

cmake --install "$build" --prefix "$prefix" >/dev/null || fail "install"
for file in bin/bellTap bin/irqhost include/irqhost.h lib/libirqhost.a lib/libirqhost.so lib/libirqhost.so.1 \
            lib/pkgconfig/irqhost.pc \
            lib/cmake/irqhost/irqhostConfig.cmake lib/cmake/irqhost/irqhostConfigVersion.cmake \
            share/man/man1/bellTap.1 share/man/man1/irqhost.1 share/man/man3/irqhost.3; do
  [ -e "$prefix/$file" ] || fail "not installed: $file"
done

a=$((base + 1)) b=$((base + 2))
snippet README.md "Writing a host" c | sed "s/const uint32_t lines\[\] = {3, 5};/const uint32_t lines[] = {$a, $b};/" >"$work/host.c"
grep -q "{$a, $b}" "$work/host.c" || fail "no C host in the README"
cc -std=c99 -pedantic -Wall -Wextra -Werror "$work/host.c" -o "$work/host_pc" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs irqhost) || fail "pkg-config build"
serve pkg-config "$a" "$b" -- env LD_LIBRARY_PATH="$prefix/lib" "$work/host_pc"

mkdir "$work/consumer"
cp "$work/host.c" "$work/consumer/"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(irqhost 1 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE irqhost::irqhost)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/consumer/build" >>"$work/cmake.log" 2>&1 || fail "find_package build: $(cat "$work/cmake.log")"
serve find_package "$a" "$b" -- "$work/consumer/build/host"

# The Python hosts: the README's on the installed package, and the event
# format's in plain Python, which starts again after it was killed.
c=$((base + 3)) d=$((base + 4))
# env runs Debian's python3 in its own place: a signal to the host reaches it.
python="env PYTHONPATH=$prefix/lib/python3/dist-packages LD_LIBRARY_PATH=$prefix/lib PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3"
snippet README.md "Writing a host" python | sed "s/irqhost.Host(\[3, 5\])/irqhost.Host([$c, $d])/" >"$work/host.py"
grep -q "Host(\[$c, $d\])" "$work/host.py" || fail "no Python host in the README"
serve python "$c" "$d" -- $python "$work/host.py"
snippet docs/event-format.md "A host in plain Python" python | sed "s/^line = 3$/line = $c/" >"$work/raw.py"
grep -q "^line = $c$" "$work/raw.py" || fail "no plain Python host in docs/event-format.md"
/usr/bin/python3 "$work/raw.py" >/dev/null 2>&1 & killed=$!
for _ in $(seq 400); do [ -p "$dir/OSirq$c" ] && break; sleep 0.05; done
kill -KILL "$killed"; wait "$killed" 2>/dev/null
[ -p "$dir/OSirq$c" ] || fail "the plain Python host published nothing"
serve plain-python "$c" -- /usr/bin/python3 "$work/raw.py"

# docs/python.md's examples as they stand, each line of theirs (3) one of
# the test's own; the host's as in the README.
e=$((base + 5))
snippet docs/python.md "A host" python | sed "s/irqhost.Host(\[3, 5\])/irqhost.Host([$c, $d])/" >"$work/doc_host.py"
serve python-doc "$c" "$d" -- $python "$work/doc_host.py"
snippet docs/python.md "Raising" python 1 | sed "s/\b3\b/$e/g" >"$work/doc_raise.py"
[ "$($python "$work/doc_raise.py")" = "[Errno 2] No such file or directory: 'OSirq$e'" ] ||
  fail "docs/python.md's raise with no host: $($python "$work/doc_raise.py" 2>&1)"
snippet docs/python.md "Raising" python 2 | sed "s/\b3\b/$e/g" >"$work/doc_line.py"
$python -c "import irqhost, runpy
with irqhost.Host([$e]) as host:
    runpy.run_path('$work/doc_line.py')
    assert host.wait(5) == [$e]" || fail "docs/python.md's prepared line"
snippet docs/python.md "In a loop of one's own" python 1 | sed "s/\b3\b/$e/g" >"$work/doc_selectors.py"
[ "$(timeout 20 $python "$work/doc_selectors.py")" = "[$e]" ] || fail "docs/python.md's selectors loop"
snippet docs/python.md "In a loop of one's own" python 2 | sed "s/\b3\b/$e/g" >"$work/doc_asyncio.py"
[ "$(timeout 20 $python "$work/doc_asyncio.py")" = "irq $e" ] || fail "docs/python.md's asyncio loop"

rm -rf "$work"
echo "1 passed, 0 failed"
