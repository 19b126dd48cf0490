#!/usr/bin/env bash
# Measures the agent on loopback against reference programs over a realistic font set: the
# catalogue against fc-list and a bare FreeType pass (bench/ftpass.cpp), the file route against
# nginx serving the same files. With --scale N, the catalogue figures over N hard-linked copies
# of the same fonts against one copy, and how each grows. Prints a table on standard output,
# progress on standard error. Exits non-zero only when a figure could not be measured, never
# because a figure is slow.
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: bench/run.sh [--scale N] [--soak] [--runs N] [--no-install] [--no-build]
  --scale N      the catalogue figures (no file route) over N hard-linked copies of the
                 installed fonts and over one copy, each under a fontconfig configuration and
                 cache of its own, and how each figure grows from 1x to Nx (N from 2 to 16)
  --soak         also compare the agent's memory after 10 and after 1000 catalogue requests
                 (takes long: 1000 catalogue builds; bounded by VORN_BENCH_SOAK_SECONDS, 3600);
                 with --scale, at Nx only
  --runs N       catalogue requests after the first one (at least 10, default 20)
  --no-install   do not install missing packages
  --no-build     use the agent already built in the build folder
Environment: VORN_BENCH_BUILD_DIR (default: build/ of the repository),
  VORN_BENCH_SCALE_DIR (where --scale puts its copies, on the fonts' filesystem; default /var/tmp)
EOF
}

SCALE=0
SOAK=0
RUNS=20
INSTALL=1
BUILD=1
while [ $# -gt 0 ]; do
    case "$1" in
        --scale)
            [ $# -ge 2 ] || { usage >&2; exit 2; }
            SCALE="$2"
            shift
            ;;
        --soak) SOAK=1 ;;
        --runs)
            [ $# -ge 2 ] || { usage >&2; exit 2; }
            RUNS="$2"
            shift
            ;;
        --no-install) INSTALL=0 ;;
        --no-build) BUILD=0 ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
    shift
done
if ! [[ "$RUNS" =~ ^[0-9]+$ ]] || [ "$RUNS" -lt 10 ] || [ "$RUNS" -gt 1000 ]; then
    echo "bench: --runs takes a number from 10 to 1000" >&2
    exit 2
fi
if ! [[ "$SCALE" =~ ^[0-9]+$ ]] || { [ "$SCALE" -ne 0 ] && { [ "$SCALE" -lt 2 ] || [ "$SCALE" -gt 16 ]; }; }; then
    echo "bench: --scale takes a number from 2 to 16" >&2
    exit 2
fi

BENCH_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=scripts/common.sh
source "$BENCH_DIR/../scripts/common.sh"
# shellcheck source=bench/common.sh
source "$BENCH_DIR/common.sh"
BUILD_DIR="${VORN_BENCH_BUILD_DIR:-$VORN_ROOT/build}"
AGENT="$BUILD_DIR/vorn-font-agent"
FTPASS="$BUILD_DIR/bench/ftpass"
SOAK_TOTAL=1000
SOAK_SECONDS="${VORN_BENCH_SOAK_SECONDS:-3600}"
# Per request; a catalogue that takes longer than this is reported as unmeasurable.
REQUEST_MAX_SECONDS=300

log() { echo "bench: $*" >&2; }
die() {
    echo "bench: could not measure: $*" >&2
    exit 1
}

RUN_START_NS=$(now_ns)
LOAD_AT_START="$(cut -d' ' -f1-3 /proc/loadavg)"
TMP="$(mktemp -d /tmp/vorn-bench.XXXXXX)"
# nginx's worker runs as an unprivileged user and must reach the served files through TMP.
chmod 755 "$TMP"
AGENT_PID=""
DETAILED_PID=""  # the fresh agents of measure_detailed, one at a time
NGINX_PID=""
SCALE_ROOT=""  # the copies of --scale, once made

cleanup() {
    stop_pid "$AGENT_PID"
    stop_pid "$DETAILED_PID"
    stop_pid "$NGINX_PID"
    rm -rf "$TMP"
    [ -z "$SCALE_ROOT" ] || rm -rf "$SCALE_ROOT"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# --- Preparation -------------------------------------------------------------------------------

prepare_agent wrk curl
TOOLS=(curl fc-list fc-cache pkg-config g++)
if [ "$SCALE" -eq 0 ]; then
    if [ "$INSTALL" -eq 1 ] && ! command -v nginx >/dev/null && ! [ -x /usr/sbin/nginx ]; then
        install_packages nginx-light || install_packages nginx || die "nginx could not be installed"
    fi
    NGINX="$(command -v nginx || echo /usr/sbin/nginx)"
    TOOLS+=(wrk "$NGINX")
fi
for tool in "${TOOLS[@]}"; do
    command -v "$tool" >/dev/null || die "$tool is missing"
done
mkdir -p "$(dirname "$FTPASS")"
# shellcheck disable=SC2046 # pkg-config's flags are meant to split
g++ -std=c++17 -O2 -o "$FTPASS" "$BENCH_DIR/ftpass.cpp" \
    $(pkg-config --cflags --libs fontconfig freetype2) || die "ftpass did not build"

# One catalogue request: prints "seconds bytes"; the body goes to $1. $2 is the query ("" or
# "?details=1"), $3 the port (default the agent's).
catalogue_request() {
    local out="$1" query="${2:-}" port="${3:-$AGENT_PORT}" reply code
    reply="$(curl -s -o "$out" --max-time "$REQUEST_MAX_SECONDS" \
        -w '%{http_code} %{time_total} %{size_download}' "http://127.0.0.1:$port/$query")" ||
        die "catalogue request failed (curl status $?)"
    code="${reply%% *}"
    [ "$code" = 200 ] || die "catalogue request answered $code"
    echo "${reply#* }"
}

free_ports 2 >"$TMP/r"
read -r AGENT_PORT NGINX_PORT <"$TMP/r"
MACHINE="$(nproc) cores, $(uname -r), fontconfig $(pkg-config --modversion fontconfig), FreeType $(pkg-config --modversion freetype2)"

# --- References --------------------------------------------------------------------------------

# fc-list and the FreeType pass over the fonts of the fontconfig configuration in force.
measure_references() {
    log "reference runs (fc-list, FreeType pass)"
    # Warm-up: every figure below is then taken with the font files in the page cache.
    "$FTPASS" >/dev/null || die "ftpass failed"
    fc-list --format '%{file}|%{family}|%{style}\n' >/dev/null || die "fc-list failed"

    FCLIST_RUNS=7
    FCLIST_LINES="$(fc-list --format '%{file}|%{family}|%{style}\n' | wc -l)"
    : >"$TMP/fclist.times"
    for i in $(seq 1 $FCLIST_RUNS); do
        t0=$(now_ns)
        fc-list --format '%{file}|%{family}|%{style}\n' >/dev/null || die "fc-list failed"
        t1=$(now_ns)
        echo "$(((t1 - t0) / 1000))e-3" >>"$TMP/fclist.times"  # milliseconds
    done
    stats <"$TMP/fclist.times" >"$TMP/r"
    read -r FCLIST_MED FCLIST_MIN FCLIST_MAX _ _ <"$TMP/r"

    FTPASS_RUNS=3
    : >"$TMP/ftpass.out"
    for i in $(seq 1 $FTPASS_RUNS); do
        "$FTPASS" >>"$TMP/ftpass.out" || die "ftpass failed"
    done
    ftfield() { sed -n "s/.*\\b$1=\\([0-9.]*\\).*/\\1/p" "$TMP/ftpass.out"; }
    ftfield total_ms | stats >"$TMP/r"
    read -r FT_MED FT_MIN FT_MAX _ _ <"$TMP/r"
    FT_LIST_MED="$(ftfield list_ms | median_of)"
    FT_FREETYPE_MED="$(ftfield freetype_ms | median_of)"
    FT_LINE="$(head -n 1 "$TMP/ftpass.out")"
    ftfirst() { echo "$FT_LINE" | sed -n "s/.*\\b$1=\\([0-9]*\\).*/\\1/p"; }
    FT_FILES="$(ftfirst files)"
    FT_FACES="$(ftfirst faces)"
    FT_INSTANCES="$(ftfirst named_instances)"
    FT_UNREADABLE="$(ftfirst unreadable)"
    [ "$FT_FILES" -ge 1000 ] || log "warning: only $FT_FILES font files listed, not a realistic set"
}

# --- Catalogue ---------------------------------------------------------------------------------

# Starts the agent (it stays running) and takes the catalogue figures; the first document is
# left in $TMP/first.json.
measure_catalogue() {
    log "starting the agent on 127.0.0.1:$AGENT_PORT"
    START_NS=$(now_ns)
    "$AGENT" -l 127.0.0.1 -p "$AGENT_PORT" >"$TMP/agent.out" 2>&1 &
    AGENT_PID=$!
    wait_listening "$AGENT_PID" "$AGENT_PORT" || die "the agent did not come up (see its output: $(head -c 300 "$TMP/agent.out"))"
    READY_NS=$(now_ns)
    STARTUP_MS="$(calc "($READY_NS - $START_NS) / 1e6")"

    log "first catalogue request"
    catalogue_request "$TMP/first.json" >"$TMP/r"
    read -r FIRST_S DOC_BYTES <"$TMP/r"
    FIRST_MS="$(calc "$FIRST_S * 1000")"
    HWM_AFTER_FIRST="$(status_kib "$AGENT_PID" VmHWM)"

    log "$RUNS further catalogue requests"
    : >"$TMP/catalogue.times"
    for i in $(seq 1 "$RUNS"); do
        catalogue_request /dev/null >"$TMP/r"
        read -r secs bytes <"$TMP/r"
        [ "$bytes" = "$DOC_BYTES" ] || log "warning: request $((i + 1)) gave $bytes bytes, the first $DOC_BYTES"
        echo "$secs" >>"$TMP/catalogue.times"
        if [ "$((i + 1))" -eq 10 ]; then
            RSS_AT_10="$(status_kib "$AGENT_PID" VmRSS)"
            HWM_AT_10="$(status_kib "$AGENT_PID" VmHWM)"
        fi
    done
    stats <"$TMP/catalogue.times" >"$TMP/r"
    read -r CAT_MED CAT_MIN CAT_MAX CAT_P10 CAT_P90 <"$TMP/r"
    for v in CAT_MED CAT_MIN CAT_MAX CAT_P10 CAT_P90; do printf -v "$v" '%s' "$(calc "${!v} * 1000")"; done
    CAT_REQUESTS=$((RUNS + 1))
    HWM_KIB="$(status_kib "$AGENT_PID" VmHWM)"
    RSS_KIB="$(status_kib "$AGENT_PID" VmRSS)"
    ANON_KIB="$(status_kib "$AGENT_PID" RssAnon)"
    FILE_KIB="$(status_kib "$AGENT_PID" RssFile)"

    # What the document holds, and the two files for the file route: the listed file nearest to
    # 100 KB, and the largest listed file (a CJK collection on this font set).
    "$PY" - "$TMP/first.json" >"$TMP/doc.txt" <<'EOF' || die "the catalogue is not a JSON array of families"
import json, os, sys
doc = json.load(open(sys.argv[1], encoding="utf-8"))
assert isinstance(doc, list)
faces = sum(len(f.get("childList", [])) for f in doc)
files = sorted({c["file"] for f in doc for c in f.get("childList", [])})
sizes = [(os.path.getsize(p), p) for p in files if os.path.isfile(p)]
small = min(sizes, key=lambda s: (abs(s[0] - 100 * 1024), s[1]))
large = max(sizes)
print(len(doc), faces, len(files))
print(small[0], small[1])
print(large[0], large[1])
EOF
    { read -r DOC_FAMILIES DOC_FACES DOC_FILES; read -r SMALL_SIZE SMALL_PATH; read -r LARGE_SIZE LARGE_PATH; } <"$TMP/doc.txt"
}

# --- Detailed catalogue ------------------------------------------------------------------------

# Fresh agents of each kind, alternating plain and detailed, so that a first figure is a median
# and drift on the shared machine hits both kinds alike.
FIRST_AGENTS=7

# The detailed catalogue (?details=1) against the plain one: the first request of a fresh agent
# for each, timed from the agent's start (it starts building the catalogue before it listens,
# so the part after listening depends on how long listening took), then RUNS pairs of warm
# plain and detailed requests to the last agent. The agent of measure_catalogue stays up
# meanwhile, idle.
measure_detailed() {
    local i kind figure name port start ready secs bytes
    log "detailed catalogue: $FIRST_AGENTS fresh agents for each of plain and detailed"
    for kind in plain detailed; do
        : >"$TMP/first.$kind"
        : >"$TMP/start_first.$kind"
        : >"$TMP/warm.$kind"
    done
    for i in $(seq 1 "$FIRST_AGENTS"); do
        for kind in plain detailed; do
            free_ports 1 >"$TMP/r"
            read -r port <"$TMP/r"
            start=$(now_ns)
            "$AGENT" -l 127.0.0.1 -p "$port" >"$TMP/agent-$kind.out" 2>&1 &
            DETAILED_PID=$!
            wait_listening "$DETAILED_PID" "$port" || die "a fresh agent did not come up"
            ready=$(now_ns)
            catalogue_request "$TMP/$kind.json" "$(catalogue_query "$kind")" "$port" >"$TMP/r"
            read -r secs bytes <"$TMP/r"
            calc "$secs * 1000" >>"$TMP/first.$kind"
            calc "($ready - $start) / 1e6 + $secs * 1000" >>"$TMP/start_first.$kind"
            [ "$kind" = plain ] || DETAILED_BYTES="$bytes"
            [ "$i" -lt "$FIRST_AGENTS" ] || [ "$kind" = plain ] || measure_warm_pairs "$port"
            stop_pid "$DETAILED_PID"
            DETAILED_PID=""
        done
    done
    # The same families in the same order, or the figures compare different documents.
    "$PY" - "$TMP/plain.json" "$TMP/detailed.json" <<'EOF' || die "the detailed catalogue does not list the plain one's families"
import json, sys
plain, detailed = (json.load(open(p, encoding="utf-8")) for p in sys.argv[1:3])
assert [f["family"] for f in plain] == [f["family"] for f in detailed]
assert all("index" in c for f in detailed for c in f["childList"])
EOF
    for kind in plain detailed; do
        for figure in first start_first warm; do
            name="${figure^^}_${kind^^}"  # FIRST_PLAIN, FIRST_PLAIN_MIN, FIRST_PLAIN_MAX, ...
            stats <"$TMP/$figure.$kind" >"$TMP/r"
            read -r "$name" "${name}_MIN" "${name}_MAX" _ <"$TMP/r"
        done
    done
    for v in WARM_PLAIN WARM_DETAILED WARM_PLAIN_MIN WARM_DETAILED_MIN; do
        printf -v "$v" '%s' "$(calc "${!v} * 1000")"
    done
}
catalogue_query() { [ "$1" = plain ] || echo "?details=1"; }

# RUNS warm requests of each kind to the agent on port $1, alternating; the plain document is
# asked for once first, since this agent has only made the detailed one.
measure_warm_pairs() {
    local port="$1" kind secs bytes
    catalogue_request /dev/null "" "$port" >/dev/null
    for _ in $(seq 1 "$RUNS"); do
        for kind in plain detailed; do
            catalogue_request /dev/null "$(catalogue_query "$kind")" "$port" >"$TMP/r"
            read -r secs bytes <"$TMP/r"
            echo "$secs" >>"$TMP/warm.$kind"
        done
    done
    DETAILED_HWM="$(status_kib "$DETAILED_PID" VmHWM)"
}

report_detailed() {
    local kind title name lo hi
    echo "Detailed catalogue (GET /?details=1) against the plain one; first requests from fresh agents"
    for kind in plain detailed; do
        for name in "START_FIRST_${kind^^}" "FIRST_${kind^^}"; do
            title="first, $kind, from start (n=$FIRST_AGENTS): median"
            [ "${name%%_*}" = START ] || title="  of it after listening"
            lo="${name}_MIN"
            hi="${name}_MAX"
            row "$title" "$(ms "${!name}") ms (min $(ms "${!lo}"), max $(ms "${!hi}"))"
        done
    done
    row "warm requests, alternating (n=$RUNS each)" "plain $(ms "$WARM_PLAIN" 2) ms, detailed $(ms "$WARM_DETAILED" 2) ms (medians; min $(ms "$WARM_PLAIN_MIN" 2) / $(ms "$WARM_DETAILED_MIN" 2) ms)"
    row "  the same documents as files from nginx" "plain $(ms "$(calc "$NGINX_WARM_PLAIN * 1000")" 2) ms, detailed $(ms "$(calc "$NGINX_WARM_DETAILED * 1000")" 2) ms (medians)"
    row "document" "$DETAILED_BYTES bytes (plain: $DOC_BYTES)"
    row "RSS: peak of the last agent (VmHWM)" "$(mib "$DETAILED_HWM") MiB"
}

# --- Soak --------------------------------------------------------------------------------------

# Catalogue requests to the running agent up to SOAK_TOTAL in all, within SOAK_SECONDS.
measure_soak() {
    log "soak: catalogue requests up to $SOAK_TOTAL in all, at most $SOAK_SECONDS s"
    SOAK_DONE=$CAT_REQUESTS
    SOAK_END_NS=$(($(now_ns) + SOAK_SECONDS * 1000000000))
    while [ "$SOAK_DONE" -lt "$SOAK_TOTAL" ] && [ "$(now_ns)" -lt "$SOAK_END_NS" ]; do
        catalogue_request /dev/null >/dev/null
        SOAK_DONE=$((SOAK_DONE + 1))
        [ $((SOAK_DONE % 100)) -ne 0 ] || log "soak: $SOAK_DONE requests"
    done
    SOAK_RSS="$(status_kib "$AGENT_PID" VmRSS)"
    SOAK_HWM="$(status_kib "$AGENT_PID" VmHWM)"
}

# --- Report helpers ----------------------------------------------------------------------------

mib() { fmt 1 "$(calc "$1 / 1024")"; }
ms() { fmt "${2:-1}" "$1"; }
verdict() { if "$PY" -c "import sys; sys.exit(0 if ($1) else 1)"; then echo meets; else echo MISSES; fi; }
row() { printf '  %-44s %s\n' "$1" "$2"; }
target_row() { printf '  %-44s %10s  %-10s %s\n' "$@"; }

report_fonts() {
    echo "  fonts:   $FT_FILES files accepted from fontconfig's list ($FT_FACES faces, $FT_INSTANCES named instances, $FT_UNREADABLE unreadable)"
}

# The catalogue and reference sections of the report, from the figures last measured.
report_catalogue() {
    echo "Catalogue (GET /)"
    row "start to listening" "$(ms "$STARTUP_MS") ms"
    row "first request after listening" "$(ms "$FIRST_MS") ms"
    row "start to first catalogue" "$(ms "$(calc "$STARTUP_MS + $FIRST_MS")") ms"
    row "further requests (n=$RUNS): median" "$(ms "$CAT_MED") ms"
    row "  min / p10 / p90 / max" "$(ms "$CAT_MIN") / $(ms "$CAT_P10") / $(ms "$CAT_P90") / $(ms "$CAT_MAX") ms"
    row "document" "$DOC_BYTES bytes: $DOC_FAMILIES families, $DOC_FACES faces, $DOC_FILES files"
    row "RSS: peak after first request (VmHWM)" "$(mib "$HWM_AFTER_FIRST") MiB"
    row "RSS: after 10 requests (VmRSS / VmHWM)" "$(mib "$RSS_AT_10") / $(mib "$HWM_AT_10") MiB"
    row "RSS: after $CAT_REQUESTS requests (VmRSS / VmHWM)" "$(mib "$RSS_KIB") / $(mib "$HWM_KIB") MiB (now anonymous $(mib "$ANON_KIB"), file-backed $(mib "$FILE_KIB"))"
    echo
    echo "References (same fonts, same fontconfig)"
    row "fc-list file|family|style (n=$FCLIST_RUNS): median" "$(ms "$FCLIST_MED") ms (min $(ms "$FCLIST_MIN"), max $(ms "$FCLIST_MAX")), $FCLIST_LINES lines"
    row "FreeType pass (n=$FTPASS_RUNS): median" "$(ms "$FT_MED") ms (min $(ms "$FT_MIN"), max $(ms "$FT_MAX"))"
    row "  of which fontconfig listing / FreeType" "$(ms "$FT_LIST_MED") / $(ms "$FT_FREETYPE_MED") ms"
}

report_soak() {
    echo
    echo "Soak"
    row "RSS after 10 catalogue requests" "$(mib "$RSS_AT_10") MiB (VmHWM $(mib "$HWM_AT_10") MiB)"
    row "RSS after $SOAK_DONE catalogue requests" "$(mib "$SOAK_RSS") MiB (VmHWM $(mib "$SOAK_HWM") MiB)"
    [ "$SOAK_DONE" -ge "$SOAK_TOTAL" ] || row "  (stopped at the time limit)" "$SOAK_SECONDS s"
}

# --- Scale -------------------------------------------------------------------------------------

# The figures that go into the growth table, kept per number of copies.
declare -A GROWN

remember_figures() {
    local copies="$1" peak="$HWM_KIB"
    [ "$SOAK" -eq 0 ] || [ "$copies" -eq 1 ] || peak="$SOAK_HWM"
    GROWN[$copies.files]="$DOC_FILES"
    GROWN[$copies.faces]="$DOC_FACES"
    GROWN[$copies.first]="$FIRST_MS"
    GROWN[$copies.start_first]="$(calc "$STARTUP_MS + $FIRST_MS")"
    GROWN[$copies.ftpass]="$FT_MED"
    GROWN[$copies.first_ft]="$(calc "$FIRST_MS / $FT_MED")"
    GROWN[$copies.warm]="$CAT_MED"
    GROWN[$copies.fclist]="$FCLIST_MED"
    GROWN[$copies.warm_fclist]="$(calc "$CAT_MED / $FCLIST_MED")"
    GROWN[$copies.peak]="$(calc "$peak / 1024")"
    GROWN[$copies.anon]="$(calc "$ANON_KIB / 1024")"
    GROWN[$copies.doc]="$(calc "$DOC_BYTES / 1048576")"
}

# One line of the growth table: the figure at 1x and at Nx, and Nx over 1x.
growth_row() {
    local title="$1" digits="$3" one="${GROWN[1.$2]}" many="${GROWN[$SCALE.$2]}"
    printf '  %-40s %12s %12s %8s\n' "$title" "$(fmt "$digits" "$one")" "$(fmt "$digits" "$many")" \
        "$(fmt 2 "$(calc "$many / $one if $one else float('nan')")")"
}

# Makes SCALE copies of the listed font files under a folder of their own, and a configuration
# for one copy and one for all of them. Both share one cache folder, so the first copy is
# scanned once.
make_scaled_fonts() {
    local parent="${VORN_BENCH_SCALE_DIR:-/var/tmp}" copy dirs=()
    SCALE_ROOT="$(mktemp -d "$parent/vorn-scale.XXXXXX")" || die "cannot make a folder in $parent"
    chmod 755 "$SCALE_ROOT"
    fc-list --format '%{file}\n' >"$TMP/r" || die "fc-list failed"
    sort -u "$TMP/r" >"$TMP/installed.files"  # one line per face, collections repeat their file
    log "hard-linking $(wc -l <"$TMP/installed.files") listed font files $SCALE times into $SCALE_ROOT"
    link_font_copies "$SCALE_ROOT" "$SCALE" <"$TMP/installed.files" >"$TMP/r" ||
        die "the copies could not be linked; hard links need the fonts' filesystem: set VORN_BENCH_SCALE_DIR to a folder on it"
    read -r SCALE_SOURCE_FILES <"$TMP/r"
    mkdir -p "$SCALE_ROOT/cache"
    for copy in $(seq 1 "$SCALE"); do dirs+=("$SCALE_ROOT/$copy"); done
    write_fonts_conf "$SCALE_ROOT/fonts-1.conf" "$SCALE_ROOT/cache" "${dirs[0]}"
    write_fonts_conf "$SCALE_ROOT/fonts-$SCALE.conf" "$SCALE_ROOT/cache" "${dirs[@]}"
}

# The catalogue figures over COPIES copies, under their own configuration; the agent is stopped
# afterwards and the section of the report kept in $TMP/report-COPIES.
measure_copies() {
    local copies="$1" t0
    export FONTCONFIG_FILE="$SCALE_ROOT/fonts-$copies.conf"
    log "${copies}x: fontconfig scans the copies into its cache"
    t0=$(now_ns)
    fc-cache >/dev/null 2>&1 || die "fc-cache failed at ${copies}x"
    SCAN_S="$(calc "($(now_ns) - $t0) / 1e9")"
    measure_references
    free_ports 1 >"$TMP/r"
    read -r AGENT_PORT <"$TMP/r"
    measure_catalogue
    [ "$SOAK" -eq 0 ] || [ "$copies" -eq 1 ] || measure_soak
    stop_pid "$AGENT_PID"
    AGENT_PID=""
    remember_figures "$copies"
    {
        echo
        echo "At ${copies}x ($FONTCONFIG_FILE; its fontconfig cache took $(fmt 1 "$SCAN_S") s to make)"
        report_fonts
        echo
        report_catalogue
        [ "$SOAK" -eq 0 ] || [ "$copies" -eq 1 ] || report_soak
    } >"$TMP/report-$copies"
    unset FONTCONFIG_FILE
}

run_scaled() {
    make_scaled_fonts
    measure_copies 1
    measure_copies "$SCALE"
    local expected=$((GROWN[1.files] * SCALE))
    [ "${GROWN[$SCALE.files]}" -eq "$expected" ] ||
        log "warning: ${GROWN[$SCALE.files]} files in the catalogue at ${SCALE}x, not $SCALE times ${GROWN[1.files]}"

    echo "Vorn Font Agent benchmark at scale, $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "  machine: $MACHINE"
    echo "  load:    $LOAD_AT_START at the start (1, 5 and 15 minutes; times are comparable only on a quiet machine)"
    echo "  fonts:   $SCALE_SOURCE_FILES font files listed by the machine's fontconfig, hard-linked $SCALE times"
    cat "$TMP/report-1" "$TMP/report-$SCALE"
    echo
    echo "Growth from 1x to ${SCALE}x"
    printf '  %-40s %12s %12s %8s\n' "figure" "1x" "${SCALE}x" "growth"
    growth_row "files in the catalogue" files 0
    growth_row "faces in the catalogue" faces 0
    growth_row "first catalogue (ms)" first 1
    growth_row "start to first catalogue (ms)" start_first 1
    growth_row "FreeType pass (ms)" ftpass 1
    growth_row "  first catalogue / FreeType pass" first_ft 3
    growth_row "warm catalogue, median (ms)" warm 2
    growth_row "fc-list, median (ms)" fclist 1
    growth_row "  warm catalogue / fc-list" warm_fclist 3
    growth_row "peak RSS, VmHWM (MiB)" peak 1
    growth_row "  anonymous RSS at the end (MiB)" anon 1
    growth_row "document (MiB)" doc 2
    echo
    echo "Ratios and targets at ${SCALE}x"
    target_row "figure" "value" "target" "verdict"
    target_row "warm catalogue / fc-list" "$(fmt 3 "${GROWN[$SCALE.warm_fclist]}")" "<= 0.02" "$(verdict "${GROWN[$SCALE.warm_fclist]} <= 0.02")"
    target_row "first catalogue / FreeType pass" "$(fmt 3 "${GROWN[$SCALE.first_ft]}")" "<= 0.25" "$(verdict "${GROWN[$SCALE.first_ft]} <= 0.25")"
    target_row "agent peak RSS (MiB)" "$(fmt 1 "${GROWN[$SCALE.peak]}")" "<= 64" "$(verdict "${GROWN[$SCALE.peak]} <= 64")"
    echo
    echo "Run took $(fmt 0 "$(calc "($(now_ns) - $RUN_START_NS) / 1e9")") s."
}

if [ "$SCALE" -ne 0 ]; then
    run_scaled
    exit 0
fi

# --- Default run: the machine's own fonts, catalogue and file route --------------------------------

measure_references
measure_catalogue
measure_detailed
[ "$LARGE_SIZE" -ge $((15 * 1000 * 1000)) ] || die "the catalogue lists no file of 15 MB or more"

# --- File route --------------------------------------------------------------------------------

# nginx as a plain static server for the same two files at URL path = file path (symlinks in a
# private root), one worker like the agent's single event loop, sendfile, and no keep-alive so
# that each request is a new connection as with the agent (which closes every connection).
mkdir -p "$TMP/nginx" "$TMP/www"
for p in "$SMALL_PATH" "$LARGE_PATH"; do
    mkdir -p "$TMP/www$(dirname "$p")"
    ln -s "$p" "$TMP/www$p"
done
# The two catalogue documents of measure_detailed, as static files.
mkdir -p "$TMP/www/catalogue"
cp "$TMP/plain.json" "$TMP/detailed.json" "$TMP/www/catalogue/"
chmod -R a+rX "$TMP/www"
cat >"$TMP/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $TMP/nginx/nginx.pid;
error_log $TMP/nginx/error.log warn;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 0;
    types { }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$NGINX_PORT;
        root $TMP/www;
        location / { add_header Access-Control-Allow-Origin * always; }
    }
}
EOF
log "starting nginx on 127.0.0.1:$NGINX_PORT"
"$NGINX" -e "$TMP/nginx/error.log" -p "$TMP/nginx" -c "$TMP/nginx/nginx.conf" >"$TMP/nginx/out" 2>&1 &
NGINX_PID=$!
wait_listening "$NGINX_PID" "$NGINX_PORT" ||
    die "nginx did not come up: $(cat "$TMP/nginx/out" "$TMP/nginx/error.log" 2>/dev/null | head -c 500)"

urlencode() { "$PY" -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe="/"))' "$1"; }
agent_url() { echo "http://127.0.0.1:$AGENT_PORT/?file=$(urlencode "$1")"; }
nginx_url() { echo "http://127.0.0.1:$NGINX_PORT$(urlencode "$1")"; }

# Both servers must hand over the exact bytes before their speed means anything.
for p in "$SMALL_PATH" "$LARGE_PATH"; do
    for url in "$(agent_url "$p")" "$(nginx_url "$p")"; do
        code="$(curl -s -o "$TMP/fetched" --max-time 60 -w '%{http_code}' "$url")" ||
            die "could not fetch $url"
        [ "$code" = 200 ] || die "$url answered $code"
        cmp -s "$TMP/fetched" "$p" || die "$url did not give the bytes of $p"
    done
done
rm -f "$TMP/fetched"

# The same warm pairs from nginx serving the two documents as files: what their sizes alone
# cost a client on this machine, beside the agent's figure.
for kind in plain detailed; do : >"$TMP/nginx_warm.$kind"; done
for _ in $(seq 1 "$RUNS"); do
    for kind in plain detailed; do
        curl -s -o /dev/null --max-time "$REQUEST_MAX_SECONDS" -w '%{time_total}\n' \
            "$(nginx_url "/catalogue/$kind.json")" >>"$TMP/nginx_warm.$kind" ||
            die "nginx did not serve the $kind document"
    done
done
for kind in plain detailed; do
    stats <"$TMP/nginx_warm.$kind" >"$TMP/r"
    read -r "NGINX_WARM_${kind^^}" _ <"$TMP/r"
done

# Runs wrk (bounded: 5 s of load, killed after 30 s) and prints
# "requests p50_ms req_per_s MiB_per_s socket_errors"; fails on any non-2xx reply.
run_wrk() {
    local connections="$1" url="$2" out="$TMP/wrk.out"
    timeout 30 wrk -t 1 -c "$connections" -d 5s --latency "$url" >"$out" 2>&1 ||
        die "wrk failed on $url: $(head -c 300 "$out")"
    "$PY" - "$out" <<'EOF' || die "wrk on $url: $(tr '\n' ' ' <"$out" | head -c 400)"
import re, sys
text = open(sys.argv[1]).read()
if "Non-2xx" in text:
    sys.exit(1)
def unit(value, suffix, table):
    return float(value) * table[suffix]
requests = int(re.search(r"(\d+) requests in", text).group(1))
m = re.search(r"^\s*50%\s+([\d.]+)(us|ms|s)\s*$", text, re.M)
p50 = unit(m.group(1), m.group(2), {"us": 1e-3, "ms": 1.0, "s": 1e3})
rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
m = re.search(r"Transfer/sec:\s+([\d.]+)(B|KB|MB|GB)", text)
mib = unit(m.group(1), m.group(2), {"B": 1 / 2**20, "KB": 1 / 2**10, "MB": 1.0, "GB": 2**10})
errors = sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", text))
if requests == 0:
    sys.exit(1)
print(requests, "%.4f" % p50, "%.1f" % rps, "%.2f" % mib, errors)
EOF
}

log "file route: small file, 1 connection, 5 s each"
run_wrk 1 "$(agent_url "$SMALL_PATH")" >"$TMP/r"
read -r A_SMALL_N A_SMALL_P50 A_SMALL_RPS _ A_SMALL_ERR <"$TMP/r"
run_wrk 1 "$(nginx_url "$SMALL_PATH")" >"$TMP/r"
read -r N_SMALL_N N_SMALL_P50 N_SMALL_RPS _ N_SMALL_ERR <"$TMP/r"
log "file route: large file, 4 connections, 5 s each"
run_wrk 4 "$(agent_url "$LARGE_PATH")" >"$TMP/r"
read -r A_LARGE_N _ A_LARGE_RPS A_LARGE_MIB A_LARGE_ERR <"$TMP/r"
run_wrk 4 "$(nginx_url "$LARGE_PATH")" >"$TMP/r"
read -r N_LARGE_N _ N_LARGE_RPS N_LARGE_MIB N_LARGE_ERR <"$TMP/r"
HWM_KIB_END="$(status_kib "$AGENT_PID" VmHWM)"
RSS_KIB_END="$(status_kib "$AGENT_PID" VmRSS)"
ANON_KIB_END="$(status_kib "$AGENT_PID" RssAnon)"
FILE_KIB_END="$(status_kib "$AGENT_PID" RssFile)"

# --- Soak --------------------------------------------------------------------------------------

[ "$SOAK" -eq 0 ] || measure_soak

# --- Report ------------------------------------------------------------------------------------

R_CAT_FCLIST="$(calc "$CAT_MED / $FCLIST_MED")"
R_FIRST_FT="$(calc "$FIRST_MS / $FT_MED")"
# Work done before listening counts too: the same figure from the agent's start.
R_START_FT="$(calc "($STARTUP_MS + $FIRST_MS) / $FT_MED")"
R_SMALL="$(calc "$A_SMALL_P50 / $N_SMALL_P50")"
R_WARM_DETAILED="$(calc "$WARM_DETAILED / $WARM_PLAIN")"
R_NGINX_DETAILED="$(calc "$NGINX_WARM_DETAILED / $NGINX_WARM_PLAIN")"
R_FIRST_DETAILED="$(calc "$START_FIRST_DETAILED / $START_FIRST_PLAIN")"
R_FIRST_DETAILED_MIN="$(calc "$START_FIRST_DETAILED_MIN / $START_FIRST_PLAIN_MIN")"
R_LARGE="$(calc "$A_LARGE_MIB / $N_LARGE_MIB")"
PEAK_MIB="$(calc "$HWM_KIB_END / 1024")"
RUN_S="$(calc "($(now_ns) - $RUN_START_NS) / 1e9")"

echo "Vorn Font Agent benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "  machine: $MACHINE"
report_fonts
echo
report_catalogue
echo
report_detailed
echo
echo "File route (GET /?file=PATH; nginx: 1 worker, sendfile, no keep-alive)"
row "small file" "$SMALL_PATH ($SMALL_SIZE bytes)"
row "  agent: median latency, 1 connection" "$(ms "$A_SMALL_P50" 3) ms ($A_SMALL_RPS req/s, $A_SMALL_N requests, $A_SMALL_ERR socket errors)"
row "  nginx: median latency, 1 connection" "$(ms "$N_SMALL_P50" 3) ms ($N_SMALL_RPS req/s, $N_SMALL_N requests, $N_SMALL_ERR socket errors)"
row "large file" "$LARGE_PATH ($LARGE_SIZE bytes)"
row "  agent: throughput, 4 connections" "$A_LARGE_MIB MiB/s ($A_LARGE_RPS req/s, $A_LARGE_N requests, $A_LARGE_ERR socket errors)"
row "  nginx: throughput, 4 connections" "$N_LARGE_MIB MiB/s ($N_LARGE_RPS req/s, $N_LARGE_N requests, $N_LARGE_ERR socket errors)"
row "agent RSS after all of the above (VmRSS / VmHWM)" "$(mib "$RSS_KIB_END") / $(mib "$HWM_KIB_END") MiB (now anonymous $(mib "$ANON_KIB_END"), file-backed $(mib "$FILE_KIB_END"))"
[ "$SOAK" -eq 0 ] || report_soak
echo
echo "Ratios and targets"
target_row "figure" "value" "target" "verdict"
target_row "catalogue median / fc-list median" "$(fmt 2 "$R_CAT_FCLIST")" "<= 0.5" "$(verdict "$R_CAT_FCLIST <= 0.5")"
target_row "first catalogue / FreeType pass" "$(fmt 2 "$R_FIRST_FT")" "<= 0.75" "$(verdict "$R_FIRST_FT <= 0.75")"
target_row "  the same from the agent's start" "$(fmt 2 "$R_START_FT")" "(<= 1.0)" "$(verdict "$R_START_FT <= 1.0")"
target_row "warm detailed / warm plain catalogue" "$(fmt 2 "$R_WARM_DETAILED")" "<= 2.0" "$(verdict "$R_WARM_DETAILED <= 2.0")"
target_row "  the same documents as files from nginx" "$(fmt 2 "$R_NGINX_DETAILED")" "(bytes)" "reference"
target_row "first detailed / first plain, from start" "$(fmt 2 "$R_FIRST_DETAILED")" "<= 1.25" "$(verdict "$R_FIRST_DETAILED <= 1.25")"
# Other work on the machine slows some fresh agents by half or more; the fastest of each kind
# is the least disturbed.
target_row "  the same, fastest of each" "$(fmt 2 "$R_FIRST_DETAILED_MIN")" "(<= 1.25)" "$(verdict "$R_FIRST_DETAILED_MIN <= 1.25")"
target_row "small-file latency agent / nginx" "$(fmt 2 "$R_SMALL")" "<= 2.0" "$(verdict "$R_SMALL <= 2.0")"
target_row "large-file throughput agent / nginx" "$(fmt 2 "$R_LARGE")" ">= 0.5" "$(verdict "$R_LARGE >= 0.5")"
target_row "agent peak RSS, whole run (MiB)" "$(fmt 1 "$PEAK_MIB")" "< 64" "$(verdict "$PEAK_MIB < 64")"
target_row "  of it, peak over the catalogue requests" "$(fmt 1 "$(calc "$HWM_KIB / 1024")")" "< 64" "$(verdict "$HWM_KIB / 1024 < 64")"
if [ "$SOAK" -eq 1 ]; then
    R_SOAK="$(calc "$SOAK_RSS / $RSS_AT_10")"
    target_row "RSS after $SOAK_DONE / after 10 requests" "$(fmt 2 "$R_SOAK")" "~1.0" "(growth: $(mib "$((SOAK_RSS - RSS_AT_10))") MiB)"
fi
echo
echo "Run took $(fmt 0 "$RUN_S") s."
