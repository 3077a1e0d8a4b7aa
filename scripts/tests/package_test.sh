#!/bin/sh
# The Debian packages, as a distribution would take them: built from the
# packaging preset (for /usr), lintian finds no error or warning in any of
# the four; their fields, symbols, shlibs, changelogs and files are what a
# user relies on; and from a throw-away root holding them a C program built
# against libirqhost-dev (pkg-config, the root's header alone) runs against
# libirqhost1 and is raised by that root's bellTap and by irqhost_raise, a
# Python host of python3-irqhost is raised by bellTap and from Python, and a
# venv installs the package offline. Every wait has a time limit.
set -u
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project(bellTap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
out=build/packages
root=$(mktemp -d)
# Killed (a time limit, Ctrl+C), it cleans up too; its tools' temporary
# files (lintian's) go to a folder of its own.
trap 'rm -rf "$root"' EXIT
trap 'exit 1' HUP INT TERM
mkdir "$root/tmp" && export TMPDIR="$root/tmp"
fail() { echo "package_test: FAILED: $*"; exit 1; }

rm -f "$out"/*.deb "$out"/*.tar.gz # none of an earlier run's may stand in
{ cmake --preset packaging && cmake --build --preset packaging &&
  cpack --config build/packaging/CPackConfig.cmake -B "$out"; } >"$root/build.log" 2>&1 ||
  fail "build or cpack: $(tail -20 "$root/build.log")"
debs=""
for package in belltap:$arch libirqhost1:$arch libirqhost-dev:$arch python3-irqhost:all; do
  deb=$out/${package%:*}_${version}_${package#*:}.deb
  [ -f "$deb" ] || fail "no $deb"
  debs="$debs $deb"
done
[ -f "$out/bellTap-$version-Linux.tar.gz" ] || fail "no tarball"
# shellcheck disable=SC2086
report=$(lintian --fail-on error,warning $debs 2>&1) || fail "lintian: $report"
for deb in $debs; do dpkg -x "$deb" "$root" || fail "dpkg -x $deb"; done
field() { dpkg-deb -f "$out/$1_${version}_$2.deb" "$3"; }

# What each package says of itself and of the others.
[ "$(field libirqhost-dev "$arch" Depends)" = "libirqhost1 (= $version)" ] ||
  fail "libirqhost-dev depends on '$(field libirqhost-dev "$arch" Depends)', not exactly its own libirqhost1"
[ "$(field python3-irqhost all Depends)" = "libirqhost1 (= $version), python3" ] ||
  fail "python3-irqhost depends on '$(field python3-irqhost all Depends)'"
dpkg-deb -e "$out/libirqhost1_${version}_$arch.deb" "$root/control" || fail "dpkg-deb -e libirqhost1"
[ "$(cat "$root/control/shlibs")" = "libirqhost 1 libirqhost1 (>= $version)" ] || fail "shlibs: $(cat "$root/control/shlibs")"
for package in belltap libirqhost1 libirqhost-dev python3-irqhost; do
  top=$(gzip -dc "$root/usr/share/doc/$package/changelog.gz" | head -n 1)
  [ "$top" = "belltap ($version) unstable; urgency=medium" ] || fail "$package's changelog begins: $top"
done
libdir=$root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
exported=$(nm -D --defined-only "$libdir/libirqhost.so.1" | awk '{print $3}' | sort | tr '\n' ' ')
listed=$(sed -n 's/^ \([a-z_]*\)@Base .*/\1/p' packaging/libirqhost1/symbols | sort | tr '\n' ' ')
[ "$exported" = "$listed" ] || fail "exported: $exported; the symbols file lists: $listed"
# Each symbol's version is a release that the changelog names, and the
# newest brought the prepared line.
released=$(sed -n 's/^belltap (\([0-9.]*\)).*/\1/p' packaging/changelog)
for symbol_version in $(sed -n 's/^ [a-z_]*@Base //p' packaging/libirqhost1/symbols | sort -u); do
  echo "$released" | grep -qx "$symbol_version" || fail "the symbols file names $symbol_version, which is no release"
done
[ "$(sed -n 's/^ \(irqhost_line_[a-z]*\)@Base \(.*\)/\2/p' packaging/libirqhost1/symbols | sort -u)" = "$version" ] ||
  fail "the prepared line's symbols are not of $version"
[ -f "$root/usr/share/man/man3/irqhost.3.gz" ] || fail "no irqhost(3) in libirqhost-dev"
file "$root/usr/bin/bellTap" | grep -q "statically linked" || fail "bellTap is not static"
# The README's links lead to what the package ships beside it.
for link in $(grep -o '](docs/[a-z-]*\.md' "$root/usr/share/doc/belltap/README.md" | cut -c3- | sort -u); do
  [ -f "$root/usr/share/doc/belltap/$link" ] || fail "the installed README links to $link, which is not shipped"
done

# The C interface: pkg-config says where the root's header is, and the
# program is built with that one alone.
pc=$libdir/pkgconfig/irqhost.pc
[ "$(sed -n 's/^prefix=//p' "$pc")" = /usr ] && grep -qx 'libdir=${prefix}/lib/'"$(dpkg-architecture -qDEB_HOST_MULTIARCH)" "$pc" ||
  fail "irqhost.pc does not name /usr plainly: $(head -3 "$pc")"
config() { PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 pkg-config --define-variable=prefix="$root/usr" "$@" irqhost; }
[ "$(echo $(config --cflags))" = "-I$root/usr/include" ] || fail "pkg-config --cflags says: $(config --cflags)"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -MD -MF "$root/consumer.d" libirqhost/tests/c_consumer.c -o "$root/consumer" \
  $(config --cflags) $(config --libs) || fail "build against libirqhost-dev"
grep -q "$root/usr/include/irqhost.h" "$root/consumer.d" && ! grep -q " /usr/include/irqhost.h" "$root/consumer.d" ||
  fail "not built with the root's header: $(cat "$root/consumer.d")"
LD_LIBRARY_PATH=$libdir timeout 20 "$root/consumer" "$root/usr/bin/bellTap" >"$root/out" 2>&1 ||
  fail "the consumer: $(cat "$root/out")"
LD_LIBRARY_PATH=$libdir ldd "$root/consumer" | grep -q "$libdir/libirqhost.so.1" || fail "not run against the root's libirqhost1"

# The Python package from the root, its library the root's; then the
# source in a venv, offline.
line=$((1990000000 + ($$ % 100000)))
python() { PYTHONPATH=$root/usr/lib/python3/dist-packages LD_LIBRARY_PATH=$libdir PYTHONDONTWRITEBYTECODE=1 timeout 20 /usr/bin/python3 "$@"; }
python -c "
import irqhost, subprocess
with irqhost.Host([$line]) as host:
    assert subprocess.run(['$root/usr/bin/bellTap', '$line']).returncode == 0
    assert host.wait(5) == [$line]
    irqhost.raise_line($line)
    assert host.wait(5) == [$line]
assert irqhost.__file__.startswith('$root/')
" || fail "python3-irqhost's host and raise"
cp -r python "$root/source"
/usr/bin/python3 -m venv --system-site-packages "$root/venv" &&
  timeout 120 "$root/venv/bin/pip" install -q --no-index --no-build-isolation "$root/source" >"$root/pip.log" 2>&1 ||
  fail "the venv's install: $(tail -5 "$root/pip.log")"
LD_LIBRARY_PATH=$libdir timeout 20 "$root/venv/bin/python" -c "
import irqhost
with irqhost.Host([$line]) as host:
    irqhost.raise_line($line)
    assert host.wait(5) == [$line]
assert irqhost.__file__.startswith('$root/venv/')
" || fail "the venv's irqhost"

# An install under another prefix names that prefix, and says where the
# Python package went.
cmake --install build/packaging --prefix "$root/elsewhere" >"$root/install.log" 2>&1 || fail "cmake --install --prefix"
elsewhere_pc=$(find "$root/elsewhere" -name irqhost.pc)
[ "$(sed -n 's/^prefix=//p' "$elsewhere_pc")" = "$root/elsewhere" ] || fail "irqhost.pc under --prefix: $(head -1 "$elsewhere_pc")"
grep -q "PYTHONPATH=$root/elsewhere/lib/python3/dist-packages" "$root/install.log" ||
  fail "the install did not say where the Python package went: $(cat "$root/install.log" | tail -3)"
echo "package_test: 1 passed, 0 failed"
