#!/usr/bin/env bash
# The service control manager path under Wine: qxservice.exe /INSTALL, then `sc` starts,
# queries and stops the service, and /UNINSTALL removes it, with the lifecycle's messages and
# logs. Expects the wine server and prefix that scripts/test-windows.sh set up.
#   scripts/scm-check.sh [BUILD_DIR]
# Prints "N passed, N failed" and exits non-zero when a check failed.
set -uo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
work=$dir/scm
rm -rf "$work" && mkdir -p "$work"
cp "$dir/qxservice.exe" "$dir/qxadmin.exe" "$work/"
passed=0 failed=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what" >&2; fi
}
state() { wine sc query QuorvexService 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'; }
wait_state() {  # wanted state, seconds
  for _ in $(seq $(($2 * 4))); do [ "$(state)" = "$1" ] && return 0; sleep 0.25; done
  echo "state is '$(state)', not $1" >&2; return 1
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
work_port=$(free_port); manage_port=$(free_port)
(cd "$work" && wine qxadmin.exe init sqlite:repo.db >/dev/null &&
  wine qxadmin.exe -r sqlite:repo.db service add --name ORCL --oracle-host 127.0.0.1 \
    --oracle-port 1 --work-port "$work_port" --manage-port "$manage_port" >/dev/null)
printf '[Service]\r\nrpstConnStr=sqlite:repo.db\r\nMonitorServices=ORCL\r\n' > "$work/qxservice.ini"

wine sc delete QuorvexService >/dev/null 2>&1 || true  # left over from an interrupted run
out=$(wine "$work/qxservice.exe" /INSTALL 2>&1 | tr -d '\r')
check "/INSTALL says so" [ "$out" = "Service installed successfully" ]
check "installed service is stopped" wait_state STOPPED 10
# (Wine's sc has no "qc": the registered command line and start type are not queried here.)
out=$(wine "$work/qxservice.exe" /INSTALL /SILENT 2>&1 | tr -d '\r')
check "a second /INSTALL fails with the lifecycle's message" \
  sh -c "echo '$out' | grep -q 'Service \"QuorvexService\" failed to install with error'"

wine sc start QuorvexService >/dev/null 2>&1
check "sc start: running" wait_state RUNNING 30
started=0
for _ in $(seq 80); do
  if (cd "$work" && wine qxadmin.exe status "127.0.0.1:$manage_port" 2>/dev/null | grep -q '^Started:'); then
    started=1; break
  fi
  sleep 0.25
done
check "its managing port answers qxadmin status" [ $started = 1 ]
check "the log says it started" grep -q "Service successfully started." "$work/qxservice.log"

wine sc stop QuorvexService >/dev/null 2>&1
check "sc stop: stopped" wait_state STOPPED 30
check "the managing listener was stopped" \
  grep -q "Managing listener for service ORCL has been stopped." "$work/qxservice.log"
check "no errors logged" [ ! -s "$work/qxerror.log" ]

out=$(wine "$work/qxservice.exe" /UNINSTALL 2>&1 | tr -d '\r')
check "/UNINSTALL says so" [ "$out" = "Service uninstalled successfully" ]
check "sc no longer knows it" sh -c '! wine sc query QuorvexService >/dev/null 2>&1'
out=$(wine "$work/qxservice.exe" /UNINSTALL 2>&1 | tr -d '\r')
check "a second /UNINSTALL fails with the lifecycle's message" \
  sh -c "echo '$out' | grep -q 'Service \"QuorvexService\" failed to uninstall with error'"

echo "scm: $passed passed, $failed failed"
[ $failed = 0 ]
