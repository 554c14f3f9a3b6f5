#!/usr/bin/env bash
# The release zip holds what was built and nothing that needs the mingw runtime.
# Usage: release_check.sh ZIP KVN.exe BITMAP_DIR OBJDUMP
set -uo pipefail
zip=$1 exe=$2 bitmaps=$3 objdump=$4
[ -f "$zip" ] || { echo "FAIL: $zip is missing (build the 'release' target)"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$tmp" && cmake -E tar xf "$zip") || fail "the zip cannot be unpacked"
cmp -s "$exe" "$tmp/KVN/KVN.exe" || fail "KVN/KVN.exe is not the program just built"
for f in "$bitmaps"/*.bmp; do
  cmp -s "$f" "$tmp/KVN/Bitmap/$(basename "$f")" || fail "KVN/Bitmap/$(basename "$f") differs or is missing"
done
[ "$(ls "$tmp/KVN/Bitmap" | wc -l)" = "$(ls "$bitmaps"/*.bmp | wc -l)" ] || fail "KVN/Bitmap holds other files"
[ -s "$tmp/KVN/README.txt" ] && awk '!/\r$/ { bad = 1 } END { exit bad }' "$tmp/KVN/README.txt" ||
  fail "KVN/README.txt is missing or has bare LF line ends"

# Only DLLs every Windows has.
while read -r dll; do
  case ${dll,,} in
    kernel32.dll | user32.dll | gdi32.dll | winmm.dll | msvcrt.dll | advapi32.dll) ;;
    *) fail "KVN.exe needs $dll" ;;
  esac
done < <("$objdump" -p "$tmp/KVN/KVN.exe" | sed -n 's/^\s*DLL Name: //p')

[ "$failures" = 0 ] && echo "release zip ok: $(basename "$zip")"
[ "$failures" = 0 ]
