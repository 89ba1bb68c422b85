#!/usr/bin/env bash
# The tool's main job, end to end on this Linux machine: installs what is
# missing, builds the executable, starts a live process under Wine, boosts
# and unboosts it, and explains each exit code (the tool itself prints
# nothing). Plain Wine has no GPU scheduler, so the runs are shown twice:
# on plain Wine, and with the tests' stand-in for Windows' GPU scheduler.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null

tool=build/windows/morvane-boost.exe
helper=build/windows/tests/wine/wine-helper.exe
# No Mono or Gecko installers, and no menu entries written into the home.
export WINEPREFIX="$PWD/build/demo-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
unset DISPLAY
# A path as Windows programs under Wine see it (Z: is the root).
windows_path() {
  local path
  path=$(realpath -m "$1")
  echo "Z:${path//\//\\}"
}
# Wine's output goes to a file: wineserver outlives each program and would
# hold a pipe open.
log=build/demo-wine.log
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix in $WINEPREFIX (about 15 s, once)..."
  wine wineboot --init </dev/null >>"$log" 2>&1
  wineserver -w
fi
# The stand-ins sit beside Wine's DLLs and are loaded only by the runs that
# ask for them.
cp build/windows/tests/wine/stand-in/*.dll "$WINEPREFIX/drive_c/windows/system32/"

# What an exit code means for the mode that produced it.
meaning() {
  case "$1:$2" in
    boost:0) echo "GPU class realtime, confirmed; CPU class raised to high, throttling off" ;;
    unboost:0) echo "GPU class normal, confirmed; CPU class and throttling restored" ;;
    *:2) echo "the target process could not be opened; nothing changed" ;;
    boost:3) echo "refused for want of the base-priority privilege; nothing changed" ;;
    boost:4) echo "GPU class not set or not confirmed; nothing else changed" ;;
    unboost:4) echo "GPU class not confirmed as normal; CPU class and throttling restored all the same" ;;
    *:5) echo "usage error; nothing touched" ;;
    boost:10) echo "the user declined the elevation prompt" ;;
    boost:11) echo "no elevated copy could be started, or its exit code was unreadable" ;;
    *) echo "the elevated copy's own exit code" ;;
  esac
}

# A live target: the test helper, started at normal CPU priority. It writes
# its Windows process ID to a file and waits to be stopped.
pidfile=build/demo-target.pid
rm -f "$pidfile"
wine "$helper" target normal "$(windows_path "$pidfile")" </dev/null >>"$log" 2>&1 &
for _ in $(seq 100); do grep -q . "$pidfile" 2>/dev/null && break; sleep 0.1; done
pid=$(cat "$pidfile")
class() {
  local names=(unreadable idle below-normal normal above-normal high realtime) code=0
  wine "$helper" class "$pid" >>"$log" 2>&1 || code=$?
  echo "${names[$code]}"
}

# Runs the tool on the target with any environment given, and reports.
standin_log=build/demo-stand-in.log
boost_tool() {
  local mode=$1 before code=0
  shift
  before=$(class)
  rm -f "$standin_log"
  env "$@" wine "$tool" "$mode" "$pid" >>"$log" 2>&1 || code=$?
  echo "  morvane-boost $mode $pid -> exit code $code: $(meaning "$mode" "$code")."
  echo "      CPU class: $before -> $(class)"
}
with_stand_in=(WINEDLLOVERRIDES="$WINEDLLOVERRIDES;gdi32=n,b"
               MORVANE_STANDIN_LOG="$(windows_path "$standin_log")")
# The stand-in's log: which copy asked for what, and the answer.
show_calls() {
  awk -F'\t' '
    function name(c) { return c == 5 ? "realtime" : c == 2 ? "normal" : c }
    $4 == "set" { printf "      %s copy (process %s, \"%s\"): set GPU class %s -> %s\n", $2, $1, $3, name($6),
                  $7 == "0x00000000" ? "accepted" : $7 == "0xc0000061" ? "refused, privilege not held" : $7 }
    $4 == "get" { printf "      %s copy (process %s, \"%s\"): read back GPU class %s\n", $2, $1, $3, name($6) }
  ' "$standin_log"
}

echo
echo "Target: process $pid under Wine, CPU class $(class)."
echo
echo "On plain Wine, which has no GPU scheduling entry points:"
boost_tool boost
boost_tool unboost
echo
echo "With a stand-in for Windows' GPU scheduler (a test-only gdi32.dll from"
echo "tests/wine/stand-in that answers the two scheduling-class calls):"
boost_tool boost "${with_stand_in[@]}"
show_calls
boost_tool unboost "${with_stand_in[@]}"
show_calls
echo
echo "The same boost without the base-priority privilege: the stand-in refuses"
echo "the first copy, which starts an elevated copy through \"runas\" (Wine asks"
echo "no question) and passes its exit code on:"
boost_tool boost "${with_stand_in[@]}" MORVANE_STANDIN_SET=0xC0000061 MORVANE_STANDIN_ELEVATED_SET=0
show_calls
boost_tool unboost "${with_stand_in[@]}"

wine "$helper" stop "$pid" >>"$log" 2>&1
wait

cat <<EOT

Wine takes the CPU class. Wine 8's power-throttling call is a stub that
refuses; Wine 10 accepts the record but has no way to read it back. Either
way the exit code does not depend on it.

The executable: $PWD/$tool
On Windows, from PowerShell (\$pid is the shell's own ID; put any process ID there):
  (Start-Process morvane-boost.exe -ArgumentList boost,\$pid -Wait -PassThru).ExitCode
From cmd, for process 1234:
  start /wait morvane-boost.exe boost 1234
  echo %errorlevel%
EOT
