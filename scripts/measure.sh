#!/usr/bin/env bash
# Figures for the executable: its size against the empty GUI program built
# the same way, its SHA-256, and the median wall time of 10 runs of each under
# Wine (a usage error for the tool, so both do nothing but start and exit).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh hyperfine
scripts/build.sh

tool=build/windows/morvane-boost.exe
empty=build/windows/tests/windows/empty-gui.exe
export WINEPREFIX="$PWD/build/demo-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
[ -f "$WINEPREFIX/system.reg" ] || wine wineboot --init </dev/null >/dev/null 2>&1
# One wineserver for all runs, so that each run times a program's start, not
# the server's. A server still up (wineboot's lingers) would refuse -p.
wineserver -w
wineserver -p
trap 'wineserver -k' EXIT

stat -c '%s bytes  %n' "$tool" "$empty"
sha256sum "$tool"
json=build/measure.json
hyperfine --runs 10 --warmup 2 -N --ignore-failure --export-json "$json" \
  "wine $tool" "wine $empty" >/dev/null 2>&1
python3 - "$json" <<'PY'
import json, sys
for result in json.load(open(sys.argv[1]))["results"]:
    print(f"median of {len(result['times'])} runs: {result['median'] * 1000:.0f} ms  {result['command']}")
PY
