#!/usr/bin/env bash
# End-to-end receiver throughput on loopback: the simulator floods N reports
# (a) into a plain TCP sink (socat to /dev/null) and (b) into the daemon, and
# the ratio of the two rates is printed. Usage: bench/receiver_e2e.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
COUNT="${1:-5000000}"
SIM=./build/tagvane-receiver-sim
WORK=$(mktemp -d)
CONSUMER_PID=
cleanup() {
  [[ -n "$CONSUMER_PID" ]] && kill "$CONSUMER_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
TAGS=(--tag 1A2B:87 --tag 3C4D:60 --tag 5E6F:123 --tag 7A8B:9)

start_sim() {  # $1: name
  rm -f "$WORK/$1.port"
  "$SIM" --listen 0 --port-file "$WORK/$1.port" --flood --count "$COUNT" "${TAGS[@]}" \
    > "$WORK/$1.out" 2> /dev/null &
  SIM_PID=$!
  for _ in $(seq 200); do [[ -s "$WORK/$1.port" ]] && break; sleep 0.05; done
  PORT=$(cat "$WORK/$1.port")
}

# (a) the raw stream into a plain sink, three times (the best run counts)
for run in 1 2 3; do
  start_sim "sink$run"
  socat -u "TCP:127.0.0.1:$PORT" - > /dev/null &
  CONSUMER_PID=$!
  wait "$SIM_PID" || true
  kill "$CONSUMER_PID" 2>/dev/null || true
  CONSUMER_PID=
done

# (b) the same stream into the daemon
start_sim daemon
APP="$WORK/app"
mkdir -p "$APP/Config"
printf '[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n' \
  > "$APP/Config/qbxXap.ini"
printf '[RFID]\r\nSerialIP=127.0.0.1\r\nRFIDPort=%s\r\n' "$PORT" > "$APP/Config/Tagvane.ini"
./build/tagvane --foreground --app-dir "$APP" > /dev/null 2> "$WORK/daemon.err" &
CONSUMER_PID=$!
wait "$SIM_PID" || true
kill "$CONSUMER_PID" 2>/dev/null || true
wait "$CONSUMER_PID" 2>/dev/null || true
CONSUMER_PID=

PROCESSED=$(grep -o 'closed after [0-9]* reports' "$APP/Data/Tagvane.txt" | awk '{print $3}')
echo "daemon processed ${PROCESSED:-?} reports"
SINK_LINE=$(cat "$WORK"/sink*.out | grep '^flood:' | sort -g -k10 | tail -1)
DAEMON_LINE=$(grep '^flood:' "$WORK/daemon.out")
echo "sink (best of 3): $SINK_LINE"
echo "daemon:           $DAEMON_LINE"
# The daemon's rate counts only what it had processed when the simulator had
# written its last byte (the socket buffers' tail is left out).
awk -v sink="$SINK_LINE" -v daemon="$DAEMON_LINE" -v done="${PROCESSED:-0}" 'BEGIN {
  split(sink, a, " "); split(daemon, b, " ");
  sink_bps = a[4] / a[6]; bytes_per_report = b[4] / b[2]; rps = done / b[6];
  printf "daemon: %.0f reports/s (%.0f bytes/s); raw stream: %.0f bytes/s; ratio %.2f\n",
         rps, rps * bytes_per_report, sink_bps, rps * bytes_per_report / sink_bps }'
