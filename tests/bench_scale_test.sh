#!/usr/bin/env bash
# Checks the font set that bench/run.sh --scale builds, over the fixture fonts: each copy is a
# hard link that fontconfig lists as a font of its own, the private configuration lists the
# copies and nothing of the machine's, and odd folder names survive the configuration's XML.
# Usage: bench_scale_test.sh FIXTURE_DIR
set -euo pipefail

FIXTURES="$(realpath "$1")"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=bench/common.sh
source "$HERE/../bench/common.sh"

FAILED=0
fail() {
    echo "FAIL: $*"
    FAILED=1
}

# Hard links need the fixtures' filesystem: the scratch folder sits beside them.
SCRATCH="$(mktemp -d "$(dirname "$FIXTURES")/scale-test.XXXXXX")"
trap 'rm -rf "$SCRATCH"' EXIT

listed_files() { FONTCONFIG_FILE="$1" fc-list --format '%{file}\n' | sort -u; }

# The fixtures alone, under a configuration of their own: none of the machine's fonts leak in.
mkdir -p "$SCRATCH/cache"
write_fonts_conf "$SCRATCH/fixtures.conf" "$SCRATCH/cache" "$FIXTURES"
listed_files "$SCRATCH/fixtures.conf" >"$SCRATCH/fixtures.files"
ORIGINALS=$(wc -l <"$SCRATCH/fixtures.files")
[ "$ORIGINALS" -ge 10 ] || fail "only $ORIGINALS fixture files listed"
if grep -v "^$FIXTURES/" "$SCRATCH/fixtures.files" >"$SCRATCH/leaked"; then
    fail "listed outside the fixtures: $(head -n 3 "$SCRATCH/leaked" | tr '\n' ' ')"
fi

# Three copies, in a folder whose name needs escaping in XML.
ROOT="$SCRATCH/copies & <more>"
mkdir -p "$ROOT"
linked="$(link_font_copies "$ROOT" 3 <"$SCRATCH/fixtures.files")"
[ "$linked" = "$ORIGINALS" ] || fail "linked $linked files per copy, not $ORIGINALS"
write_fonts_conf "$SCRATCH/copies.conf" "$SCRATCH/cache" "$ROOT/1" "$ROOT/2" "$ROOT/3"
listed_files "$SCRATCH/copies.conf" >"$SCRATCH/copies.files"
COPIES=$(wc -l <"$SCRATCH/copies.files")
[ "$COPIES" -eq $((3 * ORIGINALS)) ] || fail "$COPIES files listed over 3 copies of $ORIGINALS"
while IFS= read -r original; do
    for copy in 1 2 3; do
        path="$ROOT/$copy$original"
        grep -qxF "$path" "$SCRATCH/copies.files" || fail "not listed: $path"
        [ "$path" -ef "$original" ] || fail "not a hard link of $original: $path"
    done
done <"$SCRATCH/fixtures.files"

# Across filesystems there can be no hard link: the helper must say so, not copy.
if [ -d /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d "$FIXTURES")" ]; then
    OTHER="$(mktemp -d /dev/shm/scale-test.XXXXXX)"
    if link_font_copies "$OTHER" 1 <"$SCRATCH/fixtures.files" >/dev/null 2>"$SCRATCH/err"; then
        fail "linking across filesystems succeeded"
    fi
    grep -q "another filesystem" "$SCRATCH/err" || fail "no reason given: $(cat "$SCRATCH/err")"
    rm -rf "$OTHER"
else
    echo "skipped: no second filesystem at /dev/shm"
fi

if [ "$FAILED" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$FAILED"
