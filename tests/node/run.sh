#!/usr/bin/env bash
# Runs the Node tests of web/vorn-fonts.js against the agent binary $1 with the fixture
# fonts in $2. Exits 77 (CTest's skip code for this test) when Node is not installed.
set -euo pipefail
node="${VORN_NODE:-/usr/bin/node}"
if [ ! -x "$node" ]; then
    echo "SKIP: $node is not installed (Debian package: nodejs); the Node tests of" \
         "web/vorn-fonts.js did not run."
    exit 77
fi
export VORN_AGENT="$1" VORN_FIXTURES="$2"
exec "$node" --test "$(dirname "$0")/vorn-fonts.test.mjs"
