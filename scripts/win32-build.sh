#!/usr/bin/env bash
# Cross-builds KVN.exe, its tests and the release zip with mingw-w64 into build-win32/.
# Usage: bash scripts/win32-build.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-win32}"
jobs=$(nproc 2>/dev/null || echo 2)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release -DKVN_WERROR=ON
fi
cmake --build "$build" -j"$jobs"
cmake --build "$build" --target release
