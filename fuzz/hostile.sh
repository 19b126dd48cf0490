#!/usr/bin/env bash
# Times face description on corrupt, truncated and absurd font files (fuzz/make_hostile.py):
# createTypeface and the family's JSON in an optimised build, and fontconfig's own scan of the
# file (fc-scan), which the catalogue route also pays for. Each file gets LIMIT seconds
# (default 120) and 8 GiB of address space; a file that runs out of either is reported so.
#
#   fuzz/hostile.sh [LIMIT [NAME-PATTERN]]     e.g. fuzz/hostile.sh 60 'ttc-*'
set -euo pipefail

LIMIT="${1:-120}"
PATTERN="${2:-*}"
case "$LIMIT" in
    '' | *[!0-9]*) echo "usage: $0 [LIMIT [NAME-PATTERN]]" >&2; exit 2 ;;
esac

source "$(dirname "$0")/../scripts/common.sh"
vorn_install_packages g++ libevent-dev libfontconfig-dev libfreetype-dev libharfbuzz-dev \
    nlohmann-json3-dev pkg-config python3-fonttools fontconfig

BUILD="$VORN_ROOT/build-fuzz"
mkdir -p "$BUILD"
read -r -a PKG_CFLAGS <<<"$(pkg-config --cflags fontconfig freetype2 harfbuzz-subset libevent)"
read -r -a PKG_LIBS <<<"$(pkg-config --libs fontconfig freetype2 libevent)"
# The agent's own Release flags, so that the times are the ones it would take.
"${CXX:-g++}" -std=c++17 -O3 -DNDEBUG -I"$VORN_ROOT/include" "${PKG_CFLAGS[@]}" \
    "$VORN_ROOT/fuzz/hostile_time.cpp" "$VORN_ROOT/src/FontManagerLinux.cpp" \
    "$VORN_ROOT/src/util.cpp" "${PKG_LIBS[@]}" -o "$BUILD/hostile_time"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vorn-hostile.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
/usr/bin/python3 "$VORN_ROOT/fuzz/make_hostile.py" "$WORK"
# fc-scan reads the configuration; an empty private one keeps the machine's out.
printf '<?xml version="1.0"?>\n<fontconfig><cachedir>%s</cachedir></fontconfig>\n' \
    "$WORK/cache" >"$WORK/fonts.conf"
export FONTCONFIG_FILE="$WORK/fonts.conf"

# Runs "$@" with the time and memory limits; prints its standard error, or why it stopped.
limited() {
    local status=0 out
    out=$( (ulimit -v $((8 * 1024 * 1024)) && exec timeout --kill-after=5 "$LIMIT" "$@") \
        2>&1 >/dev/null) || status=$?
    case "$status" in
        0) printf '%s' "$out" ;;
        124 | 137) printf 'TIMEOUT(>%ss)' "$LIMIT" ;;
        *) printf 'FAILED(status %s): %s' "$status" "$(printf '%s' "$out" | tail -n 1)" ;;
    esac
}

printf 'file\tnum_faces\tdescribe_ms\tfaces\taxes\tjson_ms\tjson_bytes\tjson_error\tpeak_MiB\tfc_scan_s\tfc_patterns\n'
while IFS= read -r -d '' font; do
    line=$(limited "$BUILD/hostile_time" "$font")
    case "$line" in
        TIMEOUT* | FAILED*) line="$(basename "$font")	$line" ;;
    esac
    start=$(date +%s%N)
    patterns=$( (ulimit -v $((8 * 1024 * 1024)) &&
        exec timeout --kill-after=5 "$LIMIT" fc-scan --format '%{file}\n' "$font") 2>/dev/null |
        wc -l) || true
    scan_ms=$((($(date +%s%N) - start) / 1000000))
    printf '%s\t%d.%03d\t%s\n' "$line" $((scan_ms / 1000)) $((scan_ms % 1000)) "$patterns"
done < <(find "$WORK/hostile" -type f -name "$PATTERN" -print0 | sort -z)
