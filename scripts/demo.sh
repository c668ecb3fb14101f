#!/usr/bin/env bash
# The demo: runs the daemon in the foreground on a demo application folder
# (build/demo-home) until Ctrl-C, fed by the receiver simulator acting as a
# serial-to-network bridge on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
# TAGVANE_BUILD_DIR: the build to run (default build); TAGVANE_DEMO_PORT: the
# HTTP port written into a new demo folder (default 8017).
BUILD="${TAGVANE_BUILD_DIR:-build}"
HOME_DIR="${TAGVANE_DEMO_HOME:-$PWD/build/demo-home}"
mkdir -p "$HOME_DIR/Config" "$HOME_DIR/Data"

# Loopback only: the demo never sends a datagram off this machine.
if [[ ! -f "$HOME_DIR/Config/qbxXap.ini" ]]; then
  printf '[INTERFACE]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n' \
    > "$HOME_DIR/Config/qbxXap.ini"
fi

# The demo's own xAP hub, on loopback only. When another hub already holds
# port 3639 that one serves the demo instead.
"$BUILD/tagvane-hub" --bind 127.0.0.1 >"$HOME_DIR/hub.log" 2>&1 &
HUB_PID=$!

# The receiver: Keys always present, Wallet present 40 s then silent 90 s,
# and a stranger's tag that nobody has accepted yet.
rm -f "$HOME_DIR/Data/sim.port"
"$BUILD/tagvane-receiver-sim" --listen 0 --port-file "$HOME_DIR/Data/sim.port" \
  --tag 1A2B:87 --tag 3C4D:62:40:90 --tag 5E6F:45:30:60 \
  --log "$HOME_DIR/Data/sim.log" > /dev/null 2>&1 &
SIM_PID=$!
trap 'kill "$SIM_PID" "$HUB_PID" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [[ -s "$HOME_DIR/Data/sim.port" ]] && break; sleep 0.05; done
SIM_PORT=$(cat "$HOME_DIR/Data/sim.port")

if [[ ! -f "$HOME_DIR/Config/Tagvane.ini" ]]; then
  printf '%s\r\n' '[RFID]' 'SerialIP=127.0.0.1' "RFIDPort=$SIM_PORT" 'DebugLog=False' \
    ${TAGVANE_DEMO_PORT:+"HTTPPort=$TAGVANE_DEMO_PORT"} \
    'ReceiverLocation=Home' 'UseSQL=1' '[RFIDUnits]' \
    '________Home1A2B=________Home1A2B~3~Keys~False~~Hall~01~False~False~False~10~~Switch~True~1~1~50~50~0~0' \
    '________Home3C4D=________Home3C4D~3~Wallet~False~~Kitchen~02~False~False~False~10~~Switch~True~1~1~50~50~0~0' \
    > "$HOME_DIR/Config/Tagvane.ini"
else
  sed -i "s/^RFIDPort=.*/RFIDPort=$SIM_PORT\r/I" "$HOME_DIR/Config/Tagvane.ini"
fi

bash scripts/install_html.sh "$HOME_DIR" >/dev/null

# The user's script: Main runs with a tag's name whenever the tag turns On
# or Off (and with "" for the periodic call when PeriodicScriptInterval is
# set). Edit it and press "Read Script" on the status page to reload it.
mkdir -p "$HOME_DIR/Scripts"
if [[ ! -f "$HOME_DIR/Scripts/Tagvane.txt" ]]; then
  cat > "$HOME_DIR/Scripts/Tagvane.txt" <<'LUA'
-- Tagvane's main script (Lua 5.4). Main(name) runs for every event.
function Main(name)
  if name == "" then return end            -- the periodic call
  local state = Request(name)              -- nil for a name nobody knows
  if state == nil then return end
  -- state.value is "ON" or "OFF", state.lastchange the time of the change
  WriteLog("Tag", name .. " is " .. state.value .. " since " .. state.lastchange)
end
LUA
fi

HTTP_PORT=$(sed -n 's/^HTTPPort=\([0-9]*\).*/\1/Ip' "$HOME_DIR/Config/Tagvane.ini" | head -1)
HTTP_PORT=${HTTP_PORT:-8017}
echo "Demo application folder: $HOME_DIR"
echo "Status page:  http://localhost:$HTTP_PORT/status"
echo "Data monitor: http://localhost:$HTTP_PORT/monitor   (the receiver's raw traffic, live)"
echo "Setup page:   http://localhost:$HTTP_PORT/setup"
echo "Receiver simulator on 127.0.0.1:$SIM_PORT (log: $HOME_DIR/Data/sim.log)"
echo "Readings of the accepted tags: $HOME_DIR/Data/Tagvane/qbxRFID.db, for example"
echo "  sqlite3 $HOME_DIR/Data/Tagvane/qbxRFID.db 'SELECT * FROM tbl1A2B ORDER BY ID DESC LIMIT 5'"
echo "Below: one line per event-log entry, and each tag turning ON or OFF."
echo "Set DebugLog=True (on the setup page) for every report in $HOME_DIR/Data/Tagvane.txt."
echo "xAP hub log: $HOME_DIR/hub.log; watch the BSC events with:"
echo "  build/tagvane-xap-listen --class xapbsc.event"
echo "The script's lines: build/tagvane-xap-listen --class Homeseer.Event"
echo "Ctrl-C stops the demo."
"$BUILD/tagvane" --foreground --app-dir "$HOME_DIR"
