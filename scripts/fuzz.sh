#!/usr/bin/env bash
# Builds the fuzz targets (the Oracle Net decoder's; the frame decoder with the stream
# reassembler) with clang into build-fuzz/ (libFuzzer, AddressSanitizer, UBSan), writes their seed corpus from tests/data/captures, and runs each
# target for FUZZ_SECONDS (default 60). Crashes are left in build-fuzz/crashes/.
#   scripts/fuzz.sh [target ...]     targets: tns_framer session frame (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(tns_framer session frame)
dir=build-fuzz
command -v clang++ >/dev/null || { echo "clang++ is missing (apt-get install clang)" >&2; exit 1; }
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DQX_FUZZ=ON -DQX_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
ninja -C "$dir" make_fuzz_corpus "${targets[@]/#/fuzz_}"
mkdir -p "$dir/corpus/session" "$dir/corpus/tns_framer" "$dir/corpus/frame" "$dir/crashes"
"$dir/make_fuzz_corpus" "$dir/corpus/session" "$dir/corpus/tns_framer" "$dir/corpus/frame"
status=0
for t in "${targets[@]}"; do
  echo "=== fuzz_$t for ${seconds}s"
  "$dir/fuzz_$t" -max_total_time="$seconds" -max_len=70000 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$dir/crashes/$t-" -print_final_stats=1 "$dir/corpus/$t" || status=1
done
exit $status
