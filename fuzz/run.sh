#!/usr/bin/env bash
# Builds the libFuzzer targets, seeds their corpora from the fixture fonts and runs each target
# for SECONDS seconds; prints what each did and exits non-zero when any target failed.
#
#   fuzz/run.sh [SECONDS] [--coverage]        (default 60 seconds)
#
# --coverage then runs each target's corpus once through a build instrumented for source
# coverage and prints llvm-cov's line and branch figures for the code that target is about.
#
# Everything generated goes to build-fuzz/ (git-ignored): binaries, the corpora that grow from
# run to run, logs, and crash artifacts (build-fuzz/artifacts/TARGET-crash-...). Reproduce a
# failure with: FONTCONFIG_FILE=build-fuzz/env/fonts.conf build-fuzz/fuzz_TARGET ARTIFACT
set -euo pipefail

RUN_SECONDS="${1:-60}"
COVERAGE="${2:-}"
case "$RUN_SECONDS" in
    '' | *[!0-9]*) echo "usage: $0 [SECONDS] [--coverage]" >&2; exit 2 ;;
esac
case "$COVERAGE" in
    '' | --coverage) ;;
    *) echo "usage: $0 [SECONDS] [--coverage]" >&2; exit 2 ;;
esac

source "$(dirname "$0")/../scripts/common.sh"
vorn_install_packages clang libclang-rt-14-dev "${VORN_PACKAGES[@]}"

FUZZ_DIR="$VORN_ROOT/fuzz"
BUILD="$VORN_ROOT/build-fuzz"
CXX="${CXX:-clang++}"
TARGETS=(transcode face request webface)

mkdir -p "$BUILD/corpus" "$BUILD/artifacts" "$BUILD/logs"

# --- Build ---------------------------------------------------------------------------------

# Builds the targets with CMake into $1, the library compiled with the extra flags that follow.
build_targets() {
    local out="$1"
    shift
    CXX="$CXX" cmake -S "$VORN_ROOT" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_FUZZ=ON \
        -DVORN_TESTS=OFF -DCMAKE_CXX_FLAGS="-fno-omit-frame-pointer -fsanitize=fuzzer-no-link $*" \
        >/dev/null
    cmake --build "$out" -j "$(nproc)" --target "${TARGETS[@]/#/fuzz_}" >&2
}
build_targets "$BUILD/cmake" -fsanitize=address,undefined -fno-sanitize-recover=undefined
for target in "${TARGETS[@]}"; do ln -sf "$BUILD/cmake/fuzz/fuzz_$target" "$BUILD/fuzz_$target"; done

# --- Seeds and a private font configuration ----------------------------------------------------

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vorn-fuzz.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
# The fonts fuzz_request serves stay in build-fuzz/env at a fixed path, so that the corpus's
# paths keep meaning something from run to run and a failure can be replayed after the run.
ENV_DIR="$BUILD/env"
rm -rf "$ENV_DIR"
FONTS="$ENV_DIR/fonts"
mkdir -p "$FONTS"
/usr/bin/python3 "$VORN_ROOT/tests/fonts/make_fixtures.py" "$FONTS" >/dev/null

# Listed fonts whose names a header must not carry as they are, for the file route.
ODD="$FONTS/odd"
mkdir -p "$ODD"
for name in 'Quote"Name.ttf' 'Back\Slash.ttf' $'Line\nBreak.ttf' $'Carriage\rReturn.ttf' \
    $'Latin\xe9.ttf' $'Bad\xff\xfeUtf8.ttf' 'Space Name.ttf' 'Percent%2F.ttf' \
    'Amp&file=x.ttf' 'Semi;colon.ttf'; do
    cp "$FONTS/static/ExampleSans-Regular.ttf" "$ODD/$name"
done

cat >"$ENV_DIR/fonts.conf" <<EOF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <dir>$FONTS</dir>
  <cachedir>$ENV_DIR/cache</cachedir>
</fontconfig>
EOF
export FONTCONFIG_FILE="$ENV_DIR/fonts.conf"
export VORN_FUZZ_TMPDIR="$WORK"

SEEDS="$WORK/seeds"
mkdir -p "$SEEDS/face" "$SEEDS/transcode" "$SEEDS/request" "$SEEDS/webface"
i=0
while IFS= read -r -d '' font; do
    i=$((i + 1))
    cp "$font" "$SEEDS/face/fixture-$i"
done < <(find "$FONTS" -type f ! -path "$ODD/*" -print0)
# Absurd fonts that are still quick to describe: broken structures, tables big enough that
# FreeType reads them whole, and formats other than TrueType (BDF, CFF).
/usr/bin/python3 "$FUZZ_DIR/make_hostile.py" "$WORK"
for name in big-tables.ttf cut-half-static.ttf cut-half-variable.ttf cut-half-collection.ttc \
    cut-after-directory.ttf name-count-65535-holds-2.ttf name-huge-lengths-offsets.ttf \
    var-64-axes.ttf other-bdf-latin1-family.bdf other-cff-outlines.otf other-bare.cff; do
    cp "$WORK/hostile/$name" "$SEEDS/face/hostile-$name"
done
/usr/bin/python3 - "$FONTS" "$SEEDS" <<'EOF'
import os, struct, sys
from urllib.parse import quote
fonts, seeds = sys.argv[1], sys.argv[2]

def put(kind, name, data):
    with open(os.path.join(seeds, kind, name), "wb") as f:
        f.write(data)

# Transcoder seeds, laid out as FuzzedDataProvider reads them: the text first, then the choice
# bytes, which it takes from the end (known-platform flag, platform, known-encoding flag,
# encoding, language kind 4 = any, language high byte, language low byte).
def record(text, platform, encoding, language):
    return text + bytes([language & 0xFF, language >> 8, 4, encoding, 1, platform, 1])
samples = [
    ("w", "Example Names".encode("utf-16-be"), 3, 1, 0x409),
    ("u", "Exemple \u00e9\U0001F600".encode("utf-16-be"), 0, 3, 0),
    ("m", b"Ex\x8emple Mac", 1, 0, 0),
    ("j", b"\x91\xbe\x8e\x9a", 1, 0, 0x411),
    ("l", b"Exemple Latin \xe9", 2, 2, 0),
    ("a", b"Plain ASCII", 2, 0, 0),
    ("s", "\ud800".encode("utf-16-be", "surrogatepass") + b"\x00A", 3, 1, 0x409),
]
for name, text, p, e, l in samples:
    put("transcode", name, record(text, p, e, l))

# Request seeds: every font path, escaped and as it is, and a few refusals.
n = 0
for root, _, files in os.walk(fonts):
    for f in files:
        path = os.path.join(root, f).encode("utf-8", "surrogateescape")
        n += 1
        put("request", "path-%d" % n, b"/?file=" + quote(path, safe="/").encode())
        put("request", "raw-%d" % n, b"/?file=" + path)
fixed = [b"/", b"/?file=", b"/?FILE=/etc/passwd", b"/?file=..%2F..%2Fetc%2Fpasswd",
         b"/x?a=1&file=%2Fetc%2Fhostname&file=y", b"/?file=%00", b"/?file=a%0D%0Ab",
         b"http://127.0.0.1:16801/?file=%2Fetc%2Fpasswd#frag", b"/?file=/dev/zero"]
for i, uri in enumerate(fixed):
    put("request", "fixed-%d" % i, uri)
EOF
# Web-face seeds, laid out as fuzz_webface reads them: face index, text length, text, then the
# font; the first faces of each collection, a ligature text and a text a shaper composes.
/usr/bin/python3 - "$FONTS" "$SEEDS/webface" <<'EOF'
import os, struct, sys
fonts, seeds = sys.argv[1], sys.argv[2]
texts = [b"fi AV", "e\u0301 \u00c5".encode()]
n = 0
for sub in ("webface", "collection", "variable", "static"):
    for name in sorted(os.listdir(os.path.join(fonts, sub))):
        data = open(os.path.join(fonts, sub, name), "rb").read()
        faces = struct.unpack(">L", data[8:12])[0] if data[:4] == b"ttcf" else 1
        for face in range(min(faces, 3)):
            for text in texts:
                n += 1
                with open(os.path.join(seeds, "seed-%d" % n), "wb") as f:
                    f.write(bytes([face, len(text)]) + text + data)
EOF

# --- Runs -------------------------------------------------------------------------------------

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=0
summary=()
for target in "${TARGETS[@]}"; do
    corpus="$BUILD/corpus/$target"
    log="$BUILD/logs/$target.log"
    mkdir -p "$corpus"
    extra=()
    [ "$target" = face ] && extra+=(-max_len=65536)
    [ "$target" = webface ] && extra+=(-max_len=65536)
    [ "$target" = request ] && extra+=(-dict="$FUZZ_DIR/request.dict" -max_len=4096)
    echo "fuzz_$target: ${RUN_SECONDS}s, log $log" >&2
    before=$(find "$BUILD/artifacts" -name "$target-*" | wc -l)
    status=0
    {
        "$BUILD/fuzz_$target" -max_total_time="$RUN_SECONDS" -rss_limit_mb=2048 -timeout=10 \
            -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" "${extra[@]}" \
            "$corpus" "$SEEDS/$target" 2>&1
    } >"$log" || status=$?
    after=$(find "$BUILD/artifacts" -name "$target-*" | wc -l)

    stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
    execs=$(stat number_of_executed_units)
    rate=$(stat average_exec_per_sec)
    rss=$(stat peak_rss_mb)
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -n 1 || true)
    verdict=ok
    if [ "$status" -ne 0 ] || [ "$after" -gt "$before" ]; then
        verdict="FAILED (status $status, see $log)"
        failed=1
    fi
    summary+=("$(printf '%-10s executions %-10s exec/s %-6s %-34s peak RSS %s MB  %s' \
        "$target" "${execs:-?}" "${rate:-?}" "${cov:-cov: ?}" "${rss:-?}" "$verdict")")
done

printf '%s\n' "${summary[@]}"

# --- Source coverage of the corpora -----------------------------------------------------------

if [ -n "$COVERAGE" ]; then
    COV="$BUILD/coverage"
    build_targets "$COV/cmake" -fprofile-instr-generate -fcoverage-mapping
    for target in "${TARGETS[@]}"; do ln -sf "$COV/cmake/fuzz/fuzz_$target" "$COV/fuzz_$target"; done
    PROFDATA=$(command -v llvm-profdata-14 || command -v llvm-profdata)
    LLVMCOV=$(command -v llvm-cov-14 || command -v llvm-cov)
    declare -A COVERED=(
        [transcode]="src/util.cpp"
        [face]="src/FontManagerLinux.cpp src/FontFile.h src/util.cpp include/VornFontAgent.h"
        [request]="src/Http.cpp src/Routes.cpp src/ListedFont.cpp"
        [webface]="src/WebFace.cpp"
    )
    for target in "${TARGETS[@]}"; do
        rm -f "$COV/$target".prof*
        LLVM_PROFILE_FILE="$COV/$target.profraw" "$COV/fuzz_$target" -runs=0 \
            "$BUILD/corpus/$target" >/dev/null 2>&1 || true
        "$PROFDATA" merge -sparse "$COV/$target.profraw" -o "$COV/$target.profdata"
        read -r -a files <<<"${COVERED[$target]}"
        echo "coverage of fuzz_$target's corpus:"
        "$LLVMCOV" report "$COV/fuzz_$target" -instr-profile="$COV/$target.profdata" \
            "${files[@]/#/$VORN_ROOT/}" | sed "s#$VORN_ROOT/##"
    done
fi
if [ "$failed" -ne 0 ]; then
    echo "crash artifacts:" >&2
    find "$BUILD/artifacts" -type f -newer "$ENV_DIR/fonts.conf" >&2
fi
exit "$failed"
