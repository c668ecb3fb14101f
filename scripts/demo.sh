#!/usr/bin/env bash
# The demo: runs the daemon in the foreground on a demo application folder
# (build/demo-home) until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
HOME_DIR="${TAGVANE_DEMO_HOME:-$PWD/build/demo-home}"
mkdir -p "$HOME_DIR/Config"

# Loopback only: the demo never sends a datagram off this machine.
if [[ ! -f "$HOME_DIR/Config/qbxXap.ini" ]]; then
  printf '[INTERFACE]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n' \
    > "$HOME_DIR/Config/qbxXap.ini"
fi

# The demo's own xAP hub, on loopback only. When another hub already holds
# port 3639 that one serves the demo instead.
./build/tagvane-hub --bind 127.0.0.1 >"$HOME_DIR/hub.log" 2>&1 &
HUB_PID=$!
trap 'kill "$HUB_PID" 2>/dev/null || true' EXIT

echo "Demo application folder: $HOME_DIR"
echo "Trace file: $HOME_DIR/Data/Tagvane.txt   (Ctrl-C stops the demo)"
echo "xAP hub log: $HOME_DIR/hub.log; watch the BSC events with: build/tagvane-xap-listen"
./build/tagvane --foreground --app-dir "$HOME_DIR"
