#!/usr/bin/env bash
# Makes the release (scripts/package.sh) and checks the Debian package as a user gets it: lintian
# finds no error (its warnings and notes are shown), appstreamcli and desktop-file-validate pass the
# metadata and the desktop entry as packed, apt-get installs the package, the installed systemd
# unit passes systemd-analyze (where there is one), the installed program passes a smoke run
# (tests/e2e/package_smoke.sh: a note through over JACK, an orderly end), and apt-get removes the
# package again, unless it was installed before.
# Needs root or sudo, and a machine without the ALSA sequencer (a container, as CI runs in).
# Usage: bash scripts/check-package.sh [options of scripts/package.sh]
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in lintian appstreamcli desktop-file-validate; do
  command -v "$tool" >/dev/null || { echo "check-package: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done
as_root=(env DEBIAN_FRONTEND=noninteractive)
if [ "$(id -u)" -ne 0 ]; then as_root=(sudo "${as_root[@]}"); fi

t0=$SECONDS
bash scripts/package.sh "$@"
t1=$SECONDS
debs=(build-package/release/korvane_*.deb)
deb=$(readlink -f "${debs[0]}")

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kvn-check-package.XXXXXX")
remove=0
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  if [ "$remove" = 1 ]; then "${as_root[@]}" apt-get remove -y korvane >/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
status=0
check() {
  echo "--- $1"
  shift
  "$@" || { echo "--- FAILED: $*"; status=1; }
}

check "lintian" lintian --info --display-info --fail-on error "$deb"
dpkg-deb -x "$deb" "$tmp/root"
check "appstreamcli" appstreamcli validate --no-net "$tmp/root/usr/share/metainfo/org.korvane.Korvane.metainfo.xml"
check "desktop-file-validate" desktop-file-validate "$tmp/root/usr/share/applications/org.korvane.Korvane.desktop"
echo "--- contents"
dpkg-deb -I "$deb" | sed -n '/Package:/,$p'
dpkg-deb -c "$deb" | awk '{ print $1, $6 }'
t2=$SECONDS

dpkg-query -W -f='${Status}' korvane 2>/dev/null | grep -q "install ok installed" || remove=1
check "apt-get install" "${as_root[@]}" apt-get install -y "$deb"
# The unit as installed, where the program and the manual page it names are in place.
unit=/usr/lib/systemd/user/korvane.service
if [ -f "$unit" ] && command -v systemd-analyze >/dev/null; then
  check "systemd-analyze" systemd-analyze verify "$unit"
fi
check "smoke run" bash tests/e2e/package_smoke.sh /usr/bin/korvane
t3=$SECONDS

echo "check-package: release $((t1 - t0)) s, checks $((t2 - t1)) s, install and smoke run $((t3 - t2)) s," \
     "total $((t3 - t0)) s"
exit $status
