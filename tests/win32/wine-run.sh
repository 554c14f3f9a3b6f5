#!/usr/bin/env bash
# CTest's emulator for the Windows build: wine-run.sh WINE PREFIX PROGRAM [ARGS...]
# Runs PROGRAM under 64-bit Wine (the loader WINE) in PREFIX, quietly, with the environment as given (the caller
# decides whether there is a DISPLAY). Tests that need a display set KVN_WINE_NEEDS_DISPLAY and
# are skipped (77) without one; KVN_WINE_OVERRIDES adds DLL overrides (e.g. winmm=n).
set -uo pipefail
wine=$1
export WINEPREFIX="$2"
shift 2
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts when the prefix is made.
overrides="mscoree,mshtml="
if [ -n "${KVN_WINE_OVERRIDES:-}" ]; then overrides="$overrides;$KVN_WINE_OVERRIDES"; fi
export WINEDLLOVERRIDES="$overrides"
if [ -n "${KVN_WINE_NEEDS_DISPLAY:-}" ] && [ -z "${DISPLAY:-}" ]; then
  echo "skipped: needs an X display (scripts/win32-test.sh starts Xvfb)"
  exit 77
fi
# Through a file, not a pipe: Wine's background processes may inherit a pipe and hold it open
# long after the program ended. Windows programs end their lines with CRLF; CTest and test
# discovery read LF.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$wine" "$@" >"$out" 2>&1 </dev/null
status=$?
# Under load Wine at times fails to start a program at all: it ends at once, having printed
# nothing or only Wine's own complaint about its server connection, while every program run here
# prints something before it can fail. Such a start is tried once more, and said so.
if [ "$status" != 0 ] && { [ ! -s "$out" ] || ! grep -qv '^wine client error' "$out"; }; then
  echo "wine-run.sh: $1 ended with status $status before it printed anything; started again" >&2
  "$wine" "$@" >"$out" 2>&1 </dev/null
  status=$?
fi
tr -d '\r' <"$out"
exit "$status"
