#!/bin/sh
# install-deps.sh: which packages it takes as missing (against a stand-in
# dpkg-query and apt-get), and, as root, that it waits while another process
# holds apt's locks, the dpkg lock longer than the lists lock, then installs.
# The machine's packages are left as they were: only a package that was not
# installed is installed, and removed again.
set -u
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "install_deps_test: FAILED: $*"; exit 1; }

# Stand-ins: dpkg-query answers from $work/status, apt-get logs its calls.
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
for last; do :; done
line=$(grep "^$last " "$STATES") || exit 1
echo "${line#* }" | tr -d '\n'
STUB
# apt-get logs its calls; its update finds the lists locked as often as
# $work/locked says, or fails as $APT_BROKEN says (update or install).
cat >"$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "$*" >>"$CALLS"
case "$1 ${APT_BROKEN:-}" in
  "update update"|"install install") echo "E: it broke" >&2; exit 100 ;;
esac
locked=$(cat "$LOCKED" 2>/dev/null || echo 0)
if [ "$1" = update ] && [ "$locked" -gt 0 ]; then
  echo $((locked - 1)) >"$LOCKED"
  echo "E: Could not get lock /var/lib/apt/lists/lock" >&2
  exit 100
fi
STUB
printf '#!/bin/sh\necho "sudo" >>"$CALLS"\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/"*
cat >"$work/status" <<'STATES'
ready installed
half half-installed
unpacked unpacked
gone config-files
STATES
STATES=$work/status CALLS=$work/calls PATH="$work/bin:$PATH" scripts/install-deps.sh ready half unpacked gone absent \
  >/dev/null 2>&1 || fail "install-deps.sh failed against the stand-ins"
grep -q -- "Timeout=[0-9]* half unpacked gone absent$" "$work/calls" ||
  fail "not taken as missing as they should be: $(cat "$work/calls")"
# Nothing missing: no call of apt at all, status 0, nothing said.
rm -f "$work/calls"
said=$(STATES=$work/status CALLS=$work/calls PATH="$work/bin:$PATH" scripts/install-deps.sh ready ready 2>&1) ||
  fail "install-deps.sh failed with nothing missing"
[ -e "$work/calls" ] && fail "apt was called with nothing missing: $(cat "$work/calls")"
[ -z "$said" ] || fail "it said, with nothing missing: $said"
# The lists locked by another process twice: it says it waits, then installs.
rm -f "$work/calls"
echo 2 >"$work/locked"
said=$(LOCKED=$work/locked STATES=$work/status CALLS=$work/calls PATH="$work/bin:$PATH" scripts/install-deps.sh absent 2>&1) ||
  fail "install-deps.sh failed after waiting for the lock: $said"
echo "$said" | grep -qxF "install-deps: updating the package lists, for: absent" || fail "it did not say what for: $said"
[ "$(echo "$said" | grep -c "another apt process holds the lock; waiting")" = 2 ] || fail "it did not say it waits: $said"
grep -q "^install -y" "$work/calls" || fail "not installed after the wait: $(cat "$work/calls")"
# The time to wait runs out while it waits for the lists: the install is
# given no time of its own to wait for dpkg's lock, never less than none.
rm -f "$work/calls"
echo 1 >"$work/locked"
APT_WAIT=1 LOCKED=$work/locked STATES=$work/status CALLS=$work/calls PATH="$work/bin:$PATH" scripts/install-deps.sh absent \
  >/dev/null 2>&1 || fail "install-deps.sh failed when its time ran out while it waited"
grep -q -- "-o DPkg::Lock::Timeout=0 absent$" "$work/calls" || fail "the install's time to wait: $(grep install "$work/calls")"
# A failing update or install: its output, a reason, status 1, and no
# install after a failed update; a failure that is no held lock is not tried
# again until the time to wait runs out (a limit that would pass it).
for broken in update install; do
  rm -f "$work/calls"
  mkdir -p "$work/tmp"
  said=$(TMPDIR=$work/tmp APT_WAIT=30 APT_BROKEN=$broken STATES=$work/status CALLS=$work/calls PATH="$work/bin:$PATH" \
         timeout 10 scripts/install-deps.sh absent 2>&1) && fail "install-deps.sh went on after a failed $broken"
  [ "$(grep -c "^update" "$work/calls")" = 1 ] || fail "a failed $broken was tried again: $(cat "$work/calls")"
  [ -z "$(ls -A "$work/tmp")" ] || fail "a failed $broken left its log: $(ls -A "$work/tmp")"
  case $said in *"E: it broke"*"install-deps: apt-get $broken failed"*) ;; *) fail "a failed $broken: $said" ;; esac
  [ "$broken" = update ] && grep -q "^install" "$work/calls" && fail "installed after a failed update"
done
# Another user than root: apt through sudo, or, where there is none, a
# clear refusal and no call of apt.
mkdir "$work/user"
printf '#!/bin/sh\necho 1000\n' >"$work/user/id"
cp "$work/bin/dpkg-query" "$work/bin/apt-get" "$work/user/"
chmod +x "$work/user/id"
rm -f "$work/calls"
STATES=$work/status CALLS=$work/calls PATH="$work/user:$work/bin:$PATH" scripts/install-deps.sh absent >/dev/null 2>&1 ||
  fail "install-deps.sh failed as another user with sudo"
[ "$(grep -c '^sudo$' "$work/calls")" = 2 ] || fail "apt was not run through sudo: $(cat "$work/calls")"
if ! command -v sudo >/dev/null 2>&1; then
  rm -f "$work/calls"
  said=$(STATES=$work/status CALLS=$work/calls PATH="$work/user:$PATH" scripts/install-deps.sh absent 2>&1) &&
    fail "install-deps.sh went on as another user without sudo"
  [ -e "$work/calls" ] && fail "apt was called without root: $(cat "$work/calls")"
  case $said in *"needs root"*) ;; *) fail "no clear refusal without sudo: $said" ;; esac
fi

[ "$(id -u)" = 0 ] || { echo "install_deps_test: 1 passed, 0 failed (the lock case needs root)"; exit 0; }
package=""
for candidate in hello cowsay sl fortune-mod; do
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$candidate" 2>/dev/null)" = installed ] || { package=$candidate; break; }
done
[ -n "$package" ] || { echo "install_deps_test: 1 passed, 0 failed (no package to install and remove)"; exit 0; }
# apt takes fcntl locks: the lists' for 1 s, dpkg's for 5 s.
python3 -c '
import fcntl, sys, time
lists, *dpkg = [open(path, "a") for path in sys.argv[1:]]
for f in [lists, *dpkg]:
    fcntl.lockf(f, fcntl.LOCK_EX)
print("locked", flush=True)
time.sleep(1)
lists.close()
time.sleep(4)
' /var/lib/apt/lists/lock /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock >"$work/held" &
holder=$!
for _ in $(seq 100); do grep -q locked "$work/held" && break; sleep 0.05; done
status=0
timeout 300 scripts/install-deps.sh "$package" >/dev/null 2>&1 || status=$?
wait "$holder"
installed=0
[ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" = installed ] && installed=1
apt-get purge -y -qq "$package" >/dev/null 2>&1
[ "$status" = 0 ] && [ "$installed" = 1 ] || fail "status $status, $package installed: $installed"
echo "install_deps_test: 2 passed, 0 failed"
