#!/bin/sh
# Creates the tests' own Wine prefix afresh. Mono and Gecko are switched off
# so that no installer dialog waits for an answer on a headless machine, and
# the menu builder, so that nothing is written into the user's home.
# The stand-ins go into system32 beside Wine's DLLs; Wine loads them only in
# the runs that ask for them (WINEDLLOVERRIDES=gdi32=n,b and the like).
set -eu
"$WINESERVER" -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" "$WINE" wineboot --init </dev/null >/dev/null 2>&1
"$WINESERVER" -w
test -f "$WINEPREFIX/system.reg"
cp "$STAND_IN_DIR"/*.dll "$WINEPREFIX/drive_c/windows/system32/"
