#!/usr/bin/env bash
# The JSON API on loopback, goals in brackets:
#  - 1,000 DeviceStatus calls over one keep-alive connection: median
#    [< 0.5 ms] and 99th percentile [< 2 ms], and the same with a new
#    connection per call (curl) for comparison;
#  - tagvane-ctl, a process per call;
#  - daemon CPU per call beside nginx serving the same bytes, both over
#    keep-alive [ratio < 1.5] and with "Connection: close";
#  - a spawned job making 100 calls, from Spawn until reaped [< 300 ms];
#  - SIGTERM with 50 open event streams: time to exit and the exit code
#    [0 within 2 s].
# The stream's decision-to-reader latency with 50 readers is
# build/bench/api_events_bench.
#   bench/api_latency.sh [BUILD_DIR] [CALLS] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
CALLS="${2:-1000}"
SECS="${3:-10}"
# shellcheck source=bench/bench_lib.sh
source bench/bench_lib.sh
bench_setup api
P_TAG="$(free_port)"
P_NGX="$(free_port)"
CODE="____________1A2B"

mkdir -p "$APP/Config" "$APP/Scripts" "$WEB/root/api"
# Spawn runs code, so it needs the token, from loopback too.
TOKEN="$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')"
printf '[RFID]\r\nHTTPPort=%s\r\nAPIToken=%s\r\n[RFIDUnits]\r\n%s=%s~2~Keys~False~05/12/2026 10:00:00~Hall~~False~False~False~10~~Switch~True~1~1~87~87~42~42\r\n' \
  "$P_TAG" "$TOKEN" "$CODE" "$CODE" > "$APP/Config/Tagvane.ini"
cat > "$APP/Scripts/job.txt" <<'LUA'
function Hundred(code)
  for i = 1, 99 do xap.DeviceStatus(code) end
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
print(f"median {statistics.median(v):.3f} ms, p99 {p99:.3f} ms ({len(v)} calls)")
PY
}

echo "answer bytes: $(wc -c < "$WEB/root/api/DeviceStatus")"
python3 - "$P_TAG" "$CODE" "$CALLS" > "$WORK/keepalive.txt" <<'PY'
import http.client, sys, time
port, code, calls = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
c = http.client.HTTPConnection("127.0.0.1", port)
for i in range(calls + 20):
    t = time.perf_counter()
    c.request("GET", "/api/DeviceStatus?sDC=" + code)
    r = c.getresponse()
    r.read()
    if i >= 20:  # the first calls warm up
        print(time.perf_counter() - t)
PY
echo "one keep-alive connection: $(percentiles "$WORK/keepalive.txt")"
for _ in $(seq 200); do
  curl -s -o /dev/null -w '%{time_total}\n' "$URL"
done > "$WORK/curl.txt"
echo "curl, one connection per call: $(percentiles "$WORK/curl.txt")"
for _ in $(seq 50); do
  python3 -c 'import subprocess, sys, time
t = time.perf_counter()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(time.perf_counter() - t)' "$BUILD/tagvane-ctl" --url "http://127.0.0.1:$P_TAG" DeviceStatus "$CODE"
done > "$WORK/ctl.txt"
echo "tagvane-ctl, a process per call: $(percentiles "$WORK/ctl.txt")"

NGX_PIDS="$(nginx_pids "$WEB")"
printf '| CPU per call | tagvane µs | nginx µs (same bytes, static) | ratio |\n|---|---|---|---|\n'
# shellcheck disable=SC2086
K_T="$(cpu_per_request_keepalive "$SECS" "$URL" "$DAEMON")"
# shellcheck disable=SC2086
K_N="$(cpu_per_request_keepalive "$SECS" "http://127.0.0.1:$P_NGX/api/DeviceStatus" $NGX_PIDS)"
printf '| DeviceStatus, keep-alive | %s | %s | %s |\n' "$K_T" "$K_N" "$(ratio "$K_T" "$K_N")"
# shellcheck disable=SC2086
C_T="$(cpu_per_request "$SECS" "$URL" "$DAEMON")"
# shellcheck disable=SC2086
C_N="$(cpu_per_request "$SECS" "http://127.0.0.1:$P_NGX/api/DeviceStatus" $NGX_PIDS)"
printf '| DeviceStatus, Connection: close | %s | %s | %s |\n' "$C_T" "$C_N" "$(ratio "$C_T" "$C_N")"

# A spawned job making 100 calls: from the Spawn call until the job has
# exited and been reaped (its /proc entry is gone).
python3 - "$P_TAG" "$CODE" "$TOKEN" <<'PY'
import http.client, json, os, sys, time
port, code, token = int(sys.argv[1]), sys.argv[2], sys.argv[3]
c = http.client.HTTPConnection("127.0.0.1", port)
for run in range(1, 6):
    t = time.perf_counter()
    c.request("POST", "/api/Spawn", body=json.dumps(["job.txt", "Hundred", code]),
              headers={"Authorization": "Bearer " + token})
    pid = json.loads(c.getresponse().read())["result"]["ProcessID"]
    while os.path.exists(f"/proc/{pid}"):
        time.sleep(0.001)
    print(f"spawned job with 100 calls, run {run}: {(time.perf_counter() - t) * 1000:.0f} ms")
PY

# SIGTERM under 50 open event streams.
python3 - "$P_TAG" "$DAEMON" <<'PY'
import os, signal, socket, sys, time
port, pid = int(sys.argv[1]), int(sys.argv[2])
streams = []
for _ in range(50):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /api/events HTTP/1.1\r\n\r\n")
    streams.append(s)
for s in streams:
    s.recv(4096)
t = time.perf_counter()
os.kill(pid, signal.SIGTERM)
while os.path.exists(f"/proc/{pid}") and open(f"/proc/{pid}/stat").read().split()[2] != "Z":
    time.sleep(0.001)
print(f"SIGTERM with 50 open streams: gone after {(time.perf_counter() - t) * 1000:.0f} ms")
PY
wait "$DAEMON" && echo "exit code 0" || echo "exit code $?"
DAEMON=""
