#!/usr/bin/env bash
# The history over a real SQLite reading database: fills
# Data/Tagvane/qbxRFID.db with READINGS readings of tag 1A2B ("Keys"),
# spread over the last HOURS hours up to now (one every HOURS*3600/READINGS
# seconds), and a turn On or Off every 3.5 hours, in the daemon's own tables
# (tbl1A2B, tblTurns); starts the real daemon on it on loopback and times
# GET /api/history?tag=Keys&hours=HOURS and GET /history?tag=Keys&hours=HOURS
# over that window: the median, the fastest and the slowest of RUNS
# answers each (one fresh connection each, curl), with the answer's size.
# Goal: under 1 s for a million readings.
#   bench/history_db.sh [BUILD_DIR] [READINGS] [HOURS] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
READINGS="${2:-1000000}"
HOURS="${3:-168}"
RUNS="${4:-7}"
# shellcheck source=bench/bench_lib.sh
source bench/bench_lib.sh
bench_setup history
PORT="$(free_port)"
CODE="____________1A2B"
DB="$APP/Data/Tagvane/qbxRFID.db"
mkdir -p "$APP/Data/Tagvane"
printf '[RFID]\r\nHTTPPort=%s\r\nUseSQL=1\r\n[RFIDUnits]\r\n%s=%s~2~Keys~False~05/12/2026 10:00:00~Hall~~False~False~False~10~~Switch~True~1~1~87~87~42~42\r\n' \
  "$PORT" "$CODE" "$CODE" > "$APP/Config/Tagvane.ini"

# The daemon's SampleDate text: local "yyyy-mm-dd HH:MM:SS", the date alone
# at midnight exactly. The tables as the daemon makes them.
t0=$(date +%s.%N)
END="$(date +%s)"
START=$((END - HOURS * 3600))
sqlite3 "$DB" >/dev/null <<SQL
PRAGMA journal_mode=WAL;
CREATE TABLE IF NOT EXISTS tbl1A2B (ID INTEGER PRIMARY KEY AUTOINCREMENT,
  SampleDate TEXT NOT NULL, Strength integer NULL);
CREATE TABLE IF NOT EXISTS tblTurns (ID INTEGER PRIMARY KEY AUTOINCREMENT,
  SampleDate TEXT NOT NULL, DeviceCode varchar(16) NOT NULL, TagID varchar(4) NOT NULL,
  Status varchar(3) NOT NULL, Figure integer NULL, TagName text NULL, Location text NULL);
CREATE INDEX IF NOT EXISTS ixtblTurnsTag ON tblTurns (TagID, SampleDate);
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < $READINGS),
  d(i, t) AS (SELECT i, datetime($START + i * ($HOURS * 3600.0 / $READINGS), 'unixepoch',
                                 'localtime') FROM n)
INSERT INTO tbl1A2B (SampleDate, Strength)
  SELECT CASE WHEN substr(t, 12) = '00:00:00' THEN substr(t, 1, 10) ELSE t END,
         20 + (i * 37) % 80 FROM d;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE (i + 1) * 12600 < $HOURS * 3600),
  d(i, t) AS (SELECT i, datetime($START + 600 + i * 12600, 'unixepoch', 'localtime') FROM n)
INSERT INTO tblTurns (SampleDate, DeviceCode, TagID, Status, Figure, TagName, Location)
  SELECT CASE WHEN substr(t, 12) = '00:00:00' THEN substr(t, 1, 10) ELSE t END, '$CODE', '1A2B',
         CASE WHEN i % 2 = 0 THEN 'ON' ELSE 'OFF' END, CASE WHEN i % 2 = 0 THEN 100 ELSE 0 END,
         'Keys', 'Hall' FROM d;
COMMIT;
SQL
echo "filled $(sqlite3 "$DB" 'SELECT count(*) FROM tbl1A2B') readings and $(sqlite3 "$DB" 'SELECT count(*) FROM tblTurns') turns in $(python3 -c "import time; print(f'{time.time() - $t0:.1f}')") s ($(du -h "$DB" | cut -f1))"

"$BUILD/tagvane" --foreground --app-dir "$APP" 2>"$WORK/daemon.log" &
DAEMON=$!
BASE="http://127.0.0.1:$PORT"
for _ in $(seq 100); do curl -sf -o /dev/null "$BASE/api/history?tag=Keys&hours=1" && break; sleep 0.1; done

# timed PATH: median, fastest and slowest of RUNS answers, after one to warm up.
timed() {
  curl -sf -o "$WORK/answer" "$BASE$1"
  local size
  size="$(wc -c < "$WORK/answer")"
  for _ in $(seq "$RUNS"); do curl -sf -o /dev/null -w '%{time_total}\n' "$BASE$1"; done |
    python3 -c "import sys, statistics
v = sorted(float(x) * 1000 for x in sys.stdin)
print(f'median {statistics.median(v):.0f} ms (fastest {v[0]:.0f}, slowest {v[-1]:.0f}; $RUNS runs), $size bytes')"
}
echo "GET /api/history?tag=Keys&hours=$HOURS: $(timed "/api/history?tag=Keys&hours=$HOURS")"
python3 -c "import json, sys
j = json.load(open(sys.argv[1]))
print(f\"  readings_in_window {j['readings_in_window']}, returned {j['readings_returned']}, thinned {j['thinned']}, turns {len(j['turns'])}\")" "$WORK/answer"
echo "GET /history?tag=Keys&hours=$HOURS: $(timed "/history?tag=Keys&hours=$HOURS")"
echo "GET /api/history?tag=Keys&hours=1: $(timed "/api/history?tag=Keys&hours=1")"
