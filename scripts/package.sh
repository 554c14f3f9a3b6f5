#!/usr/bin/env bash
# Makes the release: the Debian package korvane_<version>_<architecture>.deb (CPack's DEB generator,
# from a Release build of its own in build-package/, with the tests that need no X, JACK or Wine run
# first) and the Windows release zip (scripts/win32-build.sh, in build-win32/). Both end up in
# build-package/release/.
# Usage: bash scripts/package.sh [--no-windows] [--no-tests]
#   --no-windows  the Debian package only (a board without mingw-w64, say)
#   --no-tests    build no tests (they have passed on this source tree elsewhere)
# Needs: cmake, ninja-build, g++, dpkg-dev (dpkg-shlibdeps, dpkg-buildflags), the -dev packages
# kvn builds with (docs/linux.md), googletest for the tests; g++-mingw-w64-x86-64 for the zip.
set -euo pipefail
cd "$(dirname "$0")/.."

windows=1 tests=1
for arg in "$@"; do
  case "$arg" in
  --no-windows) windows=0 ;;
  --no-tests) tests=0 ;;
  *) echo "usage: bash scripts/package.sh [--no-windows] [--no-tests]" >&2; exit 2 ;;
  esac
done
for tool in cmake ninja dpkg-shlibdeps dpkg-buildflags gzip; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing (see the list at the top of this script)" >&2; exit 2; }
done

build="build-package"
release=$build/release
jobs=$(nproc 2>/dev/null || echo 2)
t0=$SECONDS

# The version is said in four places; a release changes them together.
version=$(sed -n 's/^project(Korvane VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
pkg=platform/sdl/package
stale=()
head -1 "$pkg/changelog" | grep -q "^korvane ($version) " || stale+=("$pkg/changelog (its first entry)")
grep -q "<release version=\"$version\"" "$pkg/org.korvane.Korvane.metainfo.xml" || stale+=("$pkg/org.korvane.Korvane.metainfo.xml (<releases>)")
head -1 "$pkg/korvane.1" | grep -q "\"Korvane $version\"" || stale+=("$pkg/korvane.1 (.TH)")
if [ "${#stale[@]}" -gt 0 ]; then
  printf 'package: the project is at version %s, but not:\n' "$version" >&2
  printf '  %s\n' "${stale[@]}" >&2
  exit 1
fi

# Debian's build flags (hardening: stack protector, fortified functions, read-only relocations,
# immediate binding, a position-independent program), as a Debian build of the package would have.
# Given on the command line, so that they hold for this build alone and replace what its cache had.
buildflag() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cxxflags="$(buildflag CPPFLAGS) $(buildflag CXXFLAGS)"
ldflags=$(buildflag LDFLAGS)
test_switch=ON
[ $tests = 1 ] || test_switch=OFF
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" -DKVN_WERROR=ON -DKVN_REQUIRE_KVN=ON \
  -DKVN_BUILD_TESTS=$test_switch -DKVN_SYSTEM_TESTS=OFF -DKVN_BUILD_BENCH=OFF
cmake --build "$build" -j"$jobs"
[ $tests = 0 ] || ctest --test-dir "$build" -j"$jobs" --output-on-failure
t1=$SECONDS
rm -rf "$release" "$build/package"
mkdir -p "$release"
(cd "$build" && cpack -G DEB)
mv "$build"/package/korvane_*.deb "$release/"
t2=$SECONDS

if [ $windows = 1 ]; then
  bash scripts/win32-build.sh
  cp build-win32/release/KVN_*_win64.zip "$release/"
fi
t3=$SECONDS

echo "package: build $((t1 - t0)) s, .deb $((t2 - t1)) s, Windows zip $((t3 - t2)) s"
ls -l "$release"
