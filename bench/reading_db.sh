#!/usr/bin/env bash
# Reading database figures: starts a private PostgreSQL server (Unix socket
# in a temporary folder only), then runs build/bench/reading_db_bench, which
# measures the daemon's path against the sqlite3 shell and psql \copy side by
# side. Usage: bench/reading_db.sh [benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=/usr/lib/postgresql/15/bin
TMP=$(mktemp -d /tmp/tagvane-pgbench-XXXXXX)
AS=()
if [[ $(id -u) == 0 ]]; then chown postgres "$TMP"; AS=(runuser -u postgres --); fi
cleanup() { "${AS[@]}" "$BIN/pg_ctl" -D "$TMP/data" -m fast -w -s stop >/dev/null 2>&1 || true; rm -rf "$TMP"; }
trap cleanup EXIT
"${AS[@]}" "$BIN/initdb" -D "$TMP/data" -U tagvane -A trust -E UTF8 >/dev/null
"${AS[@]}" "$BIN/pg_ctl" -D "$TMP/data" -l "$TMP/server.log" -w -s \
  -o "-k $TMP -p 5434 -c listen_addresses=" start
export TAGVANE_PG_SOURCE="host=$TMP port=5434 user=tagvane"
./build/bench/reading_db_bench "$@"
