#!/bin/sh
# Frames per second of passive monitoring: qxservice -REPLAY over a generated capture of Oracle
# sessions (1,000 sessions x 100 statements, mostly repeated), against tcpdump -r of the same file
# to /dev/null as the floor (reading and decoding the file, nothing else). The same sessions are
# replayed once more all open at the same time, their calls interleaved, as a server's pooled
# connections send them.
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

# Runs a command under /usr/bin/time: appends "wall user system peak-RSS-KB" to $work/$1.
timed() {
  out=$1; shift
  /usr/bin/time -o "$work/$out" -f '%e %U %S %M' "$@"
}

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

timed t_tcpdump sh -c 'tcpdump -nn -r capture.pcap > /dev/null 2>&1'
timed t_idle ./qxservice -replay capture.pcap
printf '[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=BENCH\n' > qxservice.ini
timed t_all ./qxservice -replay capture.pcap
rows=$(sqlite3 repo.db 'select count(*) from qx_client_sql_history' 2>/dev/null || echo '?')
distinct=$(sqlite3 repo.db 'select count(*) from qx_client_sql' 2>/dev/null || echo '?')
# A repository of its own for each of the runs below, with the service for the capture's
# server; $1: more lines of qxservice.ini.
fresh_repository() {
  rm -f repo.db repo.db-wal repo.db-shm
  ./qxadmin init sqlite:repo.db >/dev/null
  ./qxadmin -r sqlite:repo.db service add --name BENCH --oracle-host 10.0.0.1 --oracle-port 1521 \
    --work-port 0 --manage-port 47999 --ip-interface 10.255.0.1 >/dev/null
  printf '[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=BENCH\n%b' "${1:-}" > qxservice.ini
}

# The same with statement texts found by the keyword search instead of the decoder: what the
# decoder costs.
fresh_repository 'StatementCapture=keyword\n'
timed t_kw ./qxservice -replay capture.pcap

# The same sessions all open at once, their calls interleaved.
"$build/qxgencap" concurrent.pcap "$sessions" "$statements" 10.0.0.1 1521 20 "$sessions" > /dev/null
fresh_repository
timed t_concurrent ./qxservice -replay concurrent.pcap
rows_concurrent=$(sqlite3 repo.db 'select count(*) from qx_client_sql_history' 2>/dev/null || echo '?')

# Memory: the same sessions with every statement a new one (SESSIONS x STATEMENTS distinct
# statements, far more than the statement cache's 500): peak RSS must not follow them.
"$build/qxgencap" distinct.pcap "$sessions" "$statements" 10.0.0.1 1521 1 > /dev/null
fresh_repository
timed t_distinct ./qxservice -replay distinct.pcap
distinct_all=$(sqlite3 repo.db 'select count(*) from qx_client_sql' 2>/dev/null || echo '?')

# Wall time is what the targets count; on a machine shared with other work the processor
# time (user + system) shows the program's own cost beside it.
read -r td tdu tds tdm < "$work/t_tcpdump"
read -r ti tiu tis tim < "$work/t_idle"
read -r tq tqu tqs tqm < "$work/t_all"
read -r tk tku tks tkm < "$work/t_kw"
read -r tx txu txs txm < "$work/t_distinct"
read -r tc tcu tcs tcm < "$work/t_concurrent"
awk -v f="$frames" -v r="$rows" -v d="$distinct" -v s="$sessions" -v n="$statements" \
    -v td="$td" -v ti="$ti" -v tq="$tq" -v tk="$tk" \
    -v cd="$(echo "$tdu + $tds" | bc)" -v ci="$(echo "$tiu + $tis" | bc)" \
    -v cq="$(echo "$tqu + $tqs" | bc)" -v ck="$(echo "$tku + $tks" | bc)" \
    -v mq="$tqm" -v mi="$tim" -v tx="$tx" -v mx="$txm" -v dx="$distinct_all" \
    -v cx="$(echo "$txu + $txs" | bc)" -v tc="$tc" -v cc="$(echo "$tcu + $tcs" | bc)" \
    -v mc="$tcm" -v rc="$rows_concurrent" 'BEGIN {
  if (td <= 0) td = 0.005; if (ti <= 0) ti = 0.005; if (tq <= 0) tq = 0.005; if (tk <= 0) tk = 0.005;
  if (cd <= 0) cd = 0.005; if (cq <= 0) cq = 0.005;
  printf "capture: %d sessions x %d statements, %d frames\n", s, n, f;
  printf "%-34s %7s %11s %7s %13s\n", "run", "wall s", "frames/s", "cpu s", "peak RSS MB";
  printf "%-34s %7.2f %11.0f %7.2f\n", "tcpdump -r", td, f / td, cd;
  printf "%-34s %7.2f %11.0f %7.2f %13.1f\n", "qxservice -REPLAY, no match", ti, f / ti, ci, mi / 1024;
  printf "%-34s %7.2f %11.0f %7.2f %13.1f\n", "qxservice -REPLAY, all sessions", tq, f / tq, cq, mq / 1024;
  printf "%-34s %7.2f %11.0f %7.2f\n", "qxservice -REPLAY, keyword search", tk, f / tk, ck;
  printf "%-34s %7.2f %11.0f %7.2f %13.1f\n", "qxservice -REPLAY, all at once", tc, f / tc, cc,
         mc / 1024;
  printf "%-34s %7.2f %11.0f %7.2f %13.1f\n", "qxservice -REPLAY, all distinct", tx, f / tx, cx,
         mx / 1024;
  printf "all sessions: %s history rows, %s statements: %.0f executions written/s\n", r, d,
         r / tq;
  printf "ratio to tcpdump (frames per second): no match %.2f, all sessions %.2f, all at once %.2f\n",
         td / ti, td / tq, td / tc;
  printf "all at once: %s history rows\n", rc;
  printf "ratio to tcpdump (processor time): all sessions %.2f\n", cd / cq;
  printf "decoder / keyword search (frames per second): %.2f\n", tk / tq;
  printf "peak RSS: %.1f MB with %s statements, %.1f MB with %s (statement cache: 500)\n",
         mq / 1024, d, mx / 1024, dx;
}'
