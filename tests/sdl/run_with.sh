#!/bin/bash
# Runs one adapter test with servers of its own, and stops exactly those (by pid) afterwards:
#   --jack     a JACK server on the dummy driver, under a unique name
#   --no-jack  a unique server name that no server answers to (the "no MIDI system" case)
#   --x        an X server (Xvfb) on a free display
#   --wm       the X server and the openbox window manager on it
# Usage: run_with.sh [options] -- command [args...]
# Without --x the test has no display at all, so a message box goes to stderr instead of
# waiting for a click.
set -u

jack=0 nojack=0 x=0 wm=0
while [ $# -gt 0 ]; do
    case "$1" in
    --jack) jack=1 ;;
    --no-jack) nojack=1 ;;
    --x) x=1 ;;
    --wm) x=1 wm=1 ;;
    --) shift; break ;;
    *) break ;;
    esac
    shift
done

# Listing the tests needs no server.
for arg in "$@"; do
    [ "$arg" = "--gtest_list_tests" ] && exec "$@"
done

unset DISPLAY WAYLAND_DISPLAY
pids=()
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kvn-sdl-test.XXXXXX")

cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null; done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls until the command succeeds, for at most $1 seconds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.02
    done
}

# JACK keeps a registry of at most 8 servers per user, and a server that was killed outright
# (a test timing out) stays in it until a server of the same name starts again. So the name is
# made from the folder the test runs in: the next run reclaims it, and the JACK tests of one build
# take turns (RESOURCE_LOCK), so they never need it twice at once.
export JACK_NO_START_SERVER=1
if [ $jack = 1 ]; then
    export JACK_DEFAULT_SERVER="kvn-test-$(id -u)-$(pwd | cksum | cut -d' ' -f1)"
elif [ $nojack = 1 ]; then
    export JACK_DEFAULT_SERVER="kvn-none-$$-$RANDOM"  # nobody answers to it
fi
if [ $jack = 1 ]; then
    # -S: a period ends only when every client has finished it, so that a test which has seen a
    # message come back knows every other reader of that period is done too, even on a busy machine.
    jackd -n "$JACK_DEFAULT_SERVER" -r -S -d dummy -r 48000 -p 256 >"$tmp/jackd.log" 2>&1 &
    pids+=($!)
    if ! wait_for 20 jack_lsp; then
        echo "jackd did not start:" >&2
        cat "$tmp/jackd.log" >&2
        exit 1
    fi
fi

if [ $x = 1 ]; then
    mkfifo "$tmp/display"
    # -displayfd picks a free display and reports its number once the server accepts clients.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
    pids+=($!)
    if ! read -r -t 20 number <"$tmp/display"; then
        echo "Xvfb did not start:" >&2
        cat "$tmp/xvfb.log" >&2
        exit 1
    fi
    export DISPLAY=":$number"
fi
if [ $wm = 1 ]; then
    openbox --sm-disable >"$tmp/openbox.log" 2>&1 &
    pids+=($!)
    wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
    if ! wait_for 20 wm_ready; then
        echo "openbox did not start:" >&2
        cat "$tmp/openbox.log" >&2
        exit 1
    fi
fi

"$@"
status=$?
exit $status
