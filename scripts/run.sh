#!/usr/bin/env bash
# Installs what is missing, builds, and starts qxservice in the foreground on the embedded
# repository (build/quorvex.db), creating it, a sample qxservice.ini and a sample active
# service when they are absent. Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
cd build
if [ ! -f qxservice.ini ]; then
  cat > qxservice.ini <<'INI'
[Service]
rpstConnStr=sqlite:quorvex.db
DebugConnections=0
DeadConnectionTimeout=1440
sqlHistCacheCount=100
sqlCacheCount=500
MonitorServices=SAMPLE
INI
fi
if [ ! -f quorvex.db ]; then
  ./qxadmin init sqlite:quorvex.db
  ./qxadmin -r sqlite:quorvex.db service add --name SAMPLE --oracle-host 127.0.0.1 \
    --oracle-port 1521 --work-port 1522 --manage-port 1523 || true
fi
exec ./qxservice
