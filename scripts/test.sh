#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain suite, then the suite under
# ThreadSanitizer and under AddressSanitizer + UBSan, then the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
status=0
run_suite() {  # dir sanitizer
  local dir=$1 sanitize=$2
  echo "=== building $dir ${sanitize:+($sanitize)}"
  scripts/build.sh "$dir" "$sanitize"
  echo "=== testing $dir"
  (cd "$dir" && QX_SANITIZE="$sanitize" ctest --output-on-failure -j2 --timeout 300) || status=1
}
run_suite build ""
run_suite build-tsan thread
run_suite build-asan address
# Every parser of untrusted bytes under libFuzzer (AddressSanitizer + UBSan), for a bounded time.
echo "=== fuzzing"
FUZZ_SECONDS=${FUZZ_SECONDS:-45} scripts/fuzz.sh || status=1
# The Windows executables, cross-compiled, and the Windows suite under Wine (QX_WINDOWS=0
# leaves them out).
if [ "${QX_WINDOWS:-1}" != 0 ]; then
  echo "=== windows (cross-compiled, tested under Wine)"
  start=$SECONDS
  scripts/test-windows.sh build-win build || status=1
  echo "=== windows took $((SECONDS - start)) s"
fi
exit $status
