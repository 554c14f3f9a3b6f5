#!/bin/sh
# korvane: starts Korvane in a folder of the user's own, which keeps its settings ("KVN.ini") and
# finds the installed skin there ("Bitmap"); the program reads both from the folder given to it.
# Usage: korvane [--folder FOLDER] [OPTION]...  (see korvane --help; the folder defaults to
# ${XDG_DATA_HOME:-~/.local/share}/korvane; an earlier "korvane FOLDER" still works)
# Each folder is one Korvane with settings of its own; two folders of different names can run
# side by side (for two MIDI set-ups, say), two of the same name cannot.
# Every option is passed on to the program, which refuses what it does not know.
set -e
here=$(dirname "$(readlink -f "$0")")
program="$here/@KVN_REL_PROGRAM@"
skin="$here/@KVN_REL_SKIN@"

folder=""
case ${1-} in
"" | -*) ;;
*) folder=$1; shift ;;
esac
# The arguments are taken round once: the folder is taken out, the rest kept in order.
ask=""  # --help, --version or --list: the program answers without a folder
left=$#
while [ "$left" -gt 0 ]; do
    arg=$1; shift; left=$((left - 1))
    case $arg in
    --folder)
        if [ "$left" -eq 0 ]; then set -- "$@" "$arg"; continue; fi  # the program says what is missing
        folder=$1; shift; left=$((left - 1)) ;;
    --folder=*) folder=${arg#--folder=} ;;
    --in | --out)
        set -- "$@" "$arg"
        if [ "$left" -gt 0 ]; then set -- "$@" "$1"; shift; left=$((left - 1)); fi ;;
    --help | --version | --list) ask=yes; set -- "$@" "$arg" ;;
    *) set -- "$@" "$arg" ;;
    esac
done
if [ -n "$ask" ]; then exec "$program" "$@"; fi

folder=${folder:-${XDG_DATA_HOME:-$HOME/.local/share}/korvane}
mkdir -p -- "$folder"
# The installed skin, linked, so that an update of the program updates it too; a folder holding a
# skin of the user's own is left alone.
if [ -L "$folder/Bitmap" ] || [ ! -e "$folder/Bitmap" ]; then
    ln -sfn "$skin" "$folder/Bitmap"
fi
exec "$program" --folder "$folder" "$@"
