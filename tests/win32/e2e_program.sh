#!/usr/bin/env bash
# A smoke run of KVN.exe under Wine and Xvfb, against the MIDI devices of our stand-in
# winmm.dll: it starts and tunes the output, a note passes through key-shifted, a click reaches
# the panel, and the close button saves KVN.ini and ends the program with status 0. Then, with a
# driver that hangs in a SysEx send, the watchdog on the timer thread ends the program with status
# 1. What the program makes of MIDI, clicks and settings is for the tests on the simulated
# platform to check.
# Usage: e2e_program.sh KVN.exe TOOLS_DIR BITMAP_DIR WORK_DIR WINEPREFIX WINE
#   TOOLS_DIR holds winmm.dll (the stand-in). Needs DISPLAY (an X server without a window manager)
#   and a prefix whose windows are unmanaged; scripts/win32-test.sh sets both up.
set -uo pipefail
kvn_exe=$1 tools=$2 bitmaps=$3 work=$4
export WINEPREFIX=$5
if [ -z "${DISPLAY:-}" ]; then echo "skipped: needs an X display (scripts/win32-test.sh)"; exit 77; fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winmm=n"
wine=$6

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
logged() {  # logged TEXT: the driver's log holds TEXT within 10 s
  for _ in $(seq 100); do
    grep -qF -- "$1" "$run/winmm-log.txt" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
click() {  # click X Y: a point of the panel, whose top-left corner is at ($X, $Y)
  xdotool mousemove --sync $((X + $1)) $((Y + $2)) click 1
}
ini_has() { tr -d '\r' <"$run/KVN.ini" | grep -qxF -- "$1"; }

# Starts KVN.exe in folder $run, made afresh; sets $pid. On a loaded machine Wine at times fails to
# start a program at all: a start that ends before the driver's log appears never reached KVN.exe
# and is tried once more.
start() {
  rm -rf "$run"
  mkdir -p "$run"
  cp "$kvn_exe" "$tools/winmm.dll" "$run/"
  cp -r "$bitmaps" "$run/Bitmap"
  printf '[InitialSetting]\r\nMidiInDeviceName=E2E Keyboard\r\nMidiOutDeviceName=E2E Synth\r\ng_KeyShift=2\r\n' \
    >"$run/KVN.ini"
  for attempt in 1 2; do
    (cd "$run" && exec "$wine" KVN.exe >/dev/null 2>&1) &
    pid=$!
    for _ in $(seq 300); do
      [ -e "$run/winmm-log.txt" ] || ! kill -0 "$pid" 2>/dev/null && break
      sleep 0.1
    done
    [ -e "$run/winmm-log.txt" ] && return
    wait "$pid"
    echo "note: Wine did not start KVN.exe (attempt $attempt)"
  done
}
# Waits up to $1 seconds for KVN.exe to end; sets $status to its exit status, or to "timeout" (and
# stops it). Not in a subshell: only this shell can wait for its own children.
wait_end() {
  status=timeout
  for _ in $(seq $(($1 * 10))); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      status=$?
      return
    fi
    sleep 0.1
  done
  kill "$pid"
}

run=$work/Smoke
start
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^KVN - Smoke$' | head -n1)
check "the window appeared" test -n "$window"
eval "$(xdotool getwindowgeometry --shell "${window:-0}")"
check "the output was opened by its name" logged 'out 0 open "E2E Synth"'
check "the start-up tuning reached the output (channel 1's fine tuning)" logged "out 0 short 0065B0"
check "a note passed through, two semitones up" logged "out 0 short 643E90"
check "a SysEx passed through" logged "out 0 long F0 7E 7F 09 01 F7"
click 644 111  # frequency up (region 7 of the hit map, 05.bmp)
click 714 19   # close (region 15)
wait_end 20
check "the close button ends the program with status 0 (ended: $status)" test "$status" = 0
check "KVN.ini was written with CRLF line ends" awk '!/\r$/ { bad = 1 } END { exit bad }' "$run/KVN.ini"
check "KVN.ini keeps the pitch the click raised (440.5 Hz)" ini_has "g_Frequency=4405"
check "KVN.ini keeps the output" ini_has "MidiOutDeviceName=E2E Synth"

run=$work/Hung
KVN_STAND_IN_HANGS=1 start
box=$(timeout 40 xdotool search --sync --onlyvisible --name '^Korvane$' | head -n1)
check "a send that never returns is reported" test -n "$box"
xdotool key Return  # the box has the focus
wait_end 20
check "then the program ends with status 1 (ended: $status)" test "$status" = 1

echo "== $failures failure(s)"
[ "$failures" = 0 ]
