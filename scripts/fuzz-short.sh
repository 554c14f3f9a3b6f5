#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cpp) with clang and runs each for a short fixed time,
# starting from its seed corpus in fuzz/corpus/<name>. Fails when any target finds a crash, a leak,
# undefined behaviour or a broken check; the reproducer is left in the build folder.
#
# Usage: bash scripts/fuzz-short.sh [seconds per target]   (default 30; or FUZZ_SECONDS)
#   KVN_FUZZ_BUILD_DIR   build folder (default build-fuzz)
# Needs clang (Debian: apt-get install clang).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${FUZZ_SECONDS:-30}}
build=${KVN_FUZZ_BUILD_DIR:-build-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)

if ! command -v clang++ >/dev/null; then
  echo "fuzz-short: clang++ not found (apt-get install clang)" >&2
  exit 2
fi

start=$(date +%s)
CXX=clang++ cmake -S . -B "$build" -DKVN_FUZZ=ON -DKVN_WERROR=ON -DKVN_BUILD_TESTS=OFF -DKVN_BUILD_BENCH=OFF \
  -DKVN_WERROR=OFF -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON >/dev/null
targets=()
for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build "$build" -j"$jobs" --target "${targets[@]}"
echo "fuzz-short: built ${#targets[@]} targets in $(( $(date +%s) - start )) s"

work="$build/fuzz-short"
rm -rf "$work"
mkdir -p "$work"
failed=0
for t in "${targets[@]}"; do
  name=${t%_fuzz}
  mkdir -p "$work/$name"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds+=("fuzz/corpus/$name")
  log="$work/$name.log"
  # New inputs go to the working folder only; the committed seeds stay as they are.
  if "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/$name-" "$work/$name" "${seeds[@]}" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz-short: $t ok: $runs runs in ${seconds} s ($rate/s)"
  else
    echo "fuzz-short: $t FAILED, see $log and $work/$name-*" >&2
    grep -E 'ERROR|_fuzz:|SUMMARY' "$log" | head -5 >&2 || true
    failed=1
  fi
done
echo "fuzz-short: done in $(( $(date +%s) - start )) s"
exit $failed
