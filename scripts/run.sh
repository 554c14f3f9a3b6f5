#!/usr/bin/env bash
# Builds kvn and starts it. On a desktop it simply starts the program. On a machine with no
# display and no MIDI system it first starts a virtual display (Xvfb with openbox) and a JACK
# server on the dummy driver, waits for the panel, saves a screenshot, prints the JACK ports, and
# runs until Ctrl+C; then it stops exactly what it started.
# The program runs in a per-user folder that holds "KVN.ini" and the skin.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVN_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target kvn

home="${XDG_DATA_HOME:-$HOME/.local/share}/korvane"
mkdir -p "$home"
rm -rf "$home/Bitmap"
cp -r "$root/build/Bitmap" "$home/Bitmap"
cd "$home"

pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

headless=0
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  n=71
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=":$n"
  for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  openbox --sm-disable >/dev/null 2>&1 &
  pids+=($!)
fi
if [ ! -e /dev/snd/seq ] && ! jack_lsp >/dev/null 2>&1; then
  headless=1
  export JACK_DEFAULT_SERVER="korvane-$(id -u)" JACK_NO_START_SERVER=1
  jackd -n "$JACK_DEFAULT_SERVER" -r -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do jack_lsp >/dev/null 2>&1 && break; sleep 0.1; done
fi

"$root/build/kvn" &
kvn=$!
pids+=($kvn)
if [ $headless = 1 ]; then
  title="KVN - $(basename "$home")"
  for _ in $(seq 200); do xwininfo -root -tree 2>/dev/null | grep -q "\"$title\"" && break; sleep 0.1; done
  shot="$home/screenshot.png"
  import -window root "$shot"
  echo "Korvane is running. Screenshot: $shot"
  echo "JACK ports:"
  jack_lsp || true
  echo "Ctrl+C ends it."
fi
wait $kvn
