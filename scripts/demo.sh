#!/bin/sh
# Builds bellTap and the demo host, starts the host, raises a few interrupt
# lines (one of them unpublished) and shows what happened.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ musl-tools libgtest-dev pkg-config >&2
cmake --preset default >/dev/null
cmake --build build/default --target bellTap irqhost >/dev/null
bin=build/default
log=$(mktemp -d)
host=""
cleanup() {
  if [ -n "$host" ]; then kill "$host" 2>/dev/null || true; fi
  rm -rf "$log"
}
trap cleanup EXIT

$bin/irqhost/irqhost >"$log/host.out" 2>"$log/host.err" &
host=$!
while ! grep -qs publishing "$log/host.err"; do # made by the background job, a moment later
  kill -0 "$host" 2>/dev/null || { cat "$log/host.err"; exit 1; }
  sleep 0.05
done
cat "$log/host.err"

for line in 3 5 0 9; do
  status=0
  $bin/trigger/bellTap "$line" || status=$?
  echo "\$ bellTap $line   -> exit status $status"
  sleep 0.1
done

kill -INT "$host"
status=0
wait "$host" || status=$?
host=""
[ "$status" = 0 ] || echo "--- the host ended with status $status"
echo "--- the host printed:"
cat "$log/host.out"
