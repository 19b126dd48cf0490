#!/usr/bin/env bash
# Load and soak checks of the agent on loopback, with the machine's own fonts: the file route
# under wrk, the catalogue asked for 1000 times, slow clients, 1000 connections at once,
# oversized requests, and the agent's state at the end. Each check prints its figures and PASS
# or FAIL on standard output (progress goes to standard error); the status is non-zero when any
# check fails or cannot run.
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: bench/load.sh [--short] [--agent-nofile N] [--no-install] [--no-build]
  --short        5 s of wrk load per run instead of 30 s
  --agent-nofile N
                 start the agent with this descriptor limit (as under systemd, whose default
                 soft limit is 1024) instead of the script's own (at least 4096)
  --no-install   do not install missing packages
  --no-build     use the agent already built in the build folder
Environment: VORN_BENCH_BUILD_DIR (default: build/ of the repository)
EOF
}

LOAD_SECONDS=30
AGENT_NOFILE=""
INSTALL=1
BUILD=1
while [ $# -gt 0 ]; do
    case "$1" in
        --short) LOAD_SECONDS=5 ;;
        --agent-nofile)
            if [ $# -lt 2 ] || ! [[ "$2" =~ ^[0-9]+$ ]]; then usage >&2; exit 2; fi
            AGENT_NOFILE="$2"
            shift
            ;;
        --no-install) INSTALL=0 ;;
        --no-build) BUILD=0 ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
    shift
done

BENCH_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=scripts/common.sh
source "$BENCH_DIR/../scripts/common.sh"
# shellcheck source=bench/common.sh
source "$BENCH_DIR/common.sh"
BUILD_DIR="${VORN_BENCH_BUILD_DIR:-$VORN_ROOT/build}"
AGENT="$BUILD_DIR/vorn-font-agent"
CLIENTS="$BENCH_DIR/load_clients.py"
WRK_CONNECTIONS=100
MIX_FILES=20
UNLISTED=/etc/passwd
# The slow-client check runs against an agent of its own with this HTTP time-out, to stay short;
# the main agent keeps the default (120 s), so that any connection it failed to close would
# still be open, and counted, at the end.
SLOW_TIMEOUT=3
# Idle descriptors may differ by this much from the baseline at the end.
FD_SLACK=3

log() { echo "load: $*" >&2; }
die() {
    echo "load: cannot run: $*" >&2
    exit 1
}

RUN_START_NS=$(now_ns)
TMP="$(mktemp -d /tmp/vorn-load.XXXXXX)"
AGENT_PID=""
SLOW_PID=""
cleanup() {
    stop_pid "$AGENT_PID"
    stop_pid "$SLOW_PID"
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# --- Preparation -------------------------------------------------------------------------------

prepare_agent wrk curl
for tool in curl wrk timeout; do
    command -v "$tool" >/dev/null || die "$tool is missing"
done

# 1000 client sockets and as many accepted ones on the agent's side, plus some to spare.
if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt 4096 ]; then
    ulimit -n 4096 || die "cannot raise the descriptor limit to 4096"
fi

free_ports 2 >"$TMP/r"
read -r AGENT_PORT SLOW_PORT <"$TMP/r"

fd_count() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }
# Prints the HTTP status of one request to the agent on port $1 (000 when none came).
http_status() {
    curl -s -o "${3:-/dev/null}" --max-time 30 -w '%{http_code}' "http://127.0.0.1:$1/$2" || true
}
urlencode() { "$PY" -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe="/"))' "$1"; }
row() { printf '  %-44s %s\n' "$1" "$2"; }

# Starts an agent on port $1 with further options; sets STARTED_PID. The subshell execs the
# agent, so the pid is the agent's own and the descriptor limit applies to it alone.
start_agent() {
    local port="$1"
    shift
    (
        [ -z "$AGENT_NOFILE" ] || ulimit -n "$AGENT_NOFILE"
        exec "$AGENT" -l 127.0.0.1 -p "$port" "$@" </dev/null >"$TMP/agent-$port.out" 2>&1
    ) &
    STARTED_PID=$!
    wait_listening "$STARTED_PID" "$port" && return 0
    log "the agent did not come up on port $port: $(head -c 300 "$TMP/agent-$port.out")"
    return 1
}

# Stops the agent PID with SIGTERM, waiting at most 10 s; sets STOP_STATUS to its exit status
# (or "hung"). Not in a command substitution: only this shell can wait for its child.
stop_agent() {
    local pid="$1"
    STOP_STATUS=0
    kill -TERM "$pid" 2>/dev/null || { STOP_STATUS=gone; return 0; }
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        STOP_STATUS=hung
        return 0
    fi
    wait "$pid" || STOP_STATUS=$?
}

log "starting the agent on 127.0.0.1:$AGENT_PORT"
start_agent "$AGENT_PORT" || die "no agent"
AGENT_PID=$STARTED_PID
code="$(http_status "$AGENT_PORT" "" "$TMP/catalogue.json")"
[ "$code" = 200 ] || die "the first catalogue request answered $code"
"$PY" "$CLIENTS" files "$TMP/catalogue.json" "$TMP/small" "$TMP/mix" --mix "$MIX_FILES" >"$TMP/r" ||
    die "no font files to load the file route with"
read -r LISTED_FILES MIX_MIN MIX_MAX <"$TMP/r"
read -r SMALL_SIZE SMALL_PATH <"$TMP/small"
echo "/?file=$(urlencode "$UNLISTED")" >>"$TMP/mix"
SMALL_URL="http://127.0.0.1:$AGENT_PORT/?file=$(urlencode "$SMALL_PATH")"
code="$(http_status "$AGENT_PORT" "?file=$(urlencode "$SMALL_PATH")")"
[ "$code" = 200 ] || die "the small file answered $code"
# The idle state to come back to: listening, one catalogue and one file served.
sleep 0.5
IDLE_FDS="$(fd_count "$AGENT_PID")"
IDLE_RSS="$(status_kib "$AGENT_PID" VmRSS)"

# Counts replies by status; the unlisted path's replies are told apart by the file name that
# the agent puts in Content-Disposition (as it does for a 404 too), since wrk does not say which
# request a reply answers.
cat >"$TMP/mix.lua" <<'EOF'
local threads = {}
function setup(thread) table.insert(threads, thread) end

function init(args)
    paths = {}
    for line in io.lines(args[1]) do table.insert(paths, line) end
    unlisted_name = 'filename="' .. args[2] .. '"'
    n = 0
    unlisted_sent, listed_200, listed_other, unlisted_404, unlisted_other, unknown = 0, 0, 0, 0, 0, 0
end

function request()
    n = n % #paths + 1
    if n == #paths then unlisted_sent = unlisted_sent + 1 end
    return wrk.format("GET", paths[n])
end

function response(status, headers, body)
    local cd = headers["Content-Disposition"]
    if cd == nil then
        unknown = unknown + 1
    elseif string.find(cd, unlisted_name, 1, true) then
        if status == 404 then unlisted_404 = unlisted_404 + 1 else unlisted_other = unlisted_other + 1 end
    elseif status == 200 then
        listed_200 = listed_200 + 1
    else
        listed_other = listed_other + 1
    end
end

function done(summary, latency, requests)
    local names = {"unlisted_sent", "listed_200", "listed_other", "unlisted_404", "unlisted_other", "unknown"}
    local line = "mix:"
    for _, name in ipairs(names) do
        local total = 0
        for _, t in ipairs(threads) do total = total + t:get(name) end
        line = line .. " " .. name .. "=" .. total
    end
    print(line)
end
EOF

# --- Checks ------------------------------------------------------------------------------------

CHECKS=()
VERDICTS=()

# Runs one check function: its title, its figures, its verdict. 0 pass, 2 could not run.
run_check() {
    local title="$1" status=0 verdict
    shift
    echo
    echo "$title"
    "$@" || status=$?
    case "$status" in
        0) verdict=PASS ;;
        2) verdict="FAIL (could not run)" ;;
        *) verdict=FAIL ;;
    esac
    row "verdict" "$verdict"
    CHECKS+=("$title")
    VERDICTS+=("$verdict")
}

need_agent() {
    alive "$AGENT_PID" || { row "the agent" "is not running"; return 2; }
}

# The agent still running and answering the catalogue.
still_serving() {
    local code
    if ! alive "$AGENT_PID"; then
        row "agent afterwards" "NOT RUNNING"
        return 1
    fi
    code="$(http_status "$AGENT_PORT" "")"
    row "agent afterwards" "running; a catalogue request answered $code"
    [ "$code" = 200 ]
}

run_wrk() {
    local out="$TMP/wrk.out"
    timeout $((LOAD_SECONDS + 30)) wrk -t 2 -c "$WRK_CONNECTIONS" -d "${LOAD_SECONDS}s" --timeout 2s \
        --latency "$@" >"$out" 2>&1 || { row "wrk failed" "$(tr '\n' ' ' <"$out" | head -c 300)"; return 2; }
}

check_file_load() {
    need_agent || return 2
    row "file" "$SMALL_PATH ($SMALL_SIZE bytes)"
    log "wrk: $WRK_CONNECTIONS connections, $LOAD_SECONDS s, one file"
    run_wrk "$SMALL_URL" || return 2
    "$PY" "$CLIENTS" wrk-report "$TMP/wrk.out" || return $?
    still_serving
}

check_mix_load() {
    need_agent || return 2
    row "paths" "$MIX_FILES listed files ($MIX_MIN to $MIX_MAX bytes) and $UNLISTED, in turn"
    log "wrk: $WRK_CONNECTIONS connections, $LOAD_SECONDS s, $MIX_FILES files and $UNLISTED"
    run_wrk -s "$TMP/mix.lua" "http://127.0.0.1:$AGENT_PORT/" -- "$TMP/mix" "$(basename "$UNLISTED")" || return 2
    "$PY" "$CLIENTS" wrk-report "$TMP/wrk.out" --mix --unlisted "$UNLISTED" || return $?
    still_serving
}

check_catalogue_soak() {
    need_agent || return 2
    log "1000 catalogue requests, one after another"
    timeout 900 "$PY" "$CLIENTS" soak --port "$AGENT_PORT" --pid "$AGENT_PID" --count 1000 --early 10 \
        --max-seconds 600
}

check_slow_client() {
    local status=0 idle_fds end_fds
    log "slow clients, against an agent started with -t $SLOW_TIMEOUT on 127.0.0.1:$SLOW_PORT"
    start_agent "$SLOW_PORT" -t "$SLOW_TIMEOUT" || { SLOW_PID=$STARTED_PID; return 2; }
    SLOW_PID=$STARTED_PID
    [ "$(http_status "$SLOW_PORT" "")" = 200 ] || { row "the -t $SLOW_TIMEOUT agent" "does not serve"; return 2; }
    sleep 0.2
    idle_fds="$(fd_count "$SLOW_PID")"
    timeout 60 "$PY" "$CLIENTS" slow --port "$SLOW_PORT" --file "$SMALL_PATH" --clients 50 --bound 2 \
        --timeout "$SLOW_TIMEOUT" --max-wait 10 || status=$?
    sleep 0.2
    end_fds="$(fd_count "$SLOW_PID")"
    row "descriptors of that agent: idle / now" "$idle_fds / $end_fds"
    stop_agent "$SLOW_PID"
    SLOW_PID=""
    row "that agent stopped with SIGTERM" "exit status $STOP_STATUS"
    [ "$STOP_STATUS" = 0 ] && [ "$end_fds" -le $((idle_fds + FD_SLACK)) ] || [ "$status" -ne 0 ] || status=1
    return "$status"
}

check_flood() {
    local status=0
    need_agent || return 2
    log "1000 connections at once"
    row "descriptor limit: clients / agent" "$(ulimit -n) / $(awk '/^Max open files/ { print $4 }' "/proc/$AGENT_PID/limits")"
    timeout 120 "$PY" "$CLIENTS" flood --port "$AGENT_PORT" --file "$SMALL_PATH" --count 1000 \
        --catalogue-size "$(stat -c %s "$TMP/catalogue.json")" --max-seconds 60 || status=$?
    still_serving || [ "$status" -ne 0 ] || status=1
    return "$status"
}

check_oversized() {
    local status=0
    need_agent || return 2
    log "oversized requests"
    timeout 120 "$PY" "$CLIENTS" oversized --port "$AGENT_PORT" --timeout 10 || status=$?
    still_serving || [ "$status" -ne 0 ] || status=1
    return "$status"
}

check_end_state() {
    local fds rss ok=0
    if ! alive "$AGENT_PID"; then
        row "agent" "NOT RUNNING"
        return 1
    fi
    row "agent" "running (pid $AGENT_PID)"
    # Connections closed by the clients a moment ago may take the agent a moment to close.
    for _ in $(seq 1 50); do
        fds="$(fd_count "$AGENT_PID")"
        [ "$fds" -gt $((IDLE_FDS + FD_SLACK)) ] || break
        sleep 0.2
    done
    rss="$(status_kib "$AGENT_PID" VmRSS)"
    row "VmRSS: idle at the start / now" "$(fmt 1 "$(calc "$IDLE_RSS / 1024")") / $(fmt 1 "$(calc "$rss / 1024")") MiB (VmHWM $(fmt 1 "$(calc "$(status_kib "$AGENT_PID" VmHWM) / 1024")") MiB)"
    row "open descriptors: idle at the start / now" "$IDLE_FDS / $fds (allowed: +-$FD_SLACK)"
    [ "$fds" -le $((IDLE_FDS + FD_SLACK)) ] && [ "$fds" -ge $((IDLE_FDS - FD_SLACK)) ] || ok=1
    stop_agent "$AGENT_PID"
    AGENT_PID=""
    row "stopped with SIGTERM" "exit status $STOP_STATUS"
    [ "$STOP_STATUS" = 0 ] || ok=1
    return "$ok"
}

echo "Vorn Font Agent load checks, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "  machine: $(nproc) cores, $(uname -r); fonts: $LISTED_FILES files in the catalogue"
echo "  agent:   $AGENT -l 127.0.0.1 -p $AGENT_PORT (idle: $IDLE_FDS descriptors, VmRSS $(fmt 1 "$(calc "$IDLE_RSS / 1024")") MiB,"
echo "           descriptor limit $(awk '/^Max open files/ { print $4 }' "/proc/$AGENT_PID/limits"))"

run_check "1a. File route under load: one file, $WRK_CONNECTIONS connections, $LOAD_SECONDS s" check_file_load
run_check "1b. File route under load: $MIX_FILES files and an unlisted path, $WRK_CONNECTIONS connections, $LOAD_SECONDS s" check_mix_load
run_check "2. Catalogue 1000 times, one after another" check_catalogue_soak
run_check "3. Slow clients (agent with -t $SLOW_TIMEOUT)" check_slow_client
run_check "4. 1000 connections at once" check_flood
run_check "5. Oversized requests" check_oversized
run_check "6. The agent at the end" check_end_state

echo
echo "Summary"
FAILED=0
for i in "${!CHECKS[@]}"; do
    printf '  %-4s %s\n' "${VERDICTS[$i]}" "${CHECKS[$i]}"
    [ "${VERDICTS[$i]}" = PASS ] || FAILED=$((FAILED + 1))
done
echo
echo "$((${#CHECKS[@]} - FAILED)) of ${#CHECKS[@]} checks passed; run took $(fmt 0 "$(calc "($(now_ns) - $RUN_START_NS) / 1e9")") s."
[ "$FAILED" -eq 0 ]
