#!/usr/bin/env bash
# The JSON API on loopback: latency of one call from tagvane-ctl and from a
# curl loop without keep-alive (median and 99th percentile), the daemon's
# CPU per call beside nginx's CPU per request for a static file of the same
# bytes (same run), and the wall time of a spawned job that makes 20 calls.
#   bench/api_latency.sh [BUILD_DIR] [CALLS] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
CALLS="${2:-200}"
SECS="${3:-10}"
# shellcheck source=bench/bench_lib.sh
source bench/bench_lib.sh
bench_setup api
P_TAG="$(free_port)"
P_NGX="$(free_port)"
CODE="____________1A2B"

mkdir -p "$APP/Config" "$APP/Scripts" "$WEB/root/api"
printf '[RFID]\r\nHTTPPort=%s\r\n[RFIDUnits]\r\n%s=%s~2~Keys~False~05/12/2026 10:00:00~Hall~~False~False~False~10~~Switch~True~1~1~87~87~42~42\r\n' \
  "$P_TAG" "$CODE" "$CODE" > "$APP/Config/Tagvane.ini"
cat > "$APP/Scripts/job.txt" <<'LUA'
function Twenty(code)
  for i = 1, 19 do xap.DeviceStatus(code) end
  xap.WriteLog("Bench", "job done")
end
LUA

"$BUILD/tagvane" --foreground --app-dir "$APP" 2>"$WORK/daemon.log" &
DAEMON=$!
URL="http://127.0.0.1:$P_TAG/api/DeviceStatus?sDC=$CODE"
for _ in $(seq 100); do curl -sf -o /dev/null "$URL" && break; sleep 0.1; done

# The same answer bytes as a static file for nginx.
curl -s "$URL" > "$WEB/root/api/DeviceStatus"
start_nginx "$WEB" "$P_NGX"

# percentiles FILE: "median X ms, p99 Y ms" of the seconds listed in FILE.
percentiles() {
  python3 - "$1" <<'PY'
import sys, statistics
v = sorted(float(x) * 1000 for x in open(sys.argv[1]) if x.strip())
p99 = v[min(len(v) - 1, int(round(0.99 * (len(v) - 1))))]
print(f"median {statistics.median(v):.1f} ms, p99 {p99:.1f} ms ({len(v)} calls)")
PY
}

echo "answer bytes: $(wc -c < "$WEB/root/api/DeviceStatus")"
for _ in $(seq "$CALLS"); do
  curl -s -o /dev/null -w '%{time_total}\n' "$URL"
done > "$WORK/curl.txt"
echo "curl, one connection per call: $(percentiles "$WORK/curl.txt")"
for _ in $(seq "$CALLS"); do
  python3 -c 'import subprocess, sys, time
t = time.perf_counter()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(time.perf_counter() - t)' "$BUILD/tagvane-ctl" --url "http://127.0.0.1:$P_TAG" DeviceStatus "$CODE"
done > "$WORK/ctl.txt"
echo "tagvane-ctl, a process per call: $(percentiles "$WORK/ctl.txt")"

# shellcheck disable=SC2046
C_T="$(cpu_per_request "$SECS" "$URL" "$DAEMON")"
# shellcheck disable=SC2046
C_N="$(cpu_per_request "$SECS" "http://127.0.0.1:$P_NGX/api/DeviceStatus" $(nginx_pids "$WEB"))"
printf '| CPU per call | tagvane µs | nginx µs (same bytes, static) | ratio |\n|---|---|---|---|\n'
printf '| DeviceStatus | %s | %s | %s |\n' "$C_T" "$C_N" "$(ratio "$C_T" "$C_N")"

# A spawned job making 20 calls: from the Spawn call until the job has
# exited and been reaped (its /proc entry is gone).
for run in 1 2 3; do
  START="$(date +%s.%N)"
  PID="$(curl -s -d "[\"job.txt\", \"Twenty\", \"$CODE\"]" "http://127.0.0.1:$P_TAG/api/Spawn" |
         python3 -c 'import json, sys; print(json.load(sys.stdin)["result"]["ProcessID"])')"
  while [[ -e "/proc/$PID" ]]; do sleep 0.005; done
  END="$(date +%s.%N)"
  python3 -c "print(f'spawned job with 20 calls, run $run: {($END - $START) * 1000:.0f} ms')"
done
