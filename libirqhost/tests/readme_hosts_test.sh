#!/bin/sh
# The README's hosts as they stand there, against an installed copy: the C
# host built twice (pkg-config, find_package), the Python host, each raised by
# the installed bellTap and stopped by SIGTERM. Only the line numbers change.
# Usage: readme_hosts_test.sh BUILD-DIR README
set -u
build=$1 readme=$2
work=$(mktemp -d) || exit 1
prefix=$work/prefix
base=$((1500000000 + ($$ % 1000000) * 100))
dir=/dev/shm; [ -d "$dir" ] || dir=/tmp
host=""
fail() { echo "FAIL: $*"; [ -n "$host" ] && kill "$host" 2>/dev/null; rm -rf "$work"; exit 1; }
# snippet LANGUAGE: the first code block of that language after "## Writing a host".
snippet() { awk -v open="\`\`\`$1" '/^## Writing a host/ {on = 1} on && $0 == open {take = 1; next} take && /^```/ {exit} take' "$readme"; }
wait_for() {
  for _ in $(seq 100); do grep -qxF "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  fail "no line '$2' in $1 after 5 s: $(cat "$1")"
}
# serve NAME LINE... -- COMMAND...: runs a host, raises each line, stops it.
serve() {
  name=$1; shift; lines=""
  while [ "$1" != -- ]; do lines="$lines $1"; shift; done; shift
  "$@" >"$work/$name.out" 2>"$work/$name.err" & host=$!
  for line in $lines; do
    for _ in $(seq 100); do [ -p "$dir/OSirq$line" ] && break; sleep 0.05; done
    sleep 0.1 # published, and open for reading once the host waits
    timeout 10 "$prefix/bin/bellTap" "$line" || fail "$name: bellTap $line failed: $(cat "$work/$name.err")"
    wait_for "$work/$name.out" "irq $line"
  done
  kill -TERM "$host"
  for _ in $(seq 100); do kill -0 "$host" 2>/dev/null || break; sleep 0.05; done
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
snippet c | sed "s/const uint32_t lines\[\] = {3, 5};/const uint32_t lines[] = {$a, $b};/" >"$work/host.c"
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
snippet python | sed "s/^line = 3$/line = $c/" >"$work/host.py"
grep -q "^line = $c$" "$work/host.py" || fail "no Python host in the README"
serve python "$c" -- python3 "$work/host.py"

rm -rf "$work"
echo "1 passed, 0 failed"
