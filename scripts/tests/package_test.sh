#!/bin/sh
# The Debian package of the default build: lintian finds no error in it, and
# the bellTap it installs (into a throw-away root) raises the irqhost it
# installs. Every wait has a time limit.
set -u
cd "$(dirname "$0")/../.."
cpack --config build/default/CPackConfig.cmake -B build/packages >/dev/null || { echo "package_test: cpack failed"; exit 1; }
deb=build/packages/belltap_$(sed -n 's/^project(bellTap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "package_test: no $deb"; exit 1; }
root=$(mktemp -d)
host=""
fail() { echo "package_test: FAILED: $*"; [ -n "$host" ] && kill "$host" 2>/dev/null; rm -rf "$root"; exit 1; }

report=$(lintian --fail-on error "$deb" 2>&1) || fail "lintian: $report"
dpkg -x "$deb" "$root" || fail "dpkg -x"
file "$root/usr/bin/bellTap" | grep -q "statically linked" || fail "bellTap is not static: $(file "$root/usr/bin/bellTap")"
for page in man1/bellTap.1.gz man1/irqhost.1.gz man3/irqhost.3.gz; do
  gzip -t "$root/usr/share/man/$page" || fail "no $page"
done

line=$((1800000000 + ($$ % 1000000) * 100))
"$root/usr/bin/irqhost" "$line" >"$root/out" 2>"$root/err" &
host=$!
for _ in $(seq 100); do grep -q publishing "$root/err" && break; sleep 0.05; done
grep -q publishing "$root/err" || fail "irqhost did not start: $(cat "$root/err")"
timeout 10 "$root/usr/bin/bellTap" "$line" || fail "bellTap $line failed"
for _ in $(seq 100); do grep -qxF "irq $line" "$root/out" && break; sleep 0.05; done
grep -qxF "irq $line" "$root/out" || fail "the host did not hear line $line"
kill -TERM "$host"
for _ in $(seq 100); do kill -0 "$host" 2>/dev/null || break; sleep 0.05; done
kill -0 "$host" 2>/dev/null && fail "irqhost ignored SIGTERM"
wait "$host" || fail "irqhost ended badly"
host=""
rm -rf "$root"
echo "package_test: 1 passed, 0 failed"
