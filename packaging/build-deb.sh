#!/usr/bin/env bash
# Builds the Debian package into build-deb/ and prints its path; install it with
# `apt install ./build-deb/vorn-font-agent_*.deb` (or dpkg -i).
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
# dpkg-dev brings dpkg-shlibdeps, which derives the package's Depends from the binary.
vorn_install_packages "${VORN_PACKAGES[@]}" dpkg-dev
dir="$VORN_ROOT/build-deb"
vorn_build "$dir" -DVORN_TESTS=OFF
cd "$dir"
rm -f ./*.deb
cpack -G DEB >&2
ls -1 "$dir"/*.deb
