#!/usr/bin/env bash
# Checks the formatting, builds Korvane and runs every test: the unit and integration tests on the simulated platform,
# the Linux adapter and end-to-end tests (Xvfb + JACK), the sanitizer runs, short fuzz runs, the
# Windows build under Wine, and the release: the Debian package checked, installed and run.
# Usage: bash scripts/test-all.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
passed=0
failed=0
stage() {
  local name=$1
  shift
  local t0=$SECONDS
  echo "=== $name"
  if "$@"; then
    passed=$((passed + 1))
    echo "=== $name: passed in $((SECONDS - t0)) s"
  else
    failed=$((failed + 1))
    echo "=== $name: FAILED after $((SECONDS - t0)) s"
  fi
}

build_and_test() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVN_WERROR=ON -DKVN_REQUIRE_KVN=ON -DKVN_BUILD_BENCH=OFF &&
    cmake --build build -j"$jobs" &&
    ctest --test-dir build --output-on-failure -j"$jobs"
}

stage "format" bash scripts/check-format.sh
stage "build and tests" build_and_test
[ -f scripts/check-sanitizers.sh ] && stage "sanitizers" bash scripts/check-sanitizers.sh
[ -f scripts/fuzz-short.sh ] && stage "fuzzing" bash scripts/fuzz-short.sh
[ -f scripts/win32-test.sh ] && stage "windows under wine" bash scripts/win32-test.sh
# After the Windows stage, whose build the release zip comes from.
[ -f scripts/check-package.sh ] && stage "package" bash scripts/check-package.sh

echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
