#!/bin/bash
# The installed package run as a user runs it: the launcher from the PATH, in a fresh home, with a
# JACK server on its dummy driver, a player (jack_midiseq, one note again and again) and a listener
# (jack_midi_dump). The note must come through Korvane, and SIGTERM must end it in order: status 0
# and the settings saved with both ports. Headless ("korvane --headless --in … --out …") where the
# installed program has that mode, else in a window on Xvfb with the ports written into KVN.ini
# beforehand. The ALSA sequencer must be absent, as on the CI machine: Korvane would take it.
# Usage: package_smoke.sh [LAUNCHER]   (default: korvane on the PATH)
set -u
launcher=$(command -v "${1:-korvane}") || { echo "FAIL: no launcher ${1:-korvane}" >&2; exit 1; }
program=$(dirname "$(readlink -f "$launcher")")/../libexec/korvane/kvn
# shellcheck source=scripts/servers.sh
. "$(dirname "$0")/../../scripts/servers.sh"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kvn-package-smoke.XXXXXX")
pid=""
# shellcheck disable=SC2317  # called by the trap
cleanup() {
    if [ -n "$pid" ] && ! kvn_gone "$pid"; then kill -KILL "$pid" 2>/dev/null; fi
    kvn_stop_servers
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for log in kvn.log listener.log player.log jackd.log; do
        [ -s "$tmp/$log" ] && { echo "--- $log" >&2; tail -n 40 "$tmp/$log" >&2; }
    done
    exit 1
}

headless=0
grep -qa -- '--headless' "$program" && headless=1
[ -e /dev/snd/seq ] && echo "note: /dev/snd/seq is there; if Korvane takes the ALSA sequencer, no note comes" >&2

# A server of this run's own, and the two clients, running before Korvane starts: its ports are
# then there to be linked at once.
export JACK_DEFAULT_SERVER="kvn-smoke-$$-$RANDOM" JACK_NO_START_SERVER=1
unset DISPLAY WAYLAND_DISPLAY
kvn_start_jackd "$tmp" || fail "jackd"
setsid setpriv --pdeathsig TERM stdbuf -oL jack_midi_dump kvnsmoke-listen >"$tmp/listener.log" 2>&1 &
KVN_SERVER_PIDS+=($!)
setsid setpriv --pdeathsig TERM jack_midiseq kvnsmoke-play 24000 0 60 12000 >"$tmp/player.log" 2>&1 &
KVN_SERVER_PIDS+=($!)
ports_up() { jack_lsp | grep -qx 'kvnsmoke-listen:input' && jack_lsp | grep -qx 'kvnsmoke-play:out'; }
kvn_wait_for 20 ports_up || fail "the player's and the listener's ports did not appear"

export HOME=$tmp/home XDG_DATA_HOME=$tmp/home/.local/share
folder=$XDG_DATA_HOME/korvane
mkdir -p "$folder"
cd "$tmp" || fail "cd"
if [ $headless = 1 ]; then
    echo "smoke: korvane --headless"
    "$launcher" --headless --in kvnsmoke-play:out --out kvnsmoke-listen:input >"$tmp/kvn.log" 2>&1 &
else
    echo "smoke: korvane in a window on Xvfb"
    printf '[InitialSetting]\nMidiInDeviceName=kvnsmoke-play:out\nMidiOutDeviceName=kvnsmoke-listen:input\n' \
        >"$folder/KVN.ini"
    kvn_start_xvfb "$tmp" || fail "Xvfb"
    "$launcher" >"$tmp/kvn.log" 2>&1 &
fi
pid=$!

# Middle C, note on (velocity 64), as the listener prints it.
note_through() { kvn_gone "$pid" || grep -Eqi '0x90 0x3c 0x40|\b90 3c 40\b' "$tmp/listener.log"; }
kvn_wait_for 60 note_through || fail "no note came through within 60 s"
kvn_gone "$pid" && fail "the program ended by itself"

kill -TERM "$pid"
kvn_wait_for 30 kvn_gone "$pid" || fail "the program did not end on SIGTERM"
wait "$pid"
status=$?
[ $status = 0 ] || fail "exit status $status"
grep -qx 'MidiInDeviceName=kvnsmoke-play:out' "$folder/KVN.ini" || fail "KVN.ini lacks the input"
grep -qx 'MidiOutDeviceName=kvnsmoke-listen:input' "$folder/KVN.ini" || fail "KVN.ini lacks the output"
echo "smoke: a note through the installed program over JACK, and an orderly end"
