#!/usr/bin/env bash
# Figures for the executable: its size against the empty GUI program built
# the same way, its SHA-256, and the median wall time of 10 runs under Wine of
# the tool (a usage error, so it does nothing but start and exit) and of its
# floor: the empty GUI program linked with the tool's own system DLLs
# (gdi32, advapi32, shell32), whose mapping is most of a start under Wine.
# The last line is the ratio of the two medians.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh hyperfine >&2
scripts/build.sh >/dev/null

tool=build/windows/morvane-boost.exe
empty=build/windows/tests/wine/empty-gui.exe
floor=build/windows/tests/wine/floor-gui.exe
export WINEPREFIX="$PWD/build/demo-wineprefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix in $WINEPREFIX (about 15 s, once)..." >&2
  wine wineboot --init </dev/null >/dev/null 2>&1
fi
# One wineserver for all runs, so that each run times a program's start, not
# the server's. A server still up (wineboot's lingers) would refuse -p.
wineserver -w
wineserver -p
trap 'wineserver -k' EXIT

stat -c '%s bytes  %n' "$tool" "$empty"
sha256sum "$tool"
echo "Timing 10 runs of each under Wine (about 5 s)..." >&2
json=build/measure.json
hyperfine --runs 10 --warmup 2 -N --ignore-failure --export-json "$json" \
  "wine $tool" "wine $floor" >/dev/null 2>&1
python3 - "$json" <<'PY'
import json, sys
tool, floor = json.load(open(sys.argv[1]))["results"]
for result, name in [(tool, "the tool"), (floor, "the floor: an empty program with the tool's system DLLs")]:
    print(f"median of {len(result['times'])} runs: {result['median'] * 1000:.0f} ms  {name}")
print(f"ratio tool/floor {tool['median'] / floor['median']:.2f}")
PY
