#!/usr/bin/env bash
# Configures and builds Tagvane in build/ (Release with debug info).
# ccache is used when it is installed (it only speeds up rebuilds).
set -euo pipefail
cd "$(dirname "$0")/.."
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAGVANE_WERROR=ON "${launcher[@]}" "$@" >/dev/null
ninja -C build
