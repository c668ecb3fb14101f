#!/usr/bin/env bash
# Start-up: wall time from exec to the "ready" line with an empty application
# folder, and the resident memory (maximum RSS from /usr/bin/time -v).
# Usage: bench/startup.sh [build-dir] [runs]
set -euo pipefail
BUILD="${1:-build}"
RUNS="${2:-20}"
BIN="$BUILD/tagvane"
python3 - "$BIN" "$RUNS" <<'PY'
import subprocess, sys, tempfile, time, signal, statistics
binary, runs = sys.argv[1], int(sys.argv[2])
times = []
for _ in range(runs):
    with tempfile.TemporaryDirectory() as d:
        t0 = time.perf_counter()
        p = subprocess.Popen([binary, "--foreground", "--app-dir", d], stderr=subprocess.PIPE)
        for line in p.stderr:
            if b" ready, application folder " in line:
                break
        times.append((time.perf_counter() - t0) * 1000)
        p.send_signal(signal.SIGTERM)
        p.wait()
print(f"exec to ready: median {statistics.median(times):.1f} ms, best {min(times):.1f} ms over {runs} runs")
PY

dir=$(mktemp -d)
/usr/bin/time -v "$BIN" --foreground --app-dir "$dir" 2>"$dir/err" &
tpid=$!
until grep -q " ready, application folder " "$dir/err" 2>/dev/null; do sleep 0.001; done
sleep 1
pkill -TERM -P "$tpid" || true
wait "$tpid" || true
grep -E "Maximum resident set size" "$dir/err"
rm -rf "$dir"
