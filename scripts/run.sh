#!/usr/bin/env bash
# Builds kvn and starts it in the per-user folder that keeps its settings ("KVN.ini") and finds
# its skin ("Bitmap"). Usage:
#
#     bash scripts/run.sh [FOLDER]      FOLDER: default ${XDG_DATA_HOME:-~/.local/share}/korvane
#
# On a desktop it simply starts the program. On a machine without a display or without a MIDI
# system (no ALSA sequencer, no JACK server answering) it first starts what is missing: a virtual
# display (Xvfb, with openbox so that minimising works) and a JACK server on its dummy driver.
# It then waits for the panel, saves a screenshot of it, lists the JACK ports, and runs until
# Ctrl+C, when it closes Korvane (which saves its settings) and stops exactly what it started.
# KVN_BUILD_DIR chooses the build folder (default: build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVN_BUILD_DIR:-$root/build}
. "$root/scripts/servers.sh"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVN_WERROR=ON -DKVN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target kvn -j"$(nproc 2>/dev/null || echo 2)"

home=${1:-${XDG_DATA_HOME:-$HOME/.local/share}/korvane}
mkdir -p "$home"
home=$(cd "$home" && pwd)
# The skin comes from the build; a folder of the user's own skin is left alone.
if [ -L "$home/Bitmap" ] || [ ! -e "$home/Bitmap" ]; then
    ln -sfn "$build/Bitmap" "$home/Bitmap"
fi
title="KVN - $(basename "$home")"

display_answers() { [ -n "${DISPLAY:-}" ] && xprop -root >/dev/null 2>&1; }
midi_answers() { [ -c /dev/snd/seq ] || JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1; }

need_display=0 need_jack=0
if ! display_answers && [ -z "${WAYLAND_DISPLAY:-}" ]; then need_display=1; fi
if ! midi_answers; then need_jack=1; fi

if [ $need_display = 0 ] && [ $need_jack = 0 ]; then
    cd "$home"
    exec "$build/kvn"
fi

# From here on this script owns servers: it stays, and stops them when Korvane ends.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/korvane-run.XXXXXX")
kvn_pid=""
finish() {
    local status=$?
    trap - EXIT INT TERM HUP
    if [ -n "$kvn_pid" ] && ! kvn_gone "$kvn_pid"; then stop_kvn; fi
    kvn_stop_servers
    rm -rf "$tmp"
    exit $status
}
trap finish EXIT
trap 'exit 130' INT TERM HUP

# Korvane closes in order on SIGTERM (and saves); a second one ends it at once.
stop_kvn() {
    kill -TERM "$kvn_pid" 2>/dev/null || return 0
    if ! kvn_wait_for 10 kvn_gone "$kvn_pid"; then
        echo "Korvane did not close within 10 s; stopping it." >&2
        kill -TERM "$kvn_pid" 2>/dev/null
        kvn_wait_for 3 kvn_gone "$kvn_pid" || kill -KILL "$kvn_pid" 2>/dev/null
    fi
    wait "$kvn_pid" 2>/dev/null || true
}

if [ $need_display = 1 ]; then
    kvn_start_xvfb "$tmp"
    kvn_start_openbox "$tmp"
fi
if [ $need_jack = 1 ]; then
    unset JACK_DEFAULT_SERVER  # the default server, so that every JACK program finds it
    kvn_start_jackd "$tmp"
fi
export JACK_NO_START_SERVER=1

# In a session of its own, so that Ctrl+C reaches this script only, which then closes Korvane
# before it stops the servers Korvane is using.
cd "$home"
setsid "$build/kvn" &
kvn_pid=$!
cd "$root"

if [ $need_display = 1 ]; then
    panel_up() { kvn_gone "$kvn_pid" || xwininfo -name "$title" | grep -q IsViewable; }
    painted() {
        kvn_gone "$kvn_pid" && return 0
        local mean
        mean=$(/usr/bin/import -window "$(xwininfo -name "$title" | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')" \
            png:- 2>/dev/null | /usr/bin/convert - -format '%[fx:mean]' info: 2>/dev/null) || return 1
        awk -v m="$mean" 'BEGIN { exit !(m > 0.02) }'
    }
    shot=${TMPDIR:-/tmp}/korvane-panel.png
    if kvn_wait_for 30 panel_up && kvn_wait_for 10 painted && ! kvn_gone "$kvn_pid"; then
        /usr/bin/import -window root "$shot"
        echo "Korvane is running on the virtual display $DISPLAY; its settings: $home/KVN.ini"
        echo "Screenshot of the panel: $shot"
    else
        /usr/bin/import -window root "$shot" 2>/dev/null || true
        echo "The panel did not appear (a message may be waiting on the virtual display: $shot)." >&2
    fi
fi
if kvn_gone "$kvn_pid"; then
    wait "$kvn_pid" || exit $?
    exit 0
fi
echo "MIDI ports (JACK):"
jack_lsp | sed 's/^/    /'
echo "Korvane plays to the port KVN:out (connect a synthesizer to it, e.g. jack_connect KVN:out <synth>),"
echo "and listens on KVN:in once an input is chosen on the panel."
echo "Press Ctrl+C to close Korvane and stop what this script started."

status=0
wait "$kvn_pid" || status=$?
if ! kvn_gone "$kvn_pid"; then  # interrupted: the trap's exit runs finish, which closes it
    exit 130
fi
exit $status
