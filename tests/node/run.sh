#!/usr/bin/env bash
# Runs the Node tests of web/vorn-fonts.js against the agent binary $1 with the fixture
# fonts in $2, and those of the picker's modules that need no browser. Exits 77 (CTest's
# skip code for this test) when Node is not installed.
set -euo pipefail
node="${VORN_NODE:-/usr/bin/node}"
if [ ! -x "$node" ]; then
    echo "SKIP: $node is not installed (Debian package: nodejs); the Node tests of" \
         "web/vorn-fonts.js did not run."
    exit 77
fi
export VORN_AGENT="$1" VORN_FIXTURES="$2"
here="$(dirname "$0")"
exec "$node" --test "$here/vorn-fonts.test.mjs" "$here/picker-favourites.test.mjs"
