#!/bin/sh
# Creates the tests' own Wine prefix afresh. Mono and Gecko are switched off
# so that no installer dialog waits for an answer on a headless machine.
set -eu
"$WINESERVER" -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE" wineboot --init </dev/null >/dev/null 2>&1
"$WINESERVER" -w
test -f "$WINEPREFIX/system.reg"
