#!/usr/bin/env bash
# Builds the agent and its tests and runs every test twice: in the Release build, then in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer; in between, each fuzz target runs
# for a few seconds. Ends with ctest's summary.
set -euo pipefail
source "$(dirname "$0")/common.sh"
vorn_install_packages "${VORN_PACKAGES[@]}" chromium firefox-esr

vorn_build "$VORN_ROOT/build"
(cd "$VORN_ROOT/build" && ctest --output-on-failure -j "$(nproc)")

echo "== fuzzing smoke test: each target for a few seconds =="
bash "$VORN_ROOT/fuzz/run.sh" 5

echo "== again under AddressSanitizer and UndefinedBehaviorSanitizer =="
vorn_build "$VORN_ROOT/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON
cd "$VORN_ROOT/build-asan"
# Full unwinding lets the suppressions see which library a leak comes through.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:fast_unwind_on_malloc=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$VORN_ROOT/tests/lsan.supp:print_suppressions=0
ctest --output-on-failure -j "$(nproc)"
