# Shared set-up of the loopback benchmarks (sourced): a work directory under /tmp named after
# the benchmark ($1), the processes in PIDS ended and the directory removed on exit, and
# free_port, a loopback port that was free a moment ago.
WORK=$(mktemp -d "/tmp/$1.XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
