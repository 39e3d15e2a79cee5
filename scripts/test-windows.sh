#!/usr/bin/env bash
# Builds the Windows executables (scripts/build-windows.sh) and runs the Windows suite,
# qxtests.exe, under Wine, then the service-control-manager check with a thin client's relayed
# session (scripts/scm-check.sh) and the replay of the recorded captures compared with the
# Linux build's (scripts/replay-windows.sh). Those two use the Linux build's programs (the
# Oracle stand-in, qxservice): LINUX_BUILD_DIR is built first when they are missing.
#   scripts/test-windows.sh [BUILD_DIR [LINUX_BUILD_DIR]]
# One wine server serves the whole run: `wineserver -p` keeps it up between programs, and
# wineboot runs once with its input and output redirected (its first services process would
# otherwise hold the terminal's pipe open). The prefix lives in BUILD_DIR/wine.
# Wine's own wpcap.dll (a wrapper around Linux's libpcap) is set aside for the stand-in built
# in the tree: WINEDLLOVERRIDES=wpcap=n.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
linux=${2:-build}
scripts/build-windows.sh "$dir"
if [ ! -x "$linux/qxoracle-standin" ] || [ ! -x "$linux/qxservice" ]; then scripts/build.sh "$linux"; fi
export WINEPREFIX="$PWD/$dir/wine" WINEDEBUG=-all WINEDLLOVERRIDES="wpcap=n"
export WINEARCH=win64
mkdir -p "$WINEPREFIX"
# Its output would hold a caller's pipe open; a server left by an interrupted run (exit code 2
# here) serves as well.
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine wineboot </dev/null >"$dir/wineboot.log" 2>&1
# Tests that state Linux facts; each runs in the Linux suite, and its Windows counterpart
# (tests/platform/platform_win_test.cpp) here. The systemd unit's counterpart, registration
# with the service control manager, is checked by scm-check.sh.
linux_facts=(
  SocketErrors.MapToWindowsSocketsCodes                            # Linux errno numbers
  OracleLibraryTest.MissingClientLibraryTellsWhatToInstall         # libclntsh.so names, dlerror texts
  OracleLibraryTest.LibraryWithoutTheEntryPointsIsRejected         # loads libm.so.6
  MissingLibrary.LibraryWithoutTheEntryPointsDoesNotBind           # loads libm.so.6
  PcapBinding.LoadsOnceAndBindsWhatTheSystemCalls                  # libpcap.so names
)
# Tests that run Linux programs through the shell (popen/system), which cmd.exe cannot start:
# the JSON reports are checked by python3, the HTML report is rendered by chromium. The reports
# come from the shared src/admin; the other report tests run here.
linux_programs=(
  Reports.StatementAndFingerprintInEveryFormatAreTheTruth
  Reports.EveryFilterKeepsTheRowsItNamesInEveryReport
  Reports.TheHtmlReportIsOneFileThatRendersInABrowser
)
filter="-$(IFS=:; echo "${linux_facts[*]}:${linux_programs[*]}")"
status=0
# The tests find the executables through Unix paths (QX_BINARY_DIR), which Wine resolves on
# the drive of the working directory: Z:, the root of the Linux tree.
(cd "$dir" && timeout 900 wine qxtests.exe --gtest_brief=1 --gtest_filter="$filter" </dev/null) || status=1
scripts/scm-check.sh "$dir" "$linux" || status=1
scripts/replay-windows.sh "$dir" "$linux" || status=1
exit $status
