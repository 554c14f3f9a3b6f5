#!/bin/bash
# Inside the ALSA tier's virtual machine (tests/alsa/vm_run.sh): runs a command with an X server
# (Xvfb, on the first free display, exported as DISPLAY; its pid in KVN_TEST_XVFB_PID) and the
# openbox window manager on it, and stops exactly those two (by pid) afterwards. No JACK server:
# JACK_DEFAULT_SERVER is cleared and none is started on demand, so kvn finds no JACK and takes the
# ALSA sequencer.
#   Usage: guest_x.sh [--] command [args...]
# Exits with the command's status.
set -u
[ "${1:-}" = "--" ] && shift

# shellcheck source=scripts/servers.sh
. "$(dirname "$0")/../../scripts/servers.sh"

unset DISPLAY WAYLAND_DISPLAY JACK_DEFAULT_SERVER
export JACK_NO_START_SERVER=1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kvn-guest-x.XXXXXX") || exit 1
trap 'kvn_stop_servers; rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM

kvn_start_xvfb "$tmp" || exit 1
export KVN_TEST_XVFB_PID=${KVN_SERVER_PIDS[-1]}
kvn_start_openbox "$tmp" || exit 1

# The command ends with this script, however this script ends.
setpriv --pdeathsig KILL "$@"
status=$?
exit $status
