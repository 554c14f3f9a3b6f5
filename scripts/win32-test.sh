#!/usr/bin/env bash
# Cross-builds the Windows program and runs all its tests under Wine.
# Usage: bash scripts/win32-test.sh [build-dir]        (default build-win32)
#
#   1. scripts/win32-build.sh: KVN.exe, the tests, the stand-in winmm.dll, the release zip.
#   2. A fresh Wine prefix in the build folder, made without a display, with the font
#      replacement for SimHei and unmanaged windows (no window manager under Xvfb).
#   3. Headless: the unit tests, the same ones the native build runs, on the simulated platform.
#   4. wineserver -k (a wineserver started without a display breaks later windowed programs),
#      then Xvfb: the adapter tests and the smoke run of KVN.exe.
# Needs: g++-mingw-w64-x86-64 wine64 wine xvfb xauth xdotool (fonts-wqy-zenhei
# for a Chinese-capable SimHei stand-in; DejaVu Sans otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${1:-build-win32}"
jobs=$(nproc 2>/dev/null || echo 2)

for tool in x86_64-w64-mingw32-g++-posix Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "win32-test: $tool is missing (see the package list above)" >&2; exit 2; }
done

t0=$(date +%s)
bash scripts/win32-build.sh "$build"
build=$(cd "$build" && pwd)
t1=$(date +%s)

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
# Where the build found Wine.
wine=$(sed -n 's/^KVN_WINE:FILEPATH=//p' "$build/CMakeCache.txt")
wineserver=$(sed -n 's/^KVN_WINESERVER:FILEPATH=//p' "$build/CMakeCache.txt")
if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then echo "win32-test: Wine not found (wine64, wine)" >&2; exit 2; fi

xvfb_pid=""
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# ---- The prefix, made once per run, headless --------------------------------------------------
unset DISPLAY
# A server left from an interrupted run would outlive its deleted prefix.
if [ -d "$WINEPREFIX" ]; then "$wineserver" -k >/dev/null 2>&1 || true; fi
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# Start the server first, away from our pipes: a server started by the first client would hold
# that client's stdout open for seconds after the last program ends.
"$wineserver" -p >/dev/null 2>&1 </dev/null
"$wine" wineboot --init >/dev/null 2>&1
face="DejaVu Sans"
if fc-list 2>/dev/null | grep -q "WenQuanYi Zen Hei"; then face="WenQuanYi Zen Hei"; fi
"$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v SimHei /d "$face" /f >/dev/null 2>&1
# Without a window manager, destroying a managed window stalls for two seconds.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
t2=$(date +%s)

# ---- Headless: the unit tests -----------------------------------------------------------------
status=0
ctest --test-dir "$build" -LE win32-display -j"$jobs" --output-on-failure || status=1
t3=$(date +%s)

# ---- With a display: the adapter and the program ----------------------------------------------
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w >/dev/null 2>&1 || true
exec 9> "$build/xvfb-display"
Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp >"$build/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 9>&-
for _ in $(seq 100); do [ -s "$build/xvfb-display" ] && break; sleep 0.05; done
export DISPLAY=":$(cat "$build/xvfb-display")"
"$wineserver" -p >/dev/null 2>&1 </dev/null
ctest --test-dir "$build" -L win32-display --output-on-failure || status=1
t4=$(date +%s)

echo "win32-test: build $((t1 - t0)) s, prefix $((t2 - t1)) s, unit tests $((t3 - t2)) s," \
     "adapter + smoke run $((t4 - t3)) s, total $((t4 - t0)) s"
exit "$status"
