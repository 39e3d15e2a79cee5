#!/usr/bin/env bash
# Memory of idle relayed connections: N client connections held open through qxservice's relay
# to the Oracle stand-in, as a connection pool holds them.
#
# Each connection sends its CONNECT (a connect descriptor the relay decodes and monitors), waits
# for the stand-in's ACCEPT, sends the protocol negotiation and waits for its answer; then it
# stays open and silent. With all N open, the script reads qxservice's resident set (VmRSS),
# its virtual size (VmSize) and its thread count from /proc, and prints them against the same
# figures before the first connection: the difference divided by N is the cost of one idle
# connection. Round trips of one active session through the same process (qxpeer bench-rtt,
# a second service of it) are measured before the idle connections open and while they are
# held: their ratio shows whether the idle ones slow the active ones.
#
# Usage: bench/idle_bench.sh [BUILD_DIR] [N]   (defaults: build, 2000)
# Environment: COUNT (5000 round trips per measurement), RUNS (3: the best is reported).
# Every process needs descriptors: qxservice two per connection, the client and the stand-in
# one each. The script raises the soft limit to the hard one (as root, the hard one to 65,536
# first); N is cut to what qxservice can hold under it. Everything runs on 127.0.0.1; every
# wait is bounded.
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
N=${2:-2000}
COUNT=${COUNT:-5000}
RUNS=${RUNS:-3}
for f in qxservice qxadmin qxoracle-standin qxpeer; do
  [[ -x "$BUILD/$f" ]] || { echo "missing $BUILD/$f: build first" >&2; exit 2; }
done

# Root may lift the hard limit itself (up to fs.nr_open), as the service's unit does with
# LimitNOFILE=65536; others keep theirs.
if [[ $(id -u) -eq 0 ]] && (($(ulimit -Hn) < 65536)); then ulimit -Hn 65536 2>/dev/null || true; fi
ulimit -n "$(ulimit -Hn)"
LIMIT=$(ulimit -n)
# qxservice: two sockets per connection, plus its listeners, logs and repository files.
MAX=$(((LIMIT - 64) / 2))
if ((N > MAX)); then
  echo "descriptor limit $LIMIT: N cut from $N to $MAX" >&2
  N=$MAX
fi

source "$(dirname "$0")/common.sh" qxidle

ORACLE=$(free_port)
"$BUILD/qxoracle-standin" --listen "127.0.0.1:$ORACLE" --user bench --password bench \
  --log "$WORK/standin.log" &
PIDS+=($!)

WORKPORT=$(free_port)
MANAGE=$(free_port)
PEER_ORACLE=$(free_port)
PEER_WORK=$(free_port)
PEER_MANAGE=$(free_port)
cp "$BUILD/qxservice" "$BUILD/qxadmin" "$WORK/"
(
  cd "$WORK"
  ./qxadmin init sqlite:repo.db >/dev/null
  ./qxadmin -r sqlite:repo.db service add --name IDLE --oracle-host 127.0.0.1 \
    --oracle-port "$ORACLE" --work-port "$WORKPORT" --manage-port "$MANAGE" >/dev/null
  ./qxadmin -r sqlite:repo.db service add --name ACTIVE --oracle-host 127.0.0.1 \
    --oracle-port "$PEER_ORACLE" --work-port "$PEER_WORK" --manage-port "$PEER_MANAGE" >/dev/null
  printf '[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=IDLE,ACTIVE\n' >qxservice.ini
)
(cd "$WORK" && exec ./qxservice >/dev/null 2>&1) &
QX=$!
PIDS+=($QX)
for _ in $(seq 100); do
  grep -q "successfully started on port $WORKPORT" "$WORK/qxservice.log" 2>/dev/null &&
    grep -q "successfully started on port $PEER_WORK" "$WORK/qxservice.log" && break
  sleep 0.1
done
grep -q "successfully started on port $WORKPORT" "$WORK/qxservice.log" ||
  { echo "qxservice did not start:" >&2; cat "$WORK/qxservice.log" >&2; exit 1; }

status() { sed -n "s/^$1:[[:space:]]*\([0-9]*\).*/\1/p" "/proc/$QX/status"; }
# The best round-trip rate of RUNS measurements of one active session.
active_rate() {
  local best=0 out rate
  for ((r = 0; r < RUNS; ++r)); do
    out=$("$BUILD/qxpeer" bench-rtt --relay "127.0.0.1:$PEER_WORK" \
      --listen "127.0.0.1:$PEER_ORACLE" --count "$COUNT")
    rate=$(sed -n 's/^round trips per second: \([0-9.]*\).*/\1/p' <<<"$out")
    if (($(echo "$rate > $best" | bc))); then best=$rate; fi
  done
  echo "$best"
}
sleep 1
RATE0=$(active_rate)
sleep 1
RSS0=$(status VmRSS); VSZ0=$(status VmSize); THR0=$(status Threads)

# The client: one thread, non-blocking sockets, at most 200 connections opening at a time.
# Prints "open N" once all are idle, then waits for a line on stdin (or 600 s) and closes them.
cat >"$WORK/idle_client.py" <<'EOF'
import selectors, socket, struct, sys, time

port, count = int(sys.argv[1]), int(sys.argv[2])
DESCRIPTOR = (b"(DESCRIPTION=(CONNECT_DATA=(SERVICE_NAME=IDLE)(CID=(PROGRAM=idle_bench)"
              b"(HOST=benchhost)(USER=bench)))(ADDRESS=(PROTOCOL=TCP)(HOST=127.0.0.1)"
              b"(PORT=%d)))" % port)

def connect_packet():
    body = struct.pack(">HHHHHHHHHHI", 318, 300, 0x0c41, 8192, 0xffff, 0x7f08, 0, 1,
                       len(DESCRIPTOR), 74, 0) + b"\x41\x41"
    body = bytearray(body.ljust(74 - 8, b"\0"))
    body[58 - 8 + 2] = 8192 >> 8
    body[62 - 8 + 1] = 0x20
    body = bytes(body) + DESCRIPTOR
    return struct.pack(">HHBBH", len(body) + 8, 0, 1, 0, 0) + body

def data_packet(payload):
    body = b"\0\0" + payload
    return struct.pack(">IBBH", len(body) + 8, 6, 0, 0) + body

CONNECT = connect_packet()
NEGOTIATE = data_packet(b"\x01\x06\x00idle_bench\x00")
deadline = time.monotonic() + 120
sel = selectors.DefaultSelector()
socks, state, opened, idle, pending = [], {}, 0, 0, 0

def start():
    global opened, pending
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex(("127.0.0.1", port))
    socks.append(s)
    state[s] = 0
    sel.register(s, selectors.EVENT_WRITE)
    opened += 1
    pending += 1

while idle < count:
    while opened < count and pending < 200:
        start()
    if time.monotonic() > deadline:
        sys.exit("timed out with %d of %d connections idle" % (idle, count))
    for key, _ in sel.select(1.0):
        s = key.fileobj
        st = state[s]
        if st == 0:
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                sys.exit("connect failed")
            s.send(CONNECT)
            state[s] = 1
            sel.modify(s, selectors.EVENT_READ)
            continue
        data = s.recv(65536)
        if not data:
            sys.exit("the relay closed a connection (state %d)" % st)
        if st == 1:
            s.send(NEGOTIATE)
            state[s] = 2
        elif st == 2:
            state[s] = 3
            sel.unregister(s)
            idle += 1
            pending -= 1
print("open %d" % idle, flush=True)
sel.close()
sys.stdin.readline()
for s in socks:
    s.close()
EOF

mkfifo "$WORK/hold"
python3 "$WORK/idle_client.py" "$WORKPORT" "$N" <"$WORK/hold" >"$WORK/client.out" &
CLIENT=$!
PIDS+=($CLIENT)
exec 3>"$WORK/hold"
for _ in $(seq 1500); do
  grep -q '^open' "$WORK/client.out" 2>/dev/null && break
  kill -0 "$CLIENT" 2>/dev/null || break
  sleep 0.1
done
grep -q '^open' "$WORK/client.out" || { echo "the client did not open its connections" >&2; exit 1; }
sleep 2  # the relay's threads settle
RSS1=$(status VmRSS); VSZ1=$(status VmSize); THR1=$(status Threads)
RATE1=$(active_rate)
echo >&3
exec 3>&-

printf '%d idle connections through qxservice on %s (%s CPUs)\n\n' "$N" "$(uname -sr)" "$(nproc)"
printf '%-22s %14s %14s %10s\n' "" "VmRSS KB" "VmSize KB" threads
printf '%-22s %14s %14s %10s\n' before "$RSS0" "$VSZ0" "$THR0"
printf '%-22s %14s %14s %10s\n' "with N open" "$RSS1" "$VSZ1" "$THR1"
printf '\nper idle connection: %s KB resident, %s KB virtual\n' \
  "$(echo "scale=1; ($RSS1 - $RSS0) / $N" | bc)" "$(echo "scale=1; ($VSZ1 - $VSZ0) / $N" | bc)"
printf 'target: at most 100 KB resident per idle connection\n'
printf '\none active session, round trips/s (best of %d x %d): %s alone, %s beside the idle ones (ratio %s)\n' \
  "$RUNS" "$COUNT" "$RATE0" "$RATE1" "$(printf "%.2f" "$(echo "scale=4; $RATE1 / $RATE0" | bc)")"
