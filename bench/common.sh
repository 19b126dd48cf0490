# shellcheck shell=bash
# Shared by the bench scripts: process control, figures and the font set. Sourced after
# scripts/common.sh, by a script that defines log() and die().

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

# The benchmark font set: Debian 12 packages, about 2,700 font files (1.3 GB) of many kinds:
# collections (CJK), variable fonts with named instances (Inter, Noto), Type 1 and bitmap
# fonts, names in legacy encodings, icon and emoji fonts.
# shellcheck disable=SC2034 # used by the scripts that source this
FONT_PACKAGES=(
    fonts-noto-core fonts-noto-cjk fonts-noto-extra fonts-cantarell fonts-inter-variable
    fonts-arphic-ukai fonts-arphic-uming fonts-arphic-bkai00mp fonts-arphic-bsmi00lp
    fonts-arphic-gbsn00lp fonts-arphic-gkai00mp fonts-ipafont-gothic fonts-ipaexfont-mincho
    fonts-wqy-zenhei fonts-wqy-microhei fonts-unfonts-core fonts-baekmuk fonts-nanum
    fonts-urw-base35 fonts-texgyre fonts-lmodern fonts-dejavu-extra fonts-liberation2
    fonts-freefont-otf fonts-freefont-ttf fonts-sil-gentiumplus fonts-sil-charis fonts-sil-andika
    fonts-sil-scheherazade fonts-sil-padauk fonts-stix fonts-roboto fonts-open-sans fonts-hack
    fonts-jetbrains-mono fonts-firacode fonts-font-awesome fonts-linuxlibertine fonts-ebgaramond
    fonts-junicode fonts-kacst fonts-farsiweb fonts-thai-tlwg fonts-lohit-deva fonts-smc
    fonts-tibetan-machine fonts-dzongkha fonts-mathjax fonts-oflb-asana-math fonts-cmu xfonts-base
    xfonts-75dpi fonts-terminus-otb fonts-unifont fonts-mplus fonts-vlgothic fonts-takao-mincho
    fonts-monapo fonts-hanazono fonts-comic-neue fonts-crosextra-carlito fonts-crosextra-caladea
    fonts-croscore fonts-lato fonts-quicksand fonts-league-spartan
    fonts-material-design-icons-iconfont fonts-symbola fonts-ancient-scripts fonts-bpg-georgian
    fonts-kouzan-mouhitsu fonts-beng fonts-opensymbol fonts-go fonts-noto-color-emoji
    fonts-noto-mono fonts-noto-ui-core fonts-noto-cjk-extra fonts-manchufont fonts-mononoki
    fonts-fantasque-sans fonts-gfs-didot fonts-gfs-artemisia fonts-oldstandard
    fonts-yanone-kaffeesatz fonts-dosis fonts-ocr-a
)

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

# The preparation both benchmarks share: whatever is missing installed (unless INSTALL is 0; the
# arguments name packages beyond the build's and the font set's), then the agent built into
# BUILD_DIR (unless BUILD is 0). Needs AGENT, BUILD_DIR, INSTALL, BUILD, log and die.
prepare_agent() {
    if [ "$INSTALL" -eq 1 ]; then
        install_packages "${VORN_PACKAGES[@]}" "${FONT_PACKAGES[@]}" "$@" ||
            die "packages could not be installed"
        # The packages' triggers refresh fontconfig's caches; this only makes sure of it.
        fc-cache >/dev/null 2>&1 || true
    fi
    if [ "$BUILD" -eq 1 ]; then
        log "building the agent (Release) in $BUILD_DIR"
        vorn_build "$BUILD_DIR" >&2 || die "the agent did not build"
    fi
    [ -x "$AGENT" ] || die "no agent at $AGENT"
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

# --- A larger font set made of the installed one ------------------------------------------------

# Hard-links every font file named on standard input (one path a line, as fc-list prints them)
# COPIES times, as ROOT/1/PATH .. ROOT/COPIES/PATH. The links share the files' inodes, so the
# copies take no disk space and are read from the same page cache, while fontconfig lists, and
# the agent describes, each path as a font file of its own. Prints the number of files linked
# per copy. Hard links cannot cross filesystems: fails, naming the file, when one is elsewhere.
link_font_copies() {
    "$PY" -c '
import os, sys
root, copies = os.fsencode(sys.argv[1]), int(sys.argv[2])
device = os.stat(root).st_dev
paths = sorted({line.rstrip(b"\n") for line in sys.stdin.buffer if line.strip()})
for path in paths:
    real = os.path.realpath(path)  # a listed symbolic link is linked as the file it names
    if os.stat(real).st_dev != device:
        sys.exit("%s is on another filesystem than %s" % (os.fsdecode(real), os.fsdecode(root)))
    for copy in range(1, copies + 1):
        target = os.path.join(root, b"%d" % copy, path.lstrip(b"/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        os.link(real, target)
print(len(paths))' "$1" "$2"
}

# Writes to CONF a fontconfig configuration of its own: the font folders named after CACHE and
# no others, and CACHE as its cache folder. The machine's conf.d stays out: some of its files
# add font folders of their own (TeX's fonts), which would leak into the set. The copies are of
# the files the machine's configuration lists, so its rejections have been applied already.
write_fonts_conf() {
    local conf="$1" cache="$2" dir
    shift 2
    {
        echo '<?xml version="1.0"?>'
        echo '<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">'
        echo '<fontconfig>'
        for dir in "$@"; do echo "  <dir>$(xml_text "$dir")</dir>"; done
        echo "  <cachedir>$(xml_text "$cache")</cachedir>"
        echo '</fontconfig>'
    } >"$conf"
}
xml_text() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' <<<"$1"; }
