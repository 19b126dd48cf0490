# shellcheck shell=bash
# Shared by the bench scripts: process control, figures and the font set. Sourced after
# scripts/common.sh, by a script that defines log().

PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3

now_ns() { date +%s%N; }

# Stops a process we started, by its pid: TERM, then KILL after 5 s.
stop_pid() {
    local pid="$1"
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# Debian 12's Noto and Cantarell packages hold static fonts only; Inter's variable files (with
# named instances) make sure the variation code is exercised as well.
# shellcheck disable=SC2034 # used by the scripts that source this
FONT_PACKAGES=(fonts-noto-core fonts-noto-cjk fonts-noto-extra fonts-cantarell fonts-inter-variable)

# apt refuses at once while another apt holds the dpkg lock (others install on this machine
# too), so a refusal is retried, a bounded number of times.
install_packages() {
    local try
    for try in $(seq 1 40); do
        if vorn_install_packages "$@"; then return 0; fi
        log "package installation failed (try $try), retrying in 15 s"
        sleep 15
    done
    return 1
}

# The helpers below run in the foreground with their output read back from "$TMP/r": in a
# process substitution one would outlive a stopped run, and its failure would go unnoticed.

# Numbers on standard input, one per line -> "median min max p10 p90" (linear interpolation).
stats() {
    "$PY" -c '
import sys
v = sorted(float(x) for x in sys.stdin.read().split())
if not v: sys.exit(1)
def q(p):
    k = (len(v) - 1) * p
    lo = int(k); hi = min(lo + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (k - lo)
print(" ".join("%.6f" % x for x in (q(0.5), v[0], v[-1], q(0.1), q(0.9))))'
}
median_of() { stats | cut -d' ' -f1; }
# Arithmetic on figures: calc 'a / b' with the numbers substituted by the caller.
calc() { "$PY" -c "print('%.6f' % ($1))"; }
fmt() { "$PY" -c "import sys; print(('%.' + sys.argv[1] + 'f') % float(sys.argv[2]))" "$1" "$2"; }

# Prints N (default 2) loopback ports that were free a moment ago.
free_ports() {
    "$PY" -c '
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])' "${1:-2}"
}

# Waits until something accepts connections on the loopback port, while PID lives; bounded.
wait_listening() {
    local pid="$1" port="$2"
    for _ in $(seq 1 6000); do
        kill -0 "$pid" 2>/dev/null || return 1
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
        sleep 0.005
    done
    return 1
}

status_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
