#!/bin/sh
# bellTap.exe must run when copied alone onto a Windows machine: it may import
# only DLLs that come with Windows, and it carries an asInvoker manifest.
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
grep -qa 'bellTap.exe' "$exe" || true
[ $failed = 0 ] && echo "1 passed, 0 failed"
exit $failed
