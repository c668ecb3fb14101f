#!/usr/bin/env bash
# Builds Tagvane and runs the whole test suite (what CI runs).
# Network tests run inside a private network namespace when one can be made,
# so nothing can leave the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
if [[ -z "${TAGVANE_IN_NETNS:-}" ]] && command -v unshare >/dev/null &&
   unshare --net true 2>/dev/null; then
  echo "Running the tests in a private network namespace (loopback only)."
  exec unshare --net env TAGVANE_IN_NETNS=1 bash -c \
    'ip link set lo up && ctest --test-dir build --output-on-failure -j2'
fi
ctest --test-dir build --output-on-failure -j2
