#!/bin/sh
# The demo host end to end: it publishes its lines, prints one line per
# interrupt, refuses a second host on the same line and cleans up on SIGTERM.
set -u
irqhost=$1 belltap=$2
base=$((1400000000 + ($$ % 1000000) * 100))
a=$((base + 1)) b=$((base + 2))
dir=/dev/shm; [ -d "$dir" ] || dir=/tmp
work=$(mktemp -d) || exit 1
fail() { echo "FAIL: $*"; kill "$host" 2>/dev/null; rm -rf "$work"; exit 1; }

"$irqhost" -m 0640 "$a" "$b" >"$work/out" 2>"$work/err" &
host=$!
for _ in $(seq 100); do grep -q publishing "$work/err" && break; sleep 0.05; done
grep -q publishing "$work/err" || fail "host did not start: $(cat "$work/err")"

[ "$(stat -c %a "$dir/OSirq$a")" = 640 ] || fail "mode is not 0640"
"$irqhost" "$b" 2>"$work/second" && fail "a second host published OSirq$b"
grep -q "cannot publish OSirq$b: a running host already publishes it" "$work/second" || fail "$(cat "$work/second")"

"$belltap" "$b" || fail "trigger of $b failed"
for _ in $(seq 100); do grep -q "irq $b" "$work/out" && break; sleep 0.05; done
"$belltap" "$a" || fail "trigger of $a failed"
for _ in $(seq 100); do grep -q "irq $a" "$work/out" && break; sleep 0.05; done

kill -TERM "$host"; wait "$host"; status=$?
[ "$status" = 0 ] || fail "host ended with $status"
[ "$(cat "$work/out")" = "$(printf 'irq %s\nirq %s' "$b" "$a")" ] || fail "host printed: $(cat "$work/out")"
[ -e "$dir/OSirq$a" ] || [ -e "$dir/OSirq$b" ] && fail "host left its FIFOs behind"
"$belltap" "$a" >/dev/null; [ $? = 254 ] || fail "stopped host's line still set"
rm -rf "$work"
echo "1 passed, 0 failed"
