#!/usr/bin/env bash
# Loopback benchmark of the active-mode relay (qxservice) against plain TCP relays.
#
# For each path — straight to the stand-in Oracle listener, through qxservice, through socat and
# through haproxy (plain TCP mode) — the Oracle Net test peer measures:
#   - round trips: a logged-in client sends "SELECT 1 FROM DUAL" and waits for a 100-byte
#     answer, COUNT times (qxpeer bench-rtt): round trips per second, median and 99th
#     percentile, and the latency each relay adds to a round trip over the direct path;
#   - bulk: one request answered by BYTES bytes from the server (qxpeer bench-bulk), in MB/s.
# qxservice runs four times: as configured by default (history written every 100 executions,
# on the client's path, every execution journalled in the spool), with the history written once
# at the session's end (the relay and its handlers without the repository's writes), with the
# keyword search instead of the decoder, and without the spool (SpoolLimitMB=0), whose ratio
# to the default is the spool's cost. The processor time each qxservice and haproxy used per
# round trip is read from /proc (socat forks a child per connection and is not counted).
#
# Usage: bench/relay_bench.sh [BUILD_DIR]   (default: build)
# Environment: COUNT (10000), BYTES (1000000000), RUNS (5: the best of RUNS is reported).
# Everything runs on 127.0.0.1. Needs socat and haproxy (installed here when missing).
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
COUNT=${COUNT:-10000}
BYTES=${BYTES:-1000000000}
RUNS=${RUNS:-5}
PEER="$BUILD/qxpeer"

for f in qxpeer qxservice qxadmin; do
  [[ -x "$BUILD/$f" ]] || { echo "missing $BUILD/$f: build first" >&2; exit 2; }
done
command -v socat >/dev/null || { echo "socat is needed (apt-get install socat)" >&2; exit 2; }
if ! command -v haproxy >/dev/null; then
  echo "installing haproxy..." >&2
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get install -y -qq haproxy >/dev/null
fi

source "$(dirname "$0")/common.sh" qxbench

ORACLE=$(free_port)

# qxservice in its own program directory; $2 = extra ini lines. Sets STARTED_PORT to its
# working port. (Runs in this shell, not in a command substitution, so that its process id
# reaches PIDS and the clean-up.)
start_qxservice() {
  local dir="$WORK/$1" work manage
  work=$(free_port); manage=$(free_port)
  mkdir -p "$dir"
  cp "$BUILD/qxservice" "$BUILD/qxadmin" "$dir/"
  "$dir/qxadmin" init sqlite:repo.db >/dev/null
  "$dir/qxadmin" -r sqlite:repo.db service add --name BENCH --oracle-host 127.0.0.1 \
    --oracle-port "$ORACLE" --work-port "$work" --manage-port "$manage" >/dev/null
  printf '[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=BENCH\n%b' "$2" \
    >"$dir/qxservice.ini"
  "$dir/qxservice" >/dev/null 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do
    grep -q "has been successfully started on port $work" "$dir/qxservice.log" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "has been successfully started on port $work" "$dir/qxservice.log" ||
    { echo "qxservice did not start:" >&2; cat "$dir/qxservice.log" >&2; exit 1; }
  STARTED_PORT=$work
  STARTED_PID=${PIDS[-1]}
}

declare -A PID_OF
start_qxservice qx ""
QX=$STARTED_PORT; PID_OF[qxservice]=$STARTED_PID
start_qxservice qx_end "sqlHistCacheCount=100000000\n"
QX_END=$STARTED_PORT; PID_OF[qxservice-history-at-end]=$STARTED_PID
start_qxservice qx_kw "StatementCapture=keyword\n"
QX_KW=$STARTED_PORT; PID_OF[qxservice-keyword]=$STARTED_PID
start_qxservice qx_nospool "SpoolLimitMB=0\n"
QX_NOSPOOL=$STARTED_PORT; PID_OF[qxservice-no-spool]=$STARTED_PID
# Processor time (user + system, in clock ticks) a process has used so far.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
TICK_US=$(echo "1000000 / $(getconf CLK_TCK)" | bc)

SOCAT=$(free_port)
socat "TCP-LISTEN:$SOCAT,bind=127.0.0.1,reuseaddr,fork" "TCP:127.0.0.1:$ORACLE" &
PIDS+=($!)

HAPROXY=$(free_port)
cat >"$WORK/haproxy.cfg" <<EOF
global
  maxconn 100
defaults
  mode tcp
  timeout connect 5s
  timeout client 300s
  timeout server 300s
listen relay
  bind 127.0.0.1:$HAPROXY
  server oracle 127.0.0.1:$ORACLE
EOF
haproxy -db -f "$WORK/haproxy.cfg" >/dev/null 2>&1 &
PIDS+=($!); PID_OF[haproxy]=$!
sleep 0.5

NAMES=(direct qxservice "qxservice-history-at-end" "qxservice-keyword" "qxservice-no-spool" socat
  haproxy)
PORTS=("$ORACLE" "$QX" "$QX_END" "$QX_KW" "$QX_NOSPOOL" "$SOCAT" "$HAPROXY")
declare -A RATE MEDIAN P99 BULK CPU

value() { sed -n "s/^$1: \([0-9.]*\).*/\1/p"; }

for n in "${NAMES[@]}"; do RATE[$n]=0; BULK[$n]=0; CPU[$n]=0; done
# One uncounted round on every path first: a relay that has just started pays once for what
# it keeps afterwards (the repository's pages in memory, its prepared statements, the
# statement caches), which a service running for months does not.
for ((i = 0; i < ${#NAMES[@]}; ++i)); do
  "$PEER" bench-rtt --relay "127.0.0.1:${PORTS[$i]}" --listen "127.0.0.1:$ORACLE" \
    --count $((COUNT / 5 > 0 ? COUNT / 5 : 1)) >/dev/null
done
# Rounds go over every path in turn, so that a burst of load from elsewhere on the machine
# falls on all paths alike instead of on whichever path was being measured at the time.
for ((r = 0; r < RUNS; ++r)); do
  for ((i = 0; i < ${#NAMES[@]}; ++i)); do
    n=${NAMES[$i]}
    pid=${PID_OF[$n]:-}
    [[ -n $pid ]] && before=$(cpu_ticks "$pid")
    out=$("$PEER" bench-rtt --relay "127.0.0.1:${PORTS[$i]}" --listen "127.0.0.1:$ORACLE" \
      --count "$COUNT")
    # The relay's processor time per round trip, the least of the rounds: less at the mercy
    # of other work on the machine than the rate is.
    if [[ -n $pid ]]; then
      us=$(echo "scale=2; ($(cpu_ticks "$pid") - $before) * $TICK_US / $COUNT" | bc)
      if (($(echo "${CPU[$n]} == 0 || $us < ${CPU[$n]}" | bc))); then CPU[$n]=$us; fi
    fi
    rate=$(value "round trips per second" <<<"$out")
    if (($(echo "$rate > ${RATE[$n]}" | bc))); then
      RATE[$n]=$rate
      MEDIAN[$n]=$(value "median round trip" <<<"$out")
      P99[$n]=$(value "99th percentile round trip" <<<"$out")
    fi
  done
done
for ((r = 0; r < (RUNS > 1 ? 2 : 1); ++r)); do
  for ((i = 0; i < ${#NAMES[@]}; ++i)); do
    n=${NAMES[$i]}
    out=$("$PEER" bench-bulk --relay "127.0.0.1:${PORTS[$i]}" --listen "127.0.0.1:$ORACLE" \
      --bytes "$BYTES")
    mbs=$(value "throughput" <<<"$out")
    if (($(echo "$mbs > ${BULK[$n]}" | bc))); then BULK[$n]=$mbs; fi
  done
done

printf '\n%d round trips (best of %d), %s-byte bulk transfer, on %s (%s CPUs)\n\n' \
  "$COUNT" "$RUNS" "$BYTES" "$(uname -sr)" "$(nproc)"
printf '%-26s %12s %10s %10s %12s %12s %10s %10s\n' path "round trips/s" "median us" "p99 us" \
  "added med us" "added p99 us" "bulk MB/s" "cpu us/rt"
for n in "${NAMES[@]}"; do
  added_med=$(echo "${MEDIAN[$n]} - ${MEDIAN[direct]}" | bc)
  added_p99=$(echo "${P99[$n]} - ${P99[direct]}" | bc)
  cpu=${CPU[$n]}; [[ -z ${PID_OF[$n]:-} ]] && cpu=-
  printf '%-26s %12s %10s %10s %12s %12s %10s %10s\n' "$n" "${RATE[$n]}" "${MEDIAN[$n]}" \
    "${P99[$n]}" "$added_med" "$added_p99" "${BULK[$n]}" "$cpu"
done

ratio() { printf "%.2f" "$(echo "scale=4; $1 / $2" | bc)"; }
printf '\nratios of qxservice to each plain relay (targets: round trips >= 0.9 of socat, bulk >= socat)\n'
for q in qxservice qxservice-history-at-end qxservice-keyword; do
  for ref in socat haproxy; do
    printf '  %-26s / %-8s round trips %5s   bulk %5s\n' "$q" "$ref" \
      "$(ratio "${RATE[$q]}" "${RATE[$ref]}")" "$(ratio "${BULK[$q]}" "${BULK[$ref]}")"
  done
done
printf '\ndecoder against keyword search (qxservice / qxservice-keyword): round trips %s, bulk %s\n' \
  "$(ratio "${RATE[qxservice]}" "${RATE[qxservice-keyword]}")" \
  "$(ratio "${BULK[qxservice]}" "${BULK[qxservice-keyword]}")"
printf 'spool against none (qxservice / qxservice-no-spool; target >= 0.95): round trips %s, bulk %s;\n' \
  "$(ratio "${RATE[qxservice]}" "${RATE[qxservice-no-spool]}")" \
  "$(ratio "${BULK[qxservice]}" "${BULK[qxservice-no-spool]}")"
printf '  processor time per round trip with the spool against without it (target <= 1.05): %s\n' \
  "$(ratio "${CPU[qxservice]}" "${CPU[qxservice-no-spool]}")"
printf 'processor time per round trip against haproxy'"'"'s: qxservice %s, history at the end %s\n' \
  "$(ratio "${CPU[qxservice]}" "${CPU[haproxy]}")" \
  "$(ratio "${CPU[qxservice-history-at-end]}" "${CPU[haproxy]}")"
