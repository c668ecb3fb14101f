#!/usr/bin/env bash
# Load test of the built-in web server with wrk, side by side with Debian's
# nginx serving the same bytes as static files, both on loopback. The
# daemon closes every connection after its answer, so both are measured
# with "Connection: close". Also reports the daemon's memory before and
# after 100,000 requests, and the CPU each server spends per request on
# the same 2 KB image (from /proc/PID/stat before and after a wrk run).
#   bench/web_load.sh [BUILD_DIR] [SECONDS] [REQUESTS]
# (REQUESTS: how many more requests the memory check makes, default
# 100,000; at the 50 ms dispatch that takes about ten minutes.)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
SECS="${2:-10}"
REQUESTS="${3:-100000}"
# shellcheck source=bench/bench_lib.sh
source bench/bench_lib.sh
bench_setup load
P_TAG="$(free_port)"
P_NGX="$(free_port)"

mkdir -p "$APP/Config" "$WEB/root/Tagvane/images"
python3 - "$APP/Config/Tagvane.ini" "$P_TAG" <<'PY'
import sys
path, port = sys.argv[1], sys.argv[2]
lines = ["[RFID]", "HTTPPort=" + port, "[RFIDUnits]"]
for i in range(1000):
    code = "____________%04X" % i
    f = [code, "2", "tag_%04X" % i, "False", "05/12/2026 10:00:00", "Room %d" % (i % 17), "",
         "False", "False", "False", "10", "", "Switch", "True" if i % 3 else "False",
         "1", "1", "87", "87", "42", "42"]
    lines.append(code + "=" + "~".join(f))
open(path, "w", newline="").write("\r\n".join(lines) + "\r\n")
PY
bash scripts/install_html.sh "$APP" >/dev/null
head -c 2048 /dev/urandom > "$APP/HTML/Tagvane/images/bench2k.gif"
cp "$APP/HTML/Tagvane/images/bench2k.gif" "$WEB/root/Tagvane/images/"

"$BUILD/tagvane" --foreground --app-dir "$APP" 2>"$WORK/daemon.log" &
DAEMON=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$P_TAG/favicon.ico" && break; sleep 0.1; done
curl -s "http://127.0.0.1:$P_TAG/status" > "$WEB/root/status"

start_nginx "$WEB" "$P_NGX"

rate() {  # url -> requests per second
  wrk -t1 -c8 -d"${SECS}s" -H "Connection: close" "$1" | awk '/Requests\/sec/ {print $2}'
}
rss() { awk '/VmRSS/ {print $2}' "/proc/$DAEMON/status"; }

echo "page bytes: $(wc -c < "$WEB/root/status") (1,000 tags); image bytes: 2048"
S_T="$(rate "http://127.0.0.1:$P_TAG/status")"
S_N="$(rate "http://127.0.0.1:$P_NGX/status")"
I_T="$(rate "http://127.0.0.1:$P_TAG/Tagvane/images/bench2k.gif")"
I_N="$(rate "http://127.0.0.1:$P_NGX/Tagvane/images/bench2k.gif")"
printf '| request | tagvane req/s | nginx req/s | ratio |\n|---|---|---|---|\n'
printf '| /status, 1,000 tags | %s | %s | %s |\n' "$S_T" "$S_N" "$(ratio "$S_T" "$S_N")"
printf '| 2 KB image | %s | %s | %s |\n' "$I_T" "$I_N" "$(ratio "$I_T" "$I_N")"

NGX_PIDS="$(nginx_pids "$WEB")"
# shellcheck disable=SC2086
C_T="$(cpu_per_request "$SECS" "http://127.0.0.1:$P_TAG/Tagvane/images/bench2k.gif" "$DAEMON")"
# shellcheck disable=SC2086
C_N="$(cpu_per_request "$SECS" "http://127.0.0.1:$P_NGX/Tagvane/images/bench2k.gif" $NGX_PIDS)"
printf '| 2 KB image, CPU µs per request | %s | %s | %s |\n' "$C_T" "$C_N" "$(ratio "$C_T" "$C_N")"

# Memory: warm up, then REQUESTS more requests of the image.
BEFORE="$(rss)"
DONE=0
while (( DONE < REQUESTS )); do
  N="$(wrk -t1 -c8 -d5s -H "Connection: close" "http://127.0.0.1:$P_TAG/Tagvane/images/bench2k.gif" |
       awk '/requests in/ {print $1}')"
  DONE=$((DONE + N))
done
AFTER="$(rss)"
echo "daemon RSS before: ${BEFORE} kB, after ${DONE} more requests: ${AFTER} kB"

# A flood of more connections than the server has sockets, then idle: the
# queue must not outgrow its bound, and memory must come back.
wrk -t2 -c200 -d"${SECS}s" "http://127.0.0.1:$P_TAG/status" >/dev/null || true
sleep 2
echo "daemon RSS after ${SECS}s of wrk -c200 on /status and 2 s idle: $(rss) kB"
