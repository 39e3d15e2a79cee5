#!/usr/bin/env bash
# Installs what building, running and testing Quorvex needs on Debian (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(g++ cmake ninja-build pkg-config libsqlite3-dev libssl-dev libpcap0.8-dev
          libgtest-dev libgmock-dev sqlite3 tcpdump socat iproute2 procps python3 locales clang libclang-rt-14-dev
          googletest g++-mingw-w64-x86-64-posix wine wine64
          chromium python3-jsonschema)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Real Oracle thin clients for the client tests: python-oracledb and Node.js from Debian,
# node-oracledb from npm at the version its lock file pins.
# Node.js may come from another packaging that bundles npm: test for the commands, not the
# Debian package names.
missing=()
dpkg-query -W -f='${Status}' python3-oracledb 2>/dev/null | grep -q "install ok installed" ||
  missing+=(python3-oracledb)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if command -v node >/dev/null && command -v npm >/dev/null; then
  (cd "$(dirname "$0")/../tests/clients/node" && npm ci --no-audit --no-fund --loglevel=error)
fi
