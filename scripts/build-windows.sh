#!/usr/bin/env bash
# Cross-compiles the Windows executables with mingw-w64 into build-win/ (or the directory given):
# qxservice.exe, qxadmin.exe, the test executable qxtests.exe and the test stand-ins (the
# Oracle client ocistub.dll, the capture library wpcap.dll).
#   scripts/build-windows.sh [BUILD_DIR [TARGET...]]
# SQLite comes from its amalgamation at a pinned version: the npm package better-sqlite3 ships
# it, and `npm pack` fetches that package's tarball without installing anything. The tarball is
# kept in BUILD_DIR/deps and checked against its SHA-256 before use; nothing fetched is part of
# the tree. The capture library's headers are Debian's libpcap headers (they have the Windows
# branch).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
shift || true  # the rest: ninja targets
sqlite_package=better-sqlite3@12.4.1  # SQLite 3.50.4
sqlite_tarball=better-sqlite3-12.4.1.tgz
sqlite_sha256=14398acbf00d1e8fe0a2753df7d4f15c13138e4b874f4e6e96791f65b4536d0d

deps=$(realpath -m "$dir")/deps  # absolute: cmake is given it, and BUILD_DIR may be either
mkdir -p "$deps"
if ! echo "$sqlite_sha256  $deps/$sqlite_tarball" | sha256sum -c --status 2>/dev/null; then
  rm -f "$deps/$sqlite_tarball"
  (cd "$deps" && npm pack "$sqlite_package" --silent >/dev/null)
  if ! echo "$sqlite_sha256  $deps/$sqlite_tarball" | sha256sum -c --status; then
    echo "build-windows: $sqlite_tarball does not have the pinned SHA-256" >&2
    rm -f "$deps/$sqlite_tarball"
    exit 1
  fi
  rm -rf "$deps/sqlite"
fi
if [ ! -f "$deps/sqlite/sqlite3.c" ]; then
  mkdir -p "$deps/sqlite"
  tar -xzf "$deps/$sqlite_tarball" -C "$deps/sqlite" --strip-components=3 \
    package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h
fi

# Only the pcap headers, not /usr/include itself (whose glibc headers would shadow mingw's).
mkdir -p "$deps/pcap-include"
cp -u /usr/include/pcap.h "$deps/pcap-include/"
cp -ru /usr/include/pcap "$deps/pcap-include/"

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DQX_BUILD_TESTS="${QX_BUILD_TESTS:-ON}" -DQX_SQLITE_DIR="$deps/sqlite" -DPCAP_INCLUDE_DIR="$deps/pcap-include" \
  "${launcher[@]}" >/dev/null
nice -n 5 ninja -C "$dir" -j"$(nproc)" "$@"
