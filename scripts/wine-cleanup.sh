#!/bin/sh
# Ends the wineserver of a Wine prefix and removes the folder it keeps in
# /tmp for that prefix (/tmp/.wine-UID/server-DEV-INODE), which it leaves
# behind; /tmp/.wine-UID itself only when nothing else is left in it.
# Usage: wine-cleanup.sh WINEPREFIX
set -u
prefix=$1
[ -d "$prefix" ] || exit 0
WINEPREFIX=$prefix timeout 30 wineserver -k 2>/dev/null
WINEPREFIX=$prefix timeout 30 wineserver -w 2>/dev/null
servers=/tmp/.wine-$(id -u)
rm -rf "$servers/server-$(stat -c %D "$prefix")-$(printf %x "$(stat -c %i "$prefix")")"
rmdir "$servers" 2>/dev/null
exit 0
