#!/bin/sh
# The hosts of the README and of docs/library.md as they stand there,
# against an installed copy: the C host built twice (pkg-config,
# find_package), the Python hosts, each raised by the installed bellTap and
# stopped by SIGTERM, and the Python raise. Only the line numbers change.
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

c=$((base + 3))
snippet README.md "Writing a host" python | sed "s/^line = 3$/line = $c/" >"$work/host.py"
grep -q "^line = $c$" "$work/host.py" || fail "no Python host in the README"
serve python "$c" -- python3 "$work/host.py"

# From Python through the shared library: the README's host, raised by
# bellTap, and the README's raise, against the C host.
d=$((base + 4)) e=$((base + 5))
snippet docs/library.md "Raising and hosting from Python" python 2 |
  sed "s/(ctypes.c_uint32 \* 2)(3, 5)/(ctypes.c_uint32 * 2)($d, $e)/" >"$work/lib_host.py"
grep -q "($d, $e)" "$work/lib_host.py" || fail "no Python host on the library in docs/library.md"
LD_LIBRARY_PATH=$prefix/lib serve python-library "$d" "$e" -- python3 "$work/lib_host.py"

snippet docs/library.md "Raising and hosting from Python" python 1 | sed "s/^line = 3$/line = $a/" >"$work/raise.py"
grep -q "^line = $a$" "$work/raise.py" || fail "no Python raise in docs/library.md"
LD_LIBRARY_PATH=$prefix/lib python3 "$work/raise.py" && fail "raise.py set a line nobody publishes"
env LD_LIBRARY_PATH="$prefix/lib" "$work/host_pc" >"$work/raised.out" 2>&1 & host=$!
for _ in $(seq 400); do [ -p "$dir/OSirq$a" ] && break; sleep 0.05; done
sleep 0.1
LD_LIBRARY_PATH=$prefix/lib timeout 10 python3 "$work/raise.py" || fail "raise.py failed against a live host"
wait_for "$work/raised.out" "irq $a"
kill -TERM "$host"; wait "$host"; host=""

rm -rf "$work"
echo "1 passed, 0 failed"
