#!/bin/sh
# Installs the Debian packages named on the command line that are missing.
# Another apt process (a freshly booted machine runs one on its own) is
# waited for, up to APT_WAIT seconds (default 600), rather than failed on.
set -eu
missing=""
for package in "$@"; do
  # Installed, and not half-installed, unpacked or left as configuration files.
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" = installed ] || missing="$missing $package"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  sudo=""
elif command -v sudo >/dev/null 2>&1; then
  sudo="sudo"
else
  echo "install-deps: installing$missing needs root, and there is no sudo here: run this as root" >&2
  exit 1
fi
wait=${APT_WAIT:-600}
deadline=$(( $(date +%s) + wait ))
log=$(mktemp)
trap 'rm -f "$log"' EXIT

echo "install-deps: updating the package lists, for:$missing"
# apt-get update has no lock timeout of its own: it is tried again while
# another process holds the lists' lock.
until $sudo apt-get update -qq >"$log" 2>&1; do
  if ! grep -qi "lock" "$log" || [ "$(date +%s)" -ge "$deadline" ]; then
    cat "$log" >&2
    echo "install-deps: apt-get update failed" >&2
    exit 1
  fi
  echo "install-deps: another apt process holds the lock; waiting"
  sleep 2
done

echo "install-deps: installing:$missing"
left=$(( deadline - $(date +%s) ))
[ "$left" -gt 0 ] || left=0
# shellcheck disable=SC2086
if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
     -o DPkg::Lock::Timeout="$left" $missing >"$log" 2>&1; then
  cat "$log" >&2
  echo "install-deps: apt-get install failed" >&2
  exit 1
fi
echo "install-deps: done"
