#!/usr/bin/env bash
# Builds the agent and runs it in the foreground; arguments are the agent's options.
set -euo pipefail
source "$(dirname "$0")/common.sh"
vorn_install_packages "${VORN_PACKAGES[@]}"
vorn_build "$VORN_ROOT/build" >&2
exec "$VORN_ROOT/build/vorn-font-agent" "$@"
