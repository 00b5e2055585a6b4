#!/usr/bin/env bash
# Checks the Debian package `make package` built: the desktop entry and the
# AppStream entry as the package holds them, then lintian on the .deb. Any
# error fails; lintian's warnings are shown but do not fail.
# Usage: scripts/check-package.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build-package}
debs=("$build"/kestrel_*.deb)
[ -f "${debs[0]}" ] || { echo "check-package: no kestrel_*.deb in $build" >&2; exit 1; }
deb=$(ls -t "${debs[@]}" | head -n 1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work"
echo "== $deb"
echo "-- desktop-file-validate"
desktop-file-validate "$work/usr/share/applications/kestrel.desktop"
echo "-- appstreamcli validate-tree (the AppStream entry and the desktop entry it launches)"
appstreamcli validate-tree --no-net "$work"
echo "-- lintian"
lintian --fail-on error --info "$deb"
echo "check-package: $deb passes"
