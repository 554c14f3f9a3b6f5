#!/usr/bin/env bash
# Every C and C++ file git tracks must be as clang-format (the committed .clang-format) writes it.
# Usage: bash scripts/check-format.sh        (clang-format -i on the files it names mends them)
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
bad=()
for f in "${files[@]}"; do
  clang-format --style=file "$f" | cmp -s - "$f" || bad+=("$f")
done
if [ "${#bad[@]}" -gt 0 ]; then
  printf 'check-format: not formatted: %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
