#!/usr/bin/env bash
# Installs every Debian package the build, the demo and the tests need.
# Idempotent: safe to run again; it only adds what is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev clang-format
  libasio-dev libfmt-dev liblua5.4-dev libsqlite3-dev libpq-dev
  nlohmann-json3-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  socat curl wrk nginx-light iproute2 procps time
  postgresql sqlite3
  libsystemd-dev systemd dpkg-dev adduser man-db lintian
  mosquitto mosquitto-clients libmosquitto-dev libcrypt-dev prometheus
  chromium
)
# Node.js and npm drive the browser tests; a machine that already has them
# (from another source) keeps its own.
command -v node >/dev/null && command -v npm >/dev/null || PACKAGES+=(nodejs npm)

export DEBIAN_FRONTEND=noninteractive
# A package run cut short (a machine image taken mid-install, a lost session)
# leaves dpkg refusing every install until it is finished; finish it first.
if [[ -n "$(dpkg --audit 2>/dev/null)" ]] || ! apt-get check >/dev/null 2>&1; then
  dpkg --configure -a
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The browser tests drive the system Chromium through playwright-core.
if [[ "${TAGVANE_SKIP_NPM:-0}" != 1 && -f tests/browser/package.json ]]; then
  (cd tests/browser && { [[ -d node_modules/playwright-core ]] || npm install --no-audit --no-fund; })
fi
