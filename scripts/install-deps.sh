#!/usr/bin/env bash
# Installs the Debian packages that building and testing Korvane needs. Safe to run again.
set -euo pipefail

packages=(
  # the core and its tests
  build-essential cmake pkg-config clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  # sanitizer runs and fuzzing (clang's libFuzzer); scripts/mutate.sh builds with ninja and lld
  clang libclang-rt-14-dev ninja-build lld
  # the Windows build, cross-compiled and tested under Wine
  g++-mingw-w64-x86-64 wine64 wine
  # shared by the Linux program's and the Windows program's end-to-end tests
  xvfb xauth xdotool x11-utils imagemagick fonts-wqy-zenhei fonts-dejavu-core
  # the Linux program kvn (SDL2, SDL2_ttf, alsa-lib for the ALSA sequencer, libjack for JACK), scripts/run.sh
  # and its tests: a JACK server on its dummy driver, and openbox so that minimising works
  libsdl2-dev libsdl2-ttf-dev libasound2-dev libjack-jackd2-dev libfontconfig-dev libx11-dev
  jackd2 openbox fontconfig
  # the ALSA tier (tests/alsa): a virtual machine on this machine's kernel, whose modules bring the
  # ALSA sequencer and virtual MIDI ports, a static busybox for its initrd, and aconnect/amidi
  qemu-system-x86 linux-image-amd64 busybox-static alsa-utils
  # the release, the Debian package made by CPack (dpkg-shlibdeps, dpkg-buildflags), and its checks
  dpkg-dev lintian appstream desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ] || [ "${KVN_FORCE_APT:-0}" = 1 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${packages[@]}"
fi
