#!/bin/sh
# The Debian packages, as a distribution would take them: built from the
# packaging preset (for /usr), lintian finds no error or warning in any of
# the three, the symbols file lists what the library exports, libirqhost-dev
# depends on exactly its own libirqhost1, its .pc file names /usr, and from a
# throw-away root holding all three a C program built against libirqhost-dev
# (pkg-config) runs against libirqhost1 and is raised by that root's bellTap
# and by irqhost_raise. Every wait has a time limit.
set -u
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project(bellTap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
out=build/packages
root=$(mktemp -d)
# Killed (a time limit, Ctrl+C), it cleans up too.
trap 'rm -rf "$root"' EXIT
trap 'exit 1' HUP INT TERM
fail() { echo "package_test: FAILED: $*"; rm -rf "$root"; exit 1; }

{ cmake --preset packaging && cmake --build --preset packaging &&
  cpack --config build/packaging/CPackConfig.cmake -B "$out"; } >"$root/build.log" 2>&1 ||
  fail "build or cpack: $(tail -20 "$root/build.log")"
debs=""
for package in belltap libirqhost1 libirqhost-dev; do
  deb=$out/${package}_${version}_$arch.deb
  [ -f "$deb" ] || fail "no $deb"
  debs="$debs $deb"
done
[ -f "$out/bellTap-$version-Linux.tar.gz" ] || fail "no tarball"
# shellcheck disable=SC2086
report=$(lintian --fail-on error,warning $debs 2>&1) || fail "lintian: $report"
for deb in $debs; do dpkg -x "$deb" "$root" || fail "dpkg -x $deb"; done

libdir=$root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
file "$root/usr/bin/bellTap" | grep -q "statically linked" || fail "bellTap is not static"
exported=$(nm -D --defined-only "$libdir/libirqhost.so.1" | awk '{print $3}' | sort | tr '\n' ' ')
listed=$(sed -n 's/^ \([a-z_]*\)@Base .*/\1/p' packaging/libirqhost1/symbols | sort | tr '\n' ' ')
[ "$exported" = "$listed" ] || fail "exported: $exported; the symbols file lists: $listed"

depends=$(dpkg-deb -f "$out/libirqhost-dev_${version}_$arch.deb" Depends)
[ "$depends" = "libirqhost1 (= $version)" ] || fail "libirqhost-dev depends on '$depends', not exactly its own libirqhost1"
pc=$libdir/pkgconfig/irqhost.pc
[ "$(sed -n 's/^prefix=//p' "$pc")" = /usr ] && grep -qx 'libdir=${prefix}/lib/'"$(dpkg-architecture -qDEB_HOST_MULTIARCH)" "$pc" ||
  fail "irqhost.pc does not name /usr plainly: $(head -3 "$pc")"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror libirqhost/tests/c_consumer.c -o "$root/consumer" \
  $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --define-variable=prefix="$root/usr" --cflags --libs irqhost) ||
  fail "build against libirqhost-dev"
LD_LIBRARY_PATH=$libdir timeout 20 "$root/consumer" "$root/usr/bin/bellTap" >"$root/out" 2>&1 ||
  fail "the consumer: $(cat "$root/out")"
LD_LIBRARY_PATH=$libdir ldd "$root/consumer" | grep -q "$libdir/libirqhost.so.1" || fail "not run against the root's libirqhost1"
rm -rf "$root"
echo "package_test: 1 passed, 0 failed"
