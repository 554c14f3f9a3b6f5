#!/bin/bash
# Installs the build into a scratch prefix and starts the installed program the way the desktop
# entry does (run by run_with.sh --wm --no-jack): the launcher must make the per-user folder, link
# the skin into it and start the program there, so that the panel comes up and a close saves
# "KVN.ini" in that folder. Usage: install_test.sh BUILD_DIR
set -u
build=$1
. "$(dirname "$0")/../../scripts/servers.sh"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kvn-install-test.XXXXXX")
pid=""
cleanup() {
    if [ -n "$pid" ] && ! kvn_gone "$pid"; then kill -KILL "$pid" 2>/dev/null; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$tmp/kvn.log" ] && cat "$tmp/kvn.log" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "install"; }
for f in bin/korvane libexec/korvane/kvn share/korvane/Bitmap/00.bmp share/korvane/Bitmap/99.bmp \
         share/applications/org.korvane.Korvane.desktop share/icons/hicolor/32x32/apps/org.korvane.Korvane.png; do
    [ -e "$tmp/prefix/$f" ] || fail "$f was not installed"
done
entry=$tmp/prefix/share/applications/org.korvane.Korvane.desktop
grep -qx 'Exec=korvane' "$entry" || fail "the desktop entry does not start the launcher"
grep -qx 'Icon=org.korvane.Korvane' "$entry" || fail "the desktop entry has no icon"
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$entry" || fail "desktop entry"; fi

# Started as a menu starts it: from another folder, with a home of its own. The installed tree is
# moved first: the launcher finds the program and the skin relative to itself.
mv "$tmp/prefix" "$tmp/moved"
export HOME=$tmp/home XDG_DATA_HOME=$tmp/home/.local/share
mkdir -p "$HOME"
cd /
"$tmp/moved/bin/korvane" >"$tmp/kvn.log" 2>&1 &
pid=$!
folder=$XDG_DATA_HOME/korvane
viewable() { kvn_gone "$pid" || xwininfo -name "KVN - korvane" | grep -q IsViewable; }
kvn_wait_for 60 viewable || fail "the panel did not come up"
kvn_gone "$pid" && fail "the program ended by itself"
[ "$(readlink -f "$folder/Bitmap")" = "$(readlink -f "$tmp/moved/share/korvane/Bitmap")" ] || fail "the skin is not linked"

# With no MIDI system the program said so in boxes; they went away with the close request.
kill -TERM "$pid"
kvn_wait_for 30 kvn_gone "$pid" || fail "the program did not close"
wait "$pid"
status=$?
[ $status = 0 ] || fail "exit status $status"
for key in left top Show MidiInDeviceName MidiOutDeviceName; do
    grep -q "^$key=" "$folder/KVN.ini" || fail "KVN.ini in the user's folder lacks $key"
done
echo "installed tree works"
