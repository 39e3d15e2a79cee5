#!/usr/bin/env bash
# The Windows service replays the recorded captures (tests/data/captures) through the stand-in
# wpcap.dll and must store what the Linux service stores from them, row for row: each build runs
# `qxservice /REPLAY` over every capture, with one passive service per IPv4 server the captures
# hold (read from tests/data/captures/expected), and the statements and history rows of both
# SQLite repositories are compared, leaving out what a run draws for itself (ids, session
# numbers, times). Expects the wine server and prefix that scripts/test-windows.sh set up.
#   scripts/replay-windows.sh [WINDOWS_BUILD_DIR [LINUX_BUILD_DIR]]
# Exits non-zero when the repositories differ or a run failed.
set -euo pipefail
cd "$(dirname "$0")/.."
win=${1:-build-win}
linux=${2:-build}
work=$win/replay
rm -rf "$work" && mkdir -p "$work/linux" "$work/windows"
captures=$PWD/tests/data/captures
mapfile -t servers < <(grep -h '^session' "$captures"/expected/*.txt | awk '{print $5}' |
                       grep -v '::' | sort -u)
files=()
for f in "$captures"/*.pcap "$captures"/*.pcapng; do files+=("$f"); done

cp "$linux/qxservice" "$linux/qxadmin" "$work/linux/"
cp "$win/qxservice.exe" "$win/qxadmin.exe" "$win/wpcap.dll" "$work/windows/"
run() {  # side, then the program and its arguments
  local side=$1; shift
  if [ "$side" = windows ]; then (cd "$work/$side" && wine "$@" </dev/null); else (cd "$work/$side" && "$@" </dev/null); fi
}
status=0
for side in linux windows; do
  exe=./qxservice admin=./qxadmin
  [ $side = windows ] && exe=qxservice.exe admin=qxadmin.exe
  run $side $admin init sqlite:repo.db >/dev/null
  names=()
  manage=15400
  for server in "${servers[@]}"; do
    name=S${#names[@]}
    names+=("$name")
    manage=$((manage + 1))
    run $side $admin -r sqlite:repo.db service add --name "$name" --oracle-host "${server%:*}" \
      --oracle-port "${server##*:}" --work-port 0 --manage-port $manage \
      --ip-interface 10.255.0.1 >/dev/null
  done
  printf '[Service]\r\nrpstConnStr=sqlite:repo.db\r\nMonitorServices=%s\r\n' \
    "$(IFS=,; echo "${names[*]}")" >"$work/$side/qxservice.ini"
  if ! run $side $exe /REPLAY "${files[@]}" >"$work/$side/out.txt" 2>&1; then
    echo "replay-windows: the $side /REPLAY failed:" >&2
    cat "$work/$side/out.txt" "$work/$side/qxerror.log" >&2 || true
    status=1
  fi
done
[ $status = 0 ] || exit 1

# Rows as sorted tuples: statements by their text and hashes, history rows by everything that
# comes from the wire (the statement's text standing for its id).
/usr/bin/python3 - "$work/linux/repo.db" "$work/windows/repo.db" <<'EOF'
import sqlite3, sys
TEXT = "s.sqltext || ifnull(s.sqltext1, '') || ifnull(s.sqltext2, '') || ifnull(s.sqltext3, '')"
QUERIES = {
    "statements": f"select {TEXT}, s.sqlhash, s.fingerprint_hash, s.fingerprint from qx_client_sql s",
    "history": f"select v.name, {TEXT}, h.host, h.ip, h.orauser, h.service_name, h.sid, h.program,"
               " h.username, h.rows_processed, h.error_code from qx_client_sql_history h"
               " join qx_client_sql s on s.id = h.sql_id join QX_SERVICE_LIST v on v.id = h.srvc_id",
}
def rows(db, sql):
    con = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    try:
        return sorted(tuple("" if c is None else str(c) for c in r) for r in con.execute(sql))
    finally:
        con.close()
failed = False
for what, sql in QUERIES.items():
    linux, windows = rows(sys.argv[1], sql), rows(sys.argv[2], sql)
    if linux != windows:
        failed = True
        print(f"replay-windows: {what} differ ({len(linux)} rows on Linux, {len(windows)} on Windows)",
              file=sys.stderr)
        for r in sorted(set(linux) ^ set(windows))[:10]:
            print(("  Linux only:   " if r in linux else "  Windows only: ") + repr(r)[:300],
                  file=sys.stderr)
    elif not linux:
        failed = True
        print(f"replay-windows: no {what} stored at all", file=sys.stderr)
    else:
        print(f"replay: {len(linux)} {what} rows, the same on both")
sys.exit(1 if failed else 0)
EOF
