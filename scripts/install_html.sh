#!/usr/bin/env bash
# Installs the default web assets (html/ of the source tree) into the HTML
# folder of an application folder. Files already there are kept, so a site's
# own style sheet or help page survives a reinstall.
#   scripts/install_html.sh APP_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
APP_DIR="${1:?usage: $0 APP_DIR}"
mkdir -p "$APP_DIR/HTML"
cp -R -n html/. "$APP_DIR/HTML/"
echo "Web assets installed in $APP_DIR/HTML"
