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

bash scripts/install_html.sh "$HOME_DIR" >/dev/null

echo "Demo application folder: $HOME_DIR"
echo "Status page: http://localhost:8017/status"
echo "Trace file: $HOME_DIR/Data/Tagvane.txt   (Ctrl-C stops the demo)"
exec ./build/tagvane --foreground --app-dir "$HOME_DIR"
