#!/usr/bin/env bash
# Builds the agent and its tests and runs every test; ends with ctest's summary.
set -euo pipefail
source "$(dirname "$0")/common.sh"
vorn_install_packages "${VORN_PACKAGES[@]}"
vorn_build "$VORN_ROOT/build"
cd "$VORN_ROOT/build"
ctest --output-on-failure -j "$(nproc)"
