#!/bin/sh
# install-deps.sh while another process holds apt's locks for a few seconds:
# it must wait, then install. Needs root; installs and removes a tiny package.
set -u
cd "$(dirname "$0")/../.."
package=${1:-hello}
[ "$(id -u)" = 0 ] || { echo "install_deps_test: skipped (needs root)"; exit 0; }
dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" && apt-get purge -y -qq "$package" >/dev/null
# apt takes fcntl locks; these are held for 5 s.
python3 -c '
import fcntl, sys, time
held = [open(path, "a") for path in sys.argv[1:]]
for f in held:
    fcntl.lockf(f, fcntl.LOCK_EX)
print("locked", flush=True)
time.sleep(5)
' /var/lib/apt/lists/lock /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock >/tmp/install_deps_test.$$ &
holder=$!
for _ in $(seq 100); do grep -q locked /tmp/install_deps_test.$$ && break; sleep 0.05; done
rm -f /tmp/install_deps_test.$$
status=0
timeout 300 scripts/install-deps.sh "$package" || status=$?
wait "$holder"
installed=0
dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" && installed=1
apt-get purge -y -qq "$package" >/dev/null 2>&1
if [ "$status" != 0 ] || [ "$installed" != 1 ]; then
  echo "install_deps_test: FAILED (status $status, installed $installed)"
  exit 1
fi
echo "install_deps_test: 1 passed, 0 failed"
