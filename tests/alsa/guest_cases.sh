#!/bin/bash
# Inside the ALSA tier's virtual machine (tests/alsa/vm_run.sh): runs every test case of the given
# GoogleTest programs, each in a process of its own as ctest runs them, one after another, and
# exits non-zero if any failed. They share one X server (Xvfb, on the first free display, exported
# as DISPLAY; its pid in KVN_TEST_XVFB_PID) and openbox, stopped by pid at the end: an X server
# starts slowly in the emulated machine. A case that takes the X server away gets its own, and the
# cases after it a new one. No JACK server: JACK_DEFAULT_SERVER is cleared and none is started on
# demand, so kvn finds no JACK and takes the ALSA sequencer.
#   Usage: guest_cases.sh [--] program...
set -u
[ "${1:-}" = "--" ] && shift

# shellcheck source=scripts/servers.sh
. "$(dirname "$0")/../../scripts/servers.sh"

unset DISPLAY WAYLAND_DISPLAY JACK_DEFAULT_SERVER
export JACK_NO_START_SERVER=1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kvn-guest-cases.XXXXXX") || exit 1
trap 'kvn_stop_servers; rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM

# The X server and openbox, started again where the last case left none.
x_ready() {
    [ -n "${KVN_TEST_XVFB_PID:-}" ] && ! kvn_gone "$KVN_TEST_XVFB_PID" && return 0
    kvn_stop_servers
    rm -rf "${tmp:?}"/*
    unset DISPLAY KVN_TEST_XVFB_PID
    kvn_start_xvfb "$tmp" || return 1
    export KVN_TEST_XVFB_PID=${KVN_SERVER_PIDS[-1]}
    kvn_start_openbox "$tmp"
}

failed=()
for program in "$@"; do
    cases=$("$program" --gtest_list_tests | awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
    if [ -z "$cases" ]; then
        echo "== $program: no test cases"
        failed+=("$program")
        continue
    fi
    for case in $cases; do
        echo "== $case"
        if ! x_ready; then
            failed+=("$case (no X server)")
            continue
        fi
        # In a session of its own: a case that signals its process group (kill(0, ...)) reaches
        # only itself, not this script.
        setsid -w setpriv --pdeathsig KILL "$program" --gtest_filter="$case" || failed+=("$case")
    done
done
if [ ${#failed[@]} -gt 0 ]; then
    printf '== failed: %s\n' "${failed[@]}"
    exit 1
fi
echo "== all passed"
