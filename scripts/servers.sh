# Starts the servers kvn needs where a machine has none: a virtual display (Xvfb), the openbox
# window manager on it, a JACK server on its dummy driver. Sourced by scripts/run.sh and by the
# tests' tests/sdl/run_with.sh; every function records the pid of what it started in
# KVN_SERVER_PIDS (in starting order), so that the caller stops exactly those, newest first, with
# kvn_stop_servers. Logs go to files in the folder given as $1. Each server runs in a session of
# its own: a Ctrl+C in the terminal reaches the caller only, which can then stop the program that
# uses the servers before it stops them. And each is told to end if the caller ends without
# stopping it (killed outright, as a test runner does with a test that runs too long). Neither
# setsid (for a process that is no group leader) nor setpriv forks, so $! is the server itself.

KVN_SERVER_PIDS=()

# Polls until the command succeeds, for at most $1 seconds.
kvn_wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.02
    done
}

# Xvfb on a free display; exports DISPLAY. $1: folder for its log and a fifo.
kvn_start_xvfb() {
    local dir=$1 number
    mkfifo "$dir/display"
    # -displayfd picks a free display and reports its number once the server accepts clients.
    # -noreset: by default the server resets when its last client leaves (a polling xwininfo,
    # say), and a client connecting during that reset is dropped; SDL then quietly takes an
    # invisible video driver instead, and nobody ever sees the window.
    setsid setpriv --pdeathsig TERM Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
    KVN_SERVER_PIDS+=($!)
    if ! read -r -t 20 number <"$dir/display"; then
        echo "Xvfb did not start:" >&2
        cat "$dir/xvfb.log" >&2
        return 1
    fi
    export DISPLAY=":$number"
}

# openbox on $DISPLAY, once it really handles requests. $1: folder for its log.
kvn_start_openbox() {
    local dir=$1
    setsid setpriv --pdeathsig TERM openbox --sm-disable >"$dir/openbox.log" 2>&1 &
    KVN_SERVER_PIDS+=($!)
    kvn_wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
    # openbox announces itself before its event loop runs, and a request that reaches it meanwhile
    # can stay unread until some later event wakes it: a window mapped then is never shown, and
    # SDL_ShowWindow waits for it for ever. It is ready once it has answered a request of ours,
    # a switch to the second desktop and back (asked again on every poll, which also wakes it).
    kvn_on_desktop() {
        xprop -root _NET_CURRENT_DESKTOP | grep -q "= $1\$" && return 0
        xdotool set_desktop "$1"
        return 1
    }
    if ! kvn_wait_for 20 kvn_wm_ready || ! kvn_wait_for 20 kvn_on_desktop 1 || ! kvn_wait_for 20 kvn_on_desktop 0; then
        echo "openbox did not start:" >&2
        cat "$dir/openbox.log" >&2
        return 1
    fi
}

# A JACK server on the dummy driver, named $JACK_DEFAULT_SERVER (or the default name), answering
# before this returns. $1: folder for its log; further arguments go to jackd before "-d dummy".
kvn_start_jackd() {
    local dir=$1
    shift
    local name=()
    [ -n "${JACK_DEFAULT_SERVER:-}" ] && name=(-n "$JACK_DEFAULT_SERVER")
    if ! kvn_run_jackd "$dir/jackd.log" "${name[@]}" -r "$@" && grep -q 'Too many servers' "$dir/jackd.log"; then
        kvn_free_jack_places "$dir"
        kvn_run_jackd "$dir/jackd.log" "${name[@]}" -r "$@"
    fi || {
        echo "jackd did not start:" >&2
        cat "$dir/jackd.log" >&2
        return 1
    }
}

# Starts jackd with the given options on the dummy driver, logging to $1, and waits until it
# answers (status 0) or has ended (status 1).
kvn_run_jackd() {
    local log=$1
    shift
    setsid setpriv --pdeathsig TERM jackd "$@" -d dummy -r 48000 -p 256 >"$log" 2>&1 &
    KVN_SERVER_PIDS+=($!)
    kvn_answers_or_gone() { jack_lsp || kvn_gone "$1"; }
    JACK_NO_START_SERVER=1 kvn_wait_for 20 kvn_answers_or_gone "$!" && JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1
}

# JACK keeps its servers in a registry of eight places that every server on the machine shares. A
# server that is killed outright keeps its place until a server of the same name starts again, so
# a machine where that happened to eight names can start no server at all. This gives back every
# place of this user's whose server no longer answers, the way JACK itself does: a server of that
# name is started (it takes the place over) and stopped in order (it gives it back). A place whose
# server is alive after all is left alone (the new server then ends at once). $1: folder for logs.
kvn_free_jack_places() {
    local dir=$1 prefix="jack-$(id -u):" entry name pid
    grep -ao "${prefix}[^:]*:" /dev/shm/jack-shm-registry 2>/dev/null | sort -u | while read -r entry; do
        name=${entry#"$prefix"}
        name=${name%:}
        JACK_DEFAULT_SERVER=$name JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1 && continue
        setsid setpriv --pdeathsig TERM jackd -n "$name" -d dummy -r 48000 -p 256 >>"$dir/jackd-freed.log" 2>&1 &
        pid=$!
        kvn_named_answers_or_gone() { JACK_DEFAULT_SERVER=$1 jack_lsp || kvn_gone "$2"; }
        JACK_NO_START_SERVER=1 kvn_wait_for 20 kvn_named_answers_or_gone "$name" "$pid"
        kill "$pid" 2>/dev/null
        kvn_wait_for 10 kvn_gone "$pid" || kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
}

# Whether the process is gone (a zombie child counts as gone: it only waits to be reaped).
kvn_gone() {
    [ ! -e "/proc/$1" ] || grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null
}

# Stops what the functions above started, newest first: SIGTERM, and SIGKILL for a server that
# is still there five seconds later.
kvn_stop_servers() {
    local i pid
    for ((i = ${#KVN_SERVER_PIDS[@]} - 1; i >= 0; i--)); do
        pid=${KVN_SERVER_PIDS[i]}
        kill "$pid" 2>/dev/null || continue
        kvn_wait_for 5 kvn_gone "$pid" || kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    KVN_SERVER_PIDS=()
}
