#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain suite, then the suite under
# ThreadSanitizer and under AddressSanitizer + UBSan, then the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
status=0
failed=()  # what failed, repeated at the end where a log's tail shows it
run_suite() {  # dir sanitizer
  local dir=$1 sanitize=$2
  echo "=== building $dir ${sanitize:+($sanitize)}"
  scripts/build.sh "$dir" "$sanitize"
  echo "=== testing $dir"
  (cd "$dir" && QX_SANITIZE="$sanitize" ctest --output-on-failure -j2 --timeout 300) && return
  # Tests that drive real processes over loopback under a sanitizer on a busy machine can miss
  # a deadline: each failed test runs once more on its own, and is named at the end either way.
  local first
  first=$(tr '\n' ' ' < "$dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null)
  echo "=== $dir: running again on their own: $first"
  if (cd "$dir" && QX_SANITIZE="$sanitize" ctest --output-on-failure --rerun-failed --timeout 300); then
    failed+=("suite $dir: passed only when run again: $first")
  else
    status=1
    failed+=("suite $dir: failed twice: $(tr '\n' ' ' < "$dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null)")
  fi
}
run_suite build ""
run_suite build-tsan thread
run_suite build-asan address
# Every parser of untrusted bytes under libFuzzer (AddressSanitizer + UBSan), for a bounded time.
echo "=== fuzzing"
FUZZ_SECONDS=${FUZZ_SECONDS:-45} scripts/fuzz.sh || { status=1; failed+=("fuzzing (see build-fuzz/crashes)"); }
# The Windows executables, cross-compiled, and the Windows suite under Wine (QX_WINDOWS=0
# leaves them out).
if [ "${QX_WINDOWS:-1}" != 0 ]; then
  echo "=== windows (cross-compiled, tested under Wine)"
  start=$SECONDS
  scripts/test-windows.sh build-win build || { status=1; failed+=("windows"); }
  echo "=== windows took $((SECONDS - start)) s"
fi
if [ ${#failed[@]} -gt 0 ]; then
  [ $status -ne 0 ] && echo "=== FAILED" || echo "=== passed, but:"
  printf '  %s\n' "${failed[@]}"
fi
exit $status
