#!/usr/bin/env bash
# Builds the Windows executables (scripts/build-windows.sh) and runs the Windows suite,
# qxtests.exe, under Wine, then the service-control-manager check (scripts/scm-check.sh).
#   scripts/test-windows.sh [BUILD_DIR]
# One wine server serves the whole run: `wineserver -p` keeps it up between programs, and
# wineboot runs once with its input and output redirected (its first services process would
# otherwise hold the terminal's pipe open). The prefix lives in BUILD_DIR/wine.
# Wine's own wpcap.dll (a wrapper around Linux's libpcap) is set aside for the stand-in built
# in the tree: WINEDLLOVERRIDES=wpcap=n.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
scripts/build-windows.sh "$dir"
export WINEPREFIX="$PWD/$dir/wine" WINEDEBUG=-all WINEDLLOVERRIDES="wpcap=n"
export WINEARCH=win64
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine wineboot </dev/null >"$dir/wineboot.log" 2>&1
status=0
# The tests find the executables through Unix paths (QX_BINARY_DIR), which Wine resolves on
# the drive of the working directory: Z:, the root of the Linux tree.
(cd "$dir" && timeout 900 wine qxtests.exe --gtest_brief=1 </dev/null) || status=1
scripts/scm-check.sh "$dir" || status=1
exit $status
