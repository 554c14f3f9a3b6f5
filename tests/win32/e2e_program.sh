#!/usr/bin/env bash
# KVN.exe end to end under Wine and Xvfb, against scripted MIDI devices (our stand-in winmm.dll).
# Usage: e2e_program.sh KVN.exe TOOLS_DIR BITMAP_DIR WORK_DIR WINEPREFIX
#   TOOLS_DIR holds winmm.dll (the stand-in) and wintool.exe. Needs DISPLAY (an X server without a
#   window manager) and a prefix whose windows are unmanaged; scripts/win32-test.sh sets both up.
# Each scenario runs in its own folder: KVN.exe, winmm.dll, Bitmap/, winmm-script.txt.
set -uo pipefail
kvn_exe=$1 tools=$2 bitmaps=$3 work=$4
export WINEPREFIX=$5
if [ -z "${DISPLAY:-}" ]; then echo "skipped: needs an X display (scripts/win32-test.sh)"; exit 77; fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winmm=n"
wine=/usr/lib/wine/wine64

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}

# Runs the helper; its output (LF endings) on stdout. Through a file: a pipe could be held open
# by Wine's own background processes.
wintool() {
  local out rc
  out=$(mktemp)
  "$wine" "$tools/wintool.exe" "$@" >"$out" 2>/dev/null
  rc=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $rc
}

# Makes a scenario folder: make_run NAME SCRIPT [WITH_BITMAPS=1]
make_run() {
  local dir=$work/$1
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$kvn_exe" "$tools/winmm.dll" "$dir/"
  if [ "${3:-1}" = 1 ]; then cp -r "$bitmaps" "$dir/Bitmap"; fi
  printf '%s\n' "$2" >"$dir/winmm-script.txt"
  echo "$dir"
}

# Starts KVN.exe in its folder; sets $pid. Every run opens its output first, so the stand-in
# driver's log appears early; a start that ends without it never reached the program (Wine failing
# to start a process on a loaded machine) and is tried once more. "nowait" as $2: a run that
# opens no port (a refused second copy) is started once, as it is.
start_kvn() {
  local attempt
  for attempt in 1 2; do
    (cd "$1" && exec "$wine" KVN.exe >/dev/null 2>&1) &
    pid=$!
    [ "${2:-}" = nowait ] && return 0
    for _ in $(seq 300); do
      [ -e "$1/winmm-log.txt" ] && return 0
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -e "$1/winmm-log.txt" ] && return 0
    kill -0 "$pid" 2>/dev/null && return 0
    wait "$pid" 2>/dev/null
    echo "note: Wine did not start KVN.exe in $1 (attempt $attempt)"
  done
}

# Waits for the program to end, up to $2 seconds; sets $ended to its exit status or "timeout".
# (Not in a subshell: only this shell can wait for its own children.)
wait_end() {
  local p=$1 limit=$(( $2 * 10 ))
  ended=timeout
  for _ in $(seq "$limit"); do
    if ! kill -0 "$p" 2>/dev/null; then
      wait "$p"
      ended=$?
      return 0
    fi
    sleep 0.1
  done
  kill "$p" 2>/dev/null
  return 1
}
ended_with() {  # ended_with PID SECONDS STATUS
  wait_end "$1" "$2"
  [ "$ended" = "$3" ] || { echo "   (ended: $ended)"; return 1; }
}

# Waits until the driver log of folder $1 contains text $2, up to $3 seconds.
wait_log() {
  for _ in $(seq $(( $3 * 10 ))); do
    grep -qF -- "$2" "$1/winmm-log.txt" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

crlf_only() { [ -s "$1" ] && awk '!/\r$/ { bad = 1 } END { exit bad }' "$1"; }
ini_has() { tr -d '\r' <"$1" | grep -qxF -- "$2"; }

# Within 5 s, a line holding $3 comes after the first line holding $2 in the driver log of run $1.
log_order() {
  local a b
  for _ in $(seq 50); do
    a=$(grep -nF -- "$2" "$1/winmm-log.txt" 2>/dev/null | head -n1 | cut -d: -f1)
    b=$(grep -nF -- "$3" "$1/winmm-log.txt" 2>/dev/null | awk -F: -v a="${a:-0}" '$1 > a { print $1; exit }')
    [ -n "$a" ] && [ -n "$b" ] && return 0
    sleep 0.1
  done
  return 1
}

# Clicks at client point ($1,$2) of a window whose top-left corner is ($wx,$wy).
click_at() {
  xdotool mousemove --sync $((wx + $1)) $((wy + $2)) click 1
}

# Centre of a control on the hit map.
region() { wintool findregion "$bitmaps/05.bmp" "$1"; }

mkdir -p "$work"
rm -f "$work"/*.png

# ================================================================================================
echo "== first run: placement, skin, MIDI thru, clicks, picker, drag, close"
run=$(make_run Studio "in E2E Keyboard
in E2E Pads
out E2E Synth
input 300 short 90 3C 64
input 400 sysex F0 41 10 42 12 40 00 7F 00 41 F7")
# Ports chosen at an earlier run; no window keys yet, so the window takes its default place.
printf '[InitialSetting]\r\nMidiInDeviceName=E2E Keyboard\r\nMidiOutDeviceName=E2E Synth\r\ng_KeyShift=2\r\n' >"$run/KVN.ini"
start_kvn "$run"
main_pid=$pid
info=$(wintool window "KVN - Studio" 30000) || fail "the window did not appear"
echo "$info"
read -r _ l t r b <<<"$(grep '^rect' <<<"$info")"
read -r _ wl wt wr wb <<<"$(grep '^workarea' <<<"$info")"
check "window is 740 x 150" test "$((r - l))x$((b - t))" = 740x150
check "window stands at the default place ($((wr / 2 - 370)), $((wb / 2 - 75)))" \
  test "$l,$t" = "$((wr / 2 - 370)),$((wb / 2 - 75))"
style=$(sed -n 's/^style \([0-9A-F]*\) .*/\1/p' <<<"$info")
check "frame style is WS_POPUP|WS_SYSMENU|WS_MINIMIZEBOX|WS_MAXIMIZEBOX" \
  test "$(printf '%08X' $((0x$style & ~0x16000000)))" = 800B0000
wx=$l wy=$t

# The one-instance rule looks at the folder's name only.
mkdir -p "$work/elsewhere/Studio"
cp "$kvn_exe" "$tools/winmm.dll" "$work/elsewhere/Studio/"
start_kvn "$work/elsewhere/Studio" nowait
second=$pid
text=$(wintool box Korvane 20000)
check "a second copy in another folder named Studio is refused" test "$text" = "KVN.exe is already starting."
check "the refused copy ends" ended_with "$second" 20 0
check "the refused copy writes no settings" test ! -e "$work/elsewhere/Studio/KVN.ini"

check "the output was opened by its name" wait_log "$run" 'out 0 open "E2E Synth"' 5
check "the input was started" wait_log "$run" "in 0 start" 5
check "the start-up burst begins with All Notes Off on channel 1" log_order "$run" 'out 0 open "E2E Synth"' "out 0 short 007BB0"
check "then All Sound Off and Reset All Controllers reach channel 16" log_order "$run" "out 0 short 0078BF" "out 0 short 0079BF"
check "then the fine tuning of channel 1 follows" log_order "$run" "out 0 short 0079BF" "out 0 short 0065B0"
check "a note passed through, two semitones up" wait_log "$run" "out 0 short 643E90" 5
check "the GS reset passed through" wait_log "$run" "out 0 long F0 41 10 42 12 40 00 7F 00 41 F7" 5
check "the driver reported the reset sent" wait_log "$run" "out 0 done" 5
check "the GS reset is followed by fine tuning" log_order "$run" "out 0 long F0 41 10 42 12 40 00 7F 00 41 F7" "out 0 short 7F64BF"

# What the window shows is the skin (lamps, digits and names cover a part of it).
import -window root "$work/studio.png"
convert "$work/studio.png" -crop "740x150+$wx+$wy" +repage "$work/studio-window.png"
differ=$(compare -metric AE -fuzz 10% "$work/studio-window.png" "$bitmaps/00.bmp" null: 2>&1 | cut -d' ' -f1)
echo "pixels unlike the background bitmap: $differ of 111000"
check "the window shows the panel" test "${differ%.*}" -lt 40000

read -r fx fy <<<"$(region 7)"                      # frequency up
click_at "$fx" "$fy"
xdotool click --repeat 2 --delay 60 1               # a double-click: its second click is one more press

read -r ix iy <<<"$(region 3)"                      # the input's name opens the picker
click_at "$ix" "$iy"
list=$(wintool list 10000) || fail "the picker did not open"
echo "$list"
check "the picker lists both inputs in row order" \
  test "$(grep '^line' <<<"$list" | cut -c6-)" = " 0: E2E Keyboard
 1: E2E Pads"
check "the picker marks the input in use" grep -qx 'cursel 0' <<<"$list"
check "the picker stands 63, 3 from the window" grep -q "^rect $((wx + 63)) $((wy + 3)) " <<<"$list"
read -r _ cx cy _ ih _ <<<"$(grep '^client' <<<"$list")"
xdotool mousemove --sync $((cx + 30)) $((cy + ih + ih / 2)) click 1
check "choosing a line switches the input" wait_log "$run" 'in 1 open "E2E Pads"' 10

read -r mx my <<<"$(region 13)"                     # drag the window by its handle
xdotool mousemove --sync $((wx + mx)) $((wy + my)) mousedown 1
xdotool mousemove --sync $((wx + mx + 20)) $((wy + my + 10))
xdotool mousemove --sync $((wx + mx + 40)) $((wy + my + 30)) mouseup 1
stands_at() {  # stands_at TITLE "L T R B": polls until the window has that rect
  for _ in $(seq 50); do
    wintool window "$1" 1000 | grep -qx "rect $2" && return 0
    sleep 0.1
  done
  return 1
}
check "dragging moved the window by 40, 30" stands_at "KVN - Studio" "$((wx + 40)) $((wy + 30)) $((wx + 780)) $((wy + 180))"
wx=$((wx + 40)) wy=$((wy + 30))

read -r qx qy <<<"$(region 15)"                     # close
click_at "$qx" "$qy"
check "the close button ends the program with status 0" ended_with "$main_pid" 20 0
check "closing closed both ports" grep -q "out 0 close" "$run/winmm-log.txt"
check "closing stopped the timer" grep -q "timer kill" "$run/winmm-log.txt"
ini=$run/KVN.ini
check "KVN.ini was written with CRLF line ends" crlf_only "$ini"
check "KVN.ini keeps the pitch after three presses (441.5 Hz)" ini_has "$ini" "g_Frequency=4415"
check "KVN.ini keeps the chosen input" ini_has "$ini" "MidiInDeviceName=E2E Pads"
check "KVN.ini keeps the output" ini_has "$ini" "MidiOutDeviceName=E2E Synth"
check "KVN.ini keeps the dragged place" ini_has "$ini" "left=$wx"
check "KVN.ini keeps the dragged place (top)" ini_has "$ini" "top=$wy"
check "KVN.ini says shown" ini_has "$ini" "Show=1"

# ================================================================================================
echo "== second run: coarse timer warning, place pulled into the work area, minimise, platform close"
run=$(make_run Coarse "out E2E Synth
timecaps 2 1000")
printf '[WindowPosition]\r\nleft=-500\r\ntop=5000\r\n' >"$run/KVN.ini"
start_kvn "$run"
pid2=$pid
text=$(wintool box "CMIDI::mf_TimerInitialize()" 30000)
check "the coarse timer is reported in Japanese" test "$text" = "マルチメディア高精度タイマーが使用できません！"
info=$(wintool window "KVN - Coarse" 10000)
read -r _ l t r b <<<"$(grep '^rect' <<<"$info")"
check "a stored place outside the work area is pulled in" test "$l,$t" = "$wl,$((wb - 150))"
wx=$l wy=$t
read -r nx ny <<<"$(region 14)"                     # minimise
click_at "$nx" "$ny"
minimised() {
  for _ in $(seq 50); do
    wintool window "KVN - Coarse" 1000 | grep -q 'iconic 1' && return 0
    sleep 0.1
  done
  return 1
}
check "the minimise button minimises" minimised
wintool close "KVN - Coarse"
check "the platform's close command ends the program with status 0" ended_with "$pid2" 20 0
check "KVN.ini says minimised" ini_has "$run/KVN.ini" "Show=0"
check "KVN.ini keeps the place the window was given" ini_has "$run/KVN.ini" "left=$wl"

# ================================================================================================
echo "== third run: no skin"
run=$(make_run Bare "out E2E Synth" 0)
start_kvn "$run"
pid3=$pid
text=$(wintool box KVN 30000)
check "a missing skin file is named" test "$text" = "00.bmp file is not found.
Please defrost a KVN_xxx.zip file once again."
check "a start without skin ends with status 1" ended_with "$pid3" 20 1
check "the settings are still written" ini_has "$run/KVN.ini" "[InitialSetting]"
check "the window's keys are not written" bash -c "! tr -d '\r' <'$run/KVN.ini' | grep -q WindowPosition"

# ================================================================================================
echo "== fourth run, two at once: an output that never finishes, and one that hangs in the send"
never=$(make_run Never "in E2E Keyboard
out E2E Synth
out-long 0 never
input 200 sysex F0 41 10 42 12 40 00 7F 00 41 F7
input 400 sysex F0 43 10 4C 00 00 7E 00 F7")
printf '[InitialSetting]\r\nMidiOutDeviceName=E2E Synth\r\n[WindowPosition]\r\nleft=0\r\ntop=0\r\n' >"$never/KVN.ini"
hung=$(make_run Hung "in E2E Keyboard
out E2E Synth
out-long 0 block
input 200 sysex F0 43 10 4C 00 00 7E 00 F7")
printf '[InitialSetting]\r\nMidiOutDeviceName=E2E Synth\r\n[WindowPosition]\r\nleft=0\r\ntop=800\r\n' >"$hung/KVN.ini"
start_kvn "$never"
never_pid=$pid
start_kvn "$hung"
hung_pid=$pid
# Both boxes come after 10 s; the watchdog's box has its own wording.
for _ in 1 2; do
  text=$(wintool box Korvane 30000) || { fail "no recovery message"; break; }
  echo "box: $text"
  case $text in
    "[E2E Synth] got missing,  Change to [Window's MIDI Mapper]") echo "ok: a never-finishing output is reported" ;;
    "[E2E Synth] got missing.  Sorry,  Exit this application.") echo "ok: a hung send is reported" ;;
    *) fail "unexpected box: $text" ;;
  esac
done
check "a hung send ends the program with status 1" ended_with "$hung_pid" 20 1
check "after the never-finishing output the mapper is opened" wait_log "$never" 'out mapper open' 10
wintool close "KVN - Never"
check "the program with the mapper ends normally" ended_with "$never_pid" 20 0
check "the mapper is remembered" ini_has "$never/KVN.ini" "MidiOutDeviceName=Window's MIDI Mapper"

echo "== $failures failure(s)"
[ "$failures" = 0 ]
