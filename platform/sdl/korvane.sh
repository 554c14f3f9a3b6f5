#!/bin/sh
# korvane: starts Korvane in a folder of the user's own, which keeps its settings ("KVN.ini") and
# finds the installed skin there ("Bitmap"); the program itself reads both from the folder it
# runs in. Usage: korvane [FOLDER]  (default: ${XDG_DATA_HOME:-~/.local/share}/korvane)
# Each folder is one Korvane with settings of its own; two folders of different names can run
# side by side (for two MIDI set-ups, say), two of the same name cannot.
set -e
here=$(dirname "$(readlink -f "$0")")
program="$here/@KVN_REL_PROGRAM@"
skin="$here/@KVN_REL_SKIN@"

folder=${1:-${XDG_DATA_HOME:-$HOME/.local/share}/korvane}
mkdir -p "$folder"
# The installed skin, linked, so that an update of the program updates it too; a folder holding a
# skin of the user's own is left alone.
if [ -L "$folder/Bitmap" ] || [ ! -e "$folder/Bitmap" ]; then
    ln -sfn "$skin" "$folder/Bitmap"
fi
cd "$folder"
exec "$program"
