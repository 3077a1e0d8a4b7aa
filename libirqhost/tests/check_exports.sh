#!/bin/sh
# The shared library exports the irqhost_* functions of irqhost.h and nothing
# else, and needs nothing but the C library: libirqhost.so.1 one NEEDED
# entry, libc; irqhost.dll imports from KERNEL32 and msvcrt alone. The
# static library defines no other global symbol either.
# Usage: check_exports.sh LIBRARY HEADER ARCHIVE   (OBJDUMP and NM name MinGW's)
set -u
library=$1 header=$2 archive=$3
declared=$(sed -n 's/^IRQHOST_API [a-z_ ]*\*\{0,1\}\(irqhost_[a-z_]*\)(.*/\1/p' "$header" | sort | tr '\n' ' ')
# Each platform declares one function of its own: irqhost_handle on
# Windows, irqhost_descriptor elsewhere.
only_on() { declared=$(echo "$declared" | tr ' ' '\n' | grep -vx "$1" | tr '\n' ' '); }
case $library in
  *.dll)
    only_on irqhost_descriptor
    exported=$("$OBJDUMP" -p "$library" | sed -n '/Ordinal\/Name Pointer/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
    needed=$("$OBJDUMP" -p "$library" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
    wanted="kernel32.dll msvcrt.dll " ;;
  *)
    only_on irqhost_handle
    exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ')
    needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    wanted="libc.so.6 "
    readelf -d "$library" | grep -q 'Library soname: \[libirqhost.so.1\]' || { echo "FAIL: soname"; exit 1; } ;;
esac
archived=$("${NM:-nm}" --defined-only -g "$archive" | awk 'NF == 3 {print $3}' | sort | tr '\n' ' ')
# shellcheck disable=SC2086 # word splitting folds the lists' spacing
{ declared=$(echo $declared); exported=$(echo $exported); needed=$(echo $needed); wanted=$(echo $wanted); archived=$(echo $archived); }
failed=0
[ "$exported" = "$declared" ] || { echo "FAIL: exports '$exported', the header declares '$declared'"; failed=1; }
[ "$archived" = "$declared" ] || { echo "FAIL: the static library defines '$archived', not only '$declared'"; failed=1; }
[ "$needed" = "$wanted" ] || { echo "FAIL: needs '$needed', not only '$wanted'"; failed=1; }
[ -e "$archive.localize" ] && { echo "FAIL: the archive's work folder was left in the build tree"; failed=1; }
[ $failed = 0 ] && echo "1 passed, 0 failed"
exit $failed
