#!/bin/sh
# irqhost.exe started from a Linux shell with its standard output closed
# (Wine then hands it a file handle to nothing) serves on, its interrupts
# going to NUL, as irqhost does on Linux. Every wait has a time limit.
set -u
wine=$1 irqhost=$2 belltap=$3
line=$((1500000000 + ($$ % 1000000) * 100 + 7)) # nobody else's
err=$(mktemp) || exit 1
"$wine" "$irqhost" "$line" >&- 2>"$err" &
host=$!
trap 'kill "$host" 2>/dev/null; wait "$host" 2>/dev/null; rm -f "$err"' EXIT
trap 'exit 1' HUP INT TERM # killed by a time limit, it cleans up too
fail() { echo "FAIL: $*: $(cat "$err")"; exit 1; }
for _ in $(seq 200); do grep -q publishing "$err" && break; sleep 0.05; done
grep -q "^irqhost: publishing 1 line: OSirq$line;" "$err" || fail "no banner after 10 s"
for _ in 1 2; do
  timeout 20 "$wine" "$belltap" "$line" || fail "bellTap.exe $line failed"
  sleep 0.5
  kill -0 "$host" 2>/dev/null || fail "it ended after an interrupt"
done
grep -q "cannot write" "$err" && fail "it could not write"
echo "1 passed, 0 failed"
