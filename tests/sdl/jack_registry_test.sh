#!/bin/bash
# A machine whose JACK registry is full of servers that were killed outright: the test servers
# must still start (taking those places back), and the places must be free afterwards.
# Usage: jack_registry_test.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/servers.sh"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kvn-jack-registry.XXXXXX")
trap 'kvn_stop_servers; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$tmp"/*.log >&2; exit 1; }
export JACK_NO_START_SERVER=1
stale="kvn-stale-$$-"

# Servers of made-up names, each killed once it answers, until no other can start (at once, when
# the registry was full already).
full=0
for i in 1 2 3 4 5 6 7 8 9; do
    if ! JACK_DEFAULT_SERVER=$stale$i kvn_run_jackd "$tmp/stale.log" -n "$stale$i"; then
        grep -q 'Too many servers' "$tmp/stale.log" || fail "a server did not start for another reason"
        full=1
        break
    fi
    kill -KILL "${KVN_SERVER_PIDS[-1]}"
    wait "${KVN_SERVER_PIDS[-1]}" 2>/dev/null
done
[ $full = 1 ] || fail "nine servers were killed and the registry still had room"

# From a folder of its own, so that the server gets a name of its own: the build's name may hold a
# place already (its last server killed), and a server of that name would just take it over.
(cd "$tmp" && "$here/run_with.sh" --jack -- jack_lsp) >"$tmp/ports.log" 2>&1 || fail "the test server did not start"
grep -q 'system:capture_1' "$tmp/ports.log" || fail "the test server has no ports"
if grep -aq "$stale" /dev/shm/jack-shm-registry; then fail "places of killed servers are still taken"; fi
exit 0
