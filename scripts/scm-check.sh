#!/usr/bin/env bash
# The service control manager path under Wine: qxservice.exe /INSTALL, then `sc` starts,
# queries and stops the service, and /UNINSTALL removes it, with the lifecycle's messages and
# logs. While it runs under the SCM, a python-oracledb thin client logs on to the Oracle
# stand-in (the Linux build's qxoracle-standin) through the service's working port and asks
# `qxadmin status` on its managing port; the session's executions must then be in the SQLite
# repository with the client's identity. Expects the wine server and prefix that
# scripts/test-windows.sh set up.
#   scripts/scm-check.sh [BUILD_DIR [LINUX_BUILD_DIR]]
# Prints "N passed, N failed" and exits non-zero when a check failed.
set -uo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
linux=${2:-build}
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
# The Oracle stand-in on a free port, which its first log line names.
"$linux/qxoracle-standin" --listen 127.0.0.1:0 --user scott --password tiger \
  --log "$work/standin.log" >"$work/standin.out" 2>&1 </dev/null &
standin=$!
trap 'kill $standin 2>/dev/null' EXIT
for _ in $(seq 40); do [ -s "$work/standin.log" ] && break; sleep 0.25; done
oracle_port=$(awk '$2 == "LISTEN" {n = split($3, a, ":"); print a[n]; exit}' "$work/standin.log")
(cd "$work" && wine qxadmin.exe init sqlite:repo.db >/dev/null &&
  wine qxadmin.exe -r sqlite:repo.db service add --name ORCL --oracle-host 127.0.0.1 \
    --oracle-port "${oracle_port:-1}" --work-port "$work_port" --manage-port "$manage_port" >/dev/null)
check "the Oracle stand-in listens" [ -n "$oracle_port" ]
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

# A thin client's session through the relay, with qxadmin status asked while it is open.
/usr/bin/python3 - "$work_port" "$manage_port" "$work" >"$work/client.out" 2>&1 <<'EOF'
import subprocess, sys
import oracledb
work_port, manage_port, work = sys.argv[1:4]
conn = oracledb.connect(user="scott", password="tiger", dsn=f"127.0.0.1:{work_port}/XE")
cur = conn.cursor()
cur.execute("CREATE TABLE wl_scm (id NUMBER, item VARCHAR2(20))")
cur.execute("INSERT INTO wl_scm VALUES (:1, :2)", [1, "one"])
cur.execute("SELECT item FROM wl_scm WHERE id = :1", [1])
cur.fetchall()
conn.commit()
status = subprocess.run(["wine", "qxadmin.exe", "status", f"127.0.0.1:{manage_port}"], cwd=work,
                        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
print(status.stdout.replace("\r", ""), end="")
conn.close()
EOF
client_status=$?
check "the thin client's session through the relay succeeds" [ $client_status = 0 ]
check "qxadmin status shows the open session" grep -q "^Current connections: *1$" "$work/client.out"
check "... with its Oracle user" grep -qi "scott" "$work/client.out"

wine sc stop QuorvexService >/dev/null 2>&1
check "sc stop: stopped" wait_state STOPPED 30
check "the managing listener was stopped" \
  grep -q "Managing listener for service ORCL has been stopped." "$work/qxservice.log"
check "no errors logged" [ ! -s "$work/qxerror.log" ]
# Each execution the stand-in received, in order, with the client's identity.
check "the session's executions are stored with its identity" /usr/bin/python3 - "$work" <<'EOF'
import getpass, socket, sqlite3, sys
work = sys.argv[1]
executed = [l.split(" ", 3)[3] for l in open(f"{work}/standin.log").read().splitlines()
            if l.split(" ")[1:2] in (["SQL"], ["EXEC"])]
con = sqlite3.connect(f"file:{work}/repo.db?mode=ro", uri=True)
rows = con.execute("select s.sqltext, h.host, h.ip, h.orauser, h.service_name, h.program,"
                   " h.username from qx_client_sql_history h join qx_client_sql s"
                   " on s.id = h.sql_id order by h.id").fetchall()
identity = (socket.gethostname().upper(), "127.0.0.1", "SCOTT", "XE")
ok = len(executed) == 3 and [r[0] for r in rows] == executed
for r in rows:
    ok = ok and r[1:5] == identity and "PYTHON" in r[5].upper() and r[6] == getpass.getuser().upper()
if not ok:
    print("stand-in executed:", executed, "\nstored:", rows, file=sys.stderr)
sys.exit(0 if ok else 1)
EOF

out=$(wine "$work/qxservice.exe" /UNINSTALL 2>&1 | tr -d '\r')
check "/UNINSTALL says so" [ "$out" = "Service uninstalled successfully" ]
check "sc no longer knows it" sh -c '! wine sc query QuorvexService >/dev/null 2>&1'
out=$(wine "$work/qxservice.exe" /UNINSTALL 2>&1 | tr -d '\r')
check "a second /UNINSTALL fails with the lifecycle's message" \
  sh -c "echo '$out' | grep -q 'Service \"QuorvexService\" failed to uninstall with error'"

echo "scm: $passed passed, $failed failed"
[ $failed = 0 ]
