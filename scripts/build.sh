#!/usr/bin/env bash
# Builds Quorvex into build/ (or the directory given), optionally with a sanitizer:
#   scripts/build.sh [BUILD_DIR] [thread|address]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
sanitize=${2:-}
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_SANITIZE="$sanitize" "${launcher[@]}" >/dev/null
ninja -C "$dir" -j"$(nproc)"
