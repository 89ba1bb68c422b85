#!/usr/bin/env bash
# The tool's main job, end to end on this Linux machine: installs what is
# missing, builds the executable, starts a live process under Wine, boosts
# and unboosts it, and explains each exit code (the tool itself prints
# nothing).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
echo "Building..."
scripts/build.sh

tool=build/windows/morvane-boost.exe
helper=build/windows/tests/windows/wine-helper.exe
export WINEPREFIX="$PWD/build/demo-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
# Wine's output goes to a file: wineserver outlives each program and would
# hold a pipe open.
log=build/demo-wine.log
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating a Wine prefix (once)..."
  wine wineboot --init </dev/null >>"$log" 2>&1
  wineserver -w
fi

meaning() {
  case "$1" in
    0) echo "GPU class set and confirmed; CPU class and power throttling changed too" ;;
    2) echo "the target process could not be opened; nothing changed" ;;
    3) echo "refused for want of the base-priority privilege; nothing changed" ;;
    4) echo "GPU class not set or not confirmed (boost: nothing else changed; unboost: CPU class and throttling restored)" ;;
    5) echo "usage error; nothing touched" ;;
    10) echo "the user declined the elevation prompt" ;;
    11) echo "no elevated copy could be started, or its exit code was unreadable" ;;
    *) echo "the elevated copy's own exit code" ;;
  esac
}

# A live target: the test helper, started at high CPU priority. It writes
# its Windows process ID to a file and waits to be stopped.
pidfile=build/demo-target.pid
rm -f "$pidfile"
wine "$helper" target high "Z:$(realpath "$pidfile" | tr / '\\')" </dev/null >>"$log" 2>&1 &
for _ in $(seq 100); do grep -q . "$pidfile" 2>/dev/null && break; sleep 0.1; done
pid=$(cat "$pidfile")
class() {
  local names=(unreadable idle below-normal normal above-normal high realtime) code=0
  wine "$helper" class "$pid" >>"$log" 2>&1 || code=$?
  echo "${names[$code]}"
}
echo "Target process $pid under Wine, CPU class $(class)."

for mode in boost unboost; do
  code=0
  wine "$tool" "$mode" "$pid" >>"$log" 2>&1 || code=$?
  echo "morvane-boost $mode $pid -> exit code $code: $(meaning "$code"); CPU class now $(class)."
done
wine "$helper" stop "$pid" >>"$log" 2>&1
wait

cat <<EOT

Wine has no GPU scheduling entry points, so both runs end with 4 there; on
Windows 10/11 a boost returns 0 (or asks for elevation first).

The executable: $PWD/$tool
On Windows, from PowerShell (\$pid is the shell's own ID; put any process ID there):
  (Start-Process morvane-boost.exe -ArgumentList boost,\$pid -Wait -PassThru).ExitCode
From cmd, for process 1234:
  start /wait morvane-boost.exe boost 1234
  echo %errorlevel%
EOT
