#!/bin/sh
# The README's first command: scripts/demo.sh exits 0, prints exactly what the
# README shows and leaves no temporary files behind.
set -u
cd "$(dirname "$0")/../.."
tmp=$(mktemp -d)
# Killed (a time limit, Ctrl+C), it cleans up too.
trap 'rm -rf "$tmp" "$tmp.out"' EXIT
trap 'exit 1' HUP INT TERM
status=0
# The demo publishes lines 0 to 7, which a real host may be using: as root it
# runs with a /dev/shm of its own.
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  # ... and nothing may be left in it afterwards.
  TMPDIR=$tmp timeout 600 unshare -m sh -c 'mount -t tmpfs -o mode=1777 none /dev/shm || exit 3
    scripts/demo.sh || exit
    [ -z "$(ls -A /dev/shm)" ] || { echo "left in /dev/shm:" $(ls -A /dev/shm); exit 4; }' \
    >"$tmp.out" 2>/dev/null || status=$?
else
  TMPDIR=$tmp timeout 600 scripts/demo.sh >"$tmp.out" 2>/dev/null || status=$?
fi
# The README's code block that starts with the host's banner.
expected=$(awk '/^```/ {if (inside && shown) exit; inside = !inside; next} inside && /^irqhost: publishing/ {shown = 1} inside && shown' README.md)
failed=""
[ "$status" = 0 ] || failed="exit status $status"
[ "$(cat "$tmp.out")" = "$expected" ] || failed="$failed; output differs from the README: $(cat "$tmp.out")"
[ -z "$(ls -A "$tmp")" ] || failed="$failed; left behind: $(ls -A "$tmp")"
rm -rf "$tmp" "$tmp.out"
[ -z "$failed" ] || { echo "demo_test: FAILED: $failed"; exit 1; }

# The same as a dry run, with its commands stood in for: every step in
# order, a failing build stops it, a host that dies at once is reported, and
# a host that ends badly is said to.
. scripts/tests/stubs.sh
stub cmake
stub_in_tree scripts/install-deps.sh build/default/irqhost/irqhost build/default/trigger/bellTap
sed -i 's/^exit 0$/[ "$1" = 9 ] \&\& echo "Could not open OSirq9 - exiting" \&\& exit 254; exit 0/' \
  "$tree/build/default/trigger/bellTap"
# The host says it publishes and ends on SIGINT with $HOST_STATUS, or dies at
# once. In Python: a shell started in the background cannot take SIGINT.
cat >"$tree/build/default/irqhost/irqhost" <<'HOST'
#!/usr/bin/env python3
import os, signal, sys, time
with open(os.environ["CALLS"], "a") as calls:
    print("irqhost", file=calls)
if os.environ.get("HOST_DIES"):
    sys.exit("irqhost: cannot publish")
signal.signal(signal.SIGINT, lambda *_: (print("irq 3", flush=True), os._exit(int(os.environ.get("HOST_STATUS", "0")))))
print("irqhost: publishing", file=sys.stderr, flush=True)
while True:
    time.sleep(0.01)
HOST
cp scripts/tests/stubs.sh "$tree/scripts/tests/"
steps='install-deps.sh cmake ninja-build g++ musl-tools libgtest-dev pkg-config
cmake --preset default [existing]
cmake --build build/default --target bellTap irqhost
irqhost
irqhost: publishing
bellTap 3
$ bellTap 3   -> exit status 0
bellTap 5
$ bellTap 5   -> exit status 0
bellTap 0
$ bellTap 0   -> exit status 0
bellTap 9
Could not open OSirq9 - exiting
$ bellTap 9   -> exit status 254
--- the host printed:
irq 3'
run demo.sh
expect_steps "$steps"
tolerated="bellTap irqhost"
each_failure_stops demo.sh
HOST_DIES=1 run demo.sh
[ "$status" = 1 ] && [ "$(tail -n 1 "$calls")" = "irqhost: cannot publish" ] || fail "a host that died: status $status"
HOST_STATUS=3 run demo.sh
grep -qx -- "--- the host ended with status 3" "$calls" || fail "a host that ended badly was not said to: $(cat "$calls")"
echo "demo_test: 2 passed, 0 failed"
