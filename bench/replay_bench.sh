#!/bin/sh
# Frames per second of passive monitoring: qxservice -REPLAY over a generated capture of Oracle
# sessions (1,000 sessions x 100 statements, mostly repeated), against tcpdump -r of the same file
# to /dev/null as the floor (reading and decoding the file, nothing else).
#
#   bench/replay_bench.sh [BUILD_DIR=build] [SESSIONS=1000] [STATEMENTS=100]
#
# Needs the built qxservice, qxadmin and qxgencap, tcpdump and sqlite3 (for the row count).
set -eu
build=$(cd "${1:-build}" && pwd)
sessions=${2:-1000}
statements=${3:-100}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }

cp "$build/qxservice" "$build/qxadmin" "$work/"
cd "$work"
frames=$("$build/qxgencap" capture.pcap "$sessions" "$statements" 10.0.0.1 1521)
./qxadmin init sqlite:repo.db >/dev/null
./qxadmin -r sqlite:repo.db service add --name BENCH --oracle-host 10.0.0.1 --oracle-port 1521 \
  --work-port 0 --manage-port 47999 --ip-interface 10.255.0.1 >/dev/null
# A service of another port sees every frame and matches none: the cost of reading and
# examining the frames without any connection work.
./qxadmin -r sqlite:repo.db service add --name IDLE --oracle-host 10.0.0.1 --oracle-port 1 \
  --work-port 0 --manage-port 47998 --ip-interface 10.255.0.1 >/dev/null
printf '[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=IDLE\n' > qxservice.ini

t0=$(now)
tcpdump -nn -r capture.pcap > /dev/null 2>&1
t1=$(now)
./qxservice -replay capture.pcap
t2=$(now)
printf '[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=BENCH\n' > qxservice.ini
./qxservice -replay capture.pcap
t3=$(now)
rows=$(sqlite3 repo.db 'select count(*) from qx_client_sql_history' 2>/dev/null || echo '?')
distinct=$(sqlite3 repo.db 'select count(*) from qx_client_sql' 2>/dev/null || echo '?')
# The same with statement texts found by the keyword search instead of the decoder, on a fresh
# repository: what the decoder costs.
rm -f repo.db
./qxadmin init sqlite:repo.db >/dev/null
./qxadmin -r sqlite:repo.db service add --name BENCH --oracle-host 10.0.0.1 --oracle-port 1521 \
  --work-port 0 --manage-port 47999 --ip-interface 10.255.0.1 >/dev/null
printf '[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=BENCH\nStatementCapture=keyword\n' \
  > qxservice.ini
t4=$(now)
./qxservice -replay capture.pcap
t5=$(now)

awk -v f="$frames" -v a="$t0" -v b="$t1" -v c="$t2" -v e="$t3" -v g="$t4" -v h="$t5" -v r="$rows" -v d="$distinct" \
    -v s="$sessions" -v n="$statements" 'BEGIN {
  td = b - a; ti = c - b; tq = e - c; tk = h - g;
  printf "capture: %d sessions x %d statements, %d frames\n", s, n, f;
  printf "tcpdump -r                      : %8.2f s %10.0f frames/s\n", td, f / td;
  printf "qxservice -REPLAY, no match     : %8.2f s %10.0f frames/s\n", ti, f / ti;
  printf "qxservice -REPLAY, all sessions : %8.2f s %10.0f frames/s", tq, f / tq;
  printf " (%s history rows, %s statements)\n", r, d;
  printf "qxservice -REPLAY, keyword search: %6.2f s %10.0f frames/s\n", tk, f / tk;
  printf "ratio to tcpdump (frames per second): no match %.2f, all sessions %.2f\n",
         td / ti, td / tq;
  printf "decoder / keyword search (frames per second): %.2f\n", tk / tq;
}'
