#!/bin/sh
# bellTap.exe must run when copied alone onto a Windows machine: it may import
# only DLLs that come with Windows, and it carries an asInvoker manifest and
# a version resource. It is stripped.
set -u
exe=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
imports=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
failed=0
for dll in $imports; do
  case $dll in
    kernel32.dll|msvcrt.dll|advapi32.dll|ntdll.dll|user32.dll|api-ms-win-*) ;;
    *) echo "FAIL: imports $dll"; failed=1 ;;
  esac
done
echo "imports: $(echo $imports)"
grep -q 'level="asInvoker"' "$exe" || { echo "FAIL: no asInvoker manifest"; failed=1; }
LC_ALL=C grep -qaP 'V\x00S\x00_\x00V\x00E\x00R\x00S\x00I\x00O\x00N\x00_\x00I\x00N\x00F\x00O' "$exe" ||
  { echo "FAIL: no version resource"; failed=1; }
"$objdump" -h "$exe" | grep -q ' \.debug' && { echo "FAIL: not stripped"; failed=1; }
[ $failed = 0 ] && echo "1 passed, 0 failed"
exit $failed
