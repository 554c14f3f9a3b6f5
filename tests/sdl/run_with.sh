#!/bin/bash
# Runs one adapter or end-to-end test with servers of its own, and stops exactly those (by pid)
# afterwards:
#   --jack     a JACK server on the dummy driver, under a unique name, running synchronously
#   --jack-async  the same, running asynchronously: a client that vanishes without closing (a
#              program ended by a signal) holds a synchronous server up for a long time
#   --no-jack  a unique server name that no server answers to (the "no MIDI system" case)
#   --x        an X server (Xvfb) on a free display
#   --wm       the X server and the openbox window manager on it
# Usage: run_with.sh [options] -- command [args...]
# Without --x the test has no display at all, so a message box goes to stderr instead of
# waiting for a click. The test finds the servers' pids in KVN_TEST_XVFB_PID and
# KVN_TEST_JACKD_PID, for the tests in which one of them goes away, and the JACK server's log in
# KVN_TEST_JACKD_LOG.
set -u

jack=0 nojack=0 x=0 wm=0
while [ $# -gt 0 ]; do
    case "$1" in
    --jack) jack=1 ;;
    --jack-async) jack=2 ;;
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

. "$(dirname "$0")/../../scripts/servers.sh"

unset DISPLAY WAYLAND_DISPLAY
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kvn-sdl-test.XXXXXX")
trap 'kvn_stop_servers; rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM

# JACK keeps a registry of eight servers that the whole machine shares, and a server that was
# killed outright (a test timing out, a server that would not stop) keeps its place in it until a
# server of the same name starts again. So one build's tests use one name, drawn once and kept in
# the build's folder (the tests run in folders under its "testrun"): each server they start takes
# over the place the last one may have left, and as the JACK tests of one build take turns
# (RESOURCE_LOCK), they never need it twice at once; other builds and checkouts, here or on a
# machine sharing this one's registry, draw names of their own. A registry filled by others is
# dealt with by kvn_start_jackd.
if [ $jack != 0 ]; then
    namefile="${PWD%%/testrun*}/.kvn-jack-server"
    [ -s "$namefile" ] || (set -C; echo "kvn-test-$(id -u)-$RANDOM$RANDOM$RANDOM" >"$namefile") 2>/dev/null
    JACK_DEFAULT_SERVER=$(cat "$namefile")
    export JACK_DEFAULT_SERVER
elif [ $nojack = 1 ]; then
    export JACK_DEFAULT_SERVER="kvn-none-$$-$RANDOM"  # nobody answers to it
fi
if [ $jack = 1 ]; then
    # -S: a period ends only when every client has finished it, so that a test which has seen a
    # period go by knows every other client is done with it too, even on a busy machine.
    # -t: how long a period waits for a late client before going on without it; generous, so that
    # a client starved by a busy machine delays the period instead of breaking that order.
    kvn_start_jackd "$tmp" -S -t 5000 || exit 1
    export KVN_TEST_JACKD_PID=${KVN_SERVER_PIDS[-1]}
elif [ $jack = 2 ]; then
    kvn_start_jackd "$tmp" || exit 1
    export KVN_TEST_JACKD_PID=${KVN_SERVER_PIDS[-1]}
fi
[ $jack != 0 ] && export KVN_TEST_JACKD_LOG="$tmp/jackd.log"
if [ $x = 1 ]; then
    kvn_start_xvfb "$tmp" || exit 1
    export KVN_TEST_XVFB_PID=${KVN_SERVER_PIDS[-1]}
fi
if [ $wm = 1 ]; then
    kvn_start_openbox "$tmp" || exit 1
fi

# The test ends with this script, however this script ends.
setpriv --pdeathsig KILL "$@"
status=$?
exit $status
