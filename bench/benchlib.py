"""What the bench scripts share: the font set and its installation, the agent's build, figures
from lists of timings and from /proc, and the hard-linked larger font set of run.py --scale.
Processes, sockets and fontconfig worlds come from tests/harness/vorn_harness.py.

Import it with bench/ on sys.path (the scripts here put it there themselves).
"""

import argparse
import collections
import http.client
import os
import shutil
import subprocess
import sys
import tempfile
import time
import xml.sax.saxutils

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "harness"))
import vorn_harness  # noqa: E402

PY = "/usr/bin/python3"
# The configuration fontconfig reads when FONTCONFIG_FILE is unset: the machine's own fonts.
MACHINE_FONTS_CONF = "/etc/fonts/fonts.conf"

# The benchmark font set: Debian 12 packages, about 2,700 font files (1.3 GB) of many kinds:
# collections (CJK), variable fonts with named instances (Inter, Noto), Type 1 and bitmap
# fonts, names in legacy encodings, icon and emoji fonts.
FONT_PACKAGES = tuple((
    "fonts-noto-core fonts-noto-cjk fonts-noto-extra fonts-cantarell fonts-inter-variable "
    "fonts-arphic-ukai fonts-arphic-uming fonts-arphic-bkai00mp fonts-arphic-bsmi00lp "
    "fonts-arphic-gbsn00lp fonts-arphic-gkai00mp fonts-ipafont-gothic fonts-ipaexfont-mincho "
    "fonts-wqy-zenhei fonts-wqy-microhei fonts-unfonts-core fonts-baekmuk fonts-nanum "
    "fonts-urw-base35 fonts-texgyre fonts-lmodern fonts-dejavu-extra fonts-liberation2 "
    "fonts-freefont-otf fonts-freefont-ttf fonts-sil-gentiumplus fonts-sil-charis "
    "fonts-sil-andika fonts-sil-scheherazade fonts-sil-padauk fonts-stix fonts-roboto "
    "fonts-open-sans fonts-hack fonts-jetbrains-mono fonts-firacode fonts-font-awesome "
    "fonts-linuxlibertine fonts-ebgaramond fonts-junicode fonts-kacst fonts-farsiweb "
    "fonts-thai-tlwg fonts-lohit-deva fonts-smc fonts-tibetan-machine fonts-dzongkha "
    "fonts-mathjax fonts-oflb-asana-math fonts-cmu xfonts-base xfonts-75dpi fonts-terminus-otb "
    "fonts-unifont fonts-mplus fonts-vlgothic fonts-takao-mincho fonts-monapo fonts-hanazono "
    "fonts-comic-neue fonts-crosextra-carlito fonts-crosextra-caladea fonts-croscore fonts-lato "
    "fonts-quicksand fonts-league-spartan fonts-material-design-icons-iconfont fonts-symbola "
    "fonts-ancient-scripts fonts-bpg-georgian fonts-kouzan-mouhitsu fonts-beng fonts-opensymbol "
    "fonts-go fonts-noto-color-emoji fonts-noto-mono fonts-noto-ui-core fonts-noto-cjk-extra "
    "fonts-manchufont fonts-mononoki fonts-fantasque-sans fonts-gfs-didot fonts-gfs-artemisia "
    "fonts-oldstandard fonts-yanone-kaffeesatz fonts-dosis fonts-ocr-a").split())

# apt refuses at once while another apt holds the dpkg lock (others install on this machine
# too), so a refusal is retried, a bounded number of times.
INSTALL_TRIES = 40
INSTALL_PAUSE_SECONDS = 15


class CannotMeasure(Exception):
    """A figure could not be taken: a build, a server or a request failed."""


def project_shell(command, *args):
    """Runs bash `command` after scripts/common.sh (the build's package list and its install
    and build functions, one copy for the whole project), its output on standard error."""
    script = 'set -e; source "%s/scripts/common.sh"; %s' % (ROOT, command)
    return subprocess.run(["bash", "-c", script, "bash"] + list(args),
                          stdout=sys.stderr).returncode == 0


def install_packages(packages, log):
    """Installs the build's packages, the font set and `packages`, whichever are missing."""
    for attempt in range(1, INSTALL_TRIES + 1):
        if project_shell('vorn_install_packages "${VORN_PACKAGES[@]}" "$@"',
                         *FONT_PACKAGES, *packages):
            # The packages' triggers refresh fontconfig's caches; this only makes sure of it.
            subprocess.run(["fc-cache"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return
        log("package installation failed (try %d), retrying in %d s"
            % (attempt, INSTALL_PAUSE_SECONDS))
        time.sleep(INSTALL_PAUSE_SECONDS)
    raise CannotMeasure("packages could not be installed")


def prepare_agent(build_dir, install, build, packages, log):
    """What every benchmark does first: whatever is missing installed (`packages` beyond the
    build's and the font set's), then the agent built in Release mode into `build_dir`.
    Returns the agent's path."""
    if install:
        install_packages(packages, log)
    if build:
        log("building the agent (Release) in %s" % build_dir)
        if not project_shell('vorn_build "$1" >&2', build_dir):
            raise CannotMeasure("the agent did not build")
    agent = os.path.join(build_dir, "vorn-font-agent")
    if not os.access(agent, os.X_OK):
        raise CannotMeasure("no agent at %s" % agent)
    return agent


def default_build_dir():
    return os.environ.get("VORN_BENCH_BUILD_DIR") or os.path.join(ROOT, "build")


# --- Figures -----------------------------------------------------------------------------------

def quantile(values, q):
    """Linear interpolation between the closest ranks."""
    values = sorted(values)
    k = (len(values) - 1) * q
    lo = int(k)
    hi = min(lo + 1, len(values) - 1)
    return values[lo] + (values[hi] - values[lo]) * (k - lo)


def stats(values):
    """(median, min, max, p10, p90) of a non-empty list."""
    if not values:
        raise CannotMeasure("no figures to summarise")
    return (quantile(values, 0.5), min(values), max(values), quantile(values, 0.1),
            quantile(values, 0.9))


def status_kib(pid, key):
    """A kB field of /proc/PID/status (VmRSS, VmHWM, RssAnon, ...)."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise CannotMeasure("no %s for pid %d" % (key, pid))


def http_get(port, target, timeout=60):
    """One request on a new connection to the loopback port: (status, body)."""
    conn = http.client.HTTPConnection(vorn_harness.LOOPBACK, port, timeout=timeout)
    try:
        conn.request("GET", target)
        reply = conn.getresponse()
        return reply.status, reply.read()
    finally:
        conn.close()


# --- A larger font set made of the installed one -----------------------------------------------

def link_font_copies(root, copies, paths):
    """Hard-links every font file in `paths` (as fc-list prints them) `copies` times, as
    ROOT/1/PATH .. ROOT/COPIES/PATH. The links share the files' inodes, so the copies take no
    disk space and are read from the same page cache, while fontconfig lists, and the agent
    describes, each path as a font file of its own. Returns the number of files linked per
    copy. Hard links cannot cross filesystems: raises CannotMeasure naming the file when one is
    elsewhere, before linking anything."""
    root = os.fsencode(root)
    paths = sorted({os.fsencode(p) for p in paths if p.strip()})
    device = os.stat(root).st_dev
    real = {}
    for path in paths:
        real[path] = os.path.realpath(path)  # a listed symbolic link is linked as its file
        if os.stat(real[path]).st_dev != device:
            raise CannotMeasure("%s is on another filesystem than %s"
                                % (os.fsdecode(real[path]), os.fsdecode(root)))
    for path in paths:
        for copy in range(1, copies + 1):
            target = os.path.join(root, b"%d" % copy, path.lstrip(b"/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.link(real[path], target)
    return len(paths)


def write_private_fonts_conf(conf, cache, font_dirs):
    """A fontconfig configuration of its own: these font folders and no others, and `cache` as
    its cache folder. The machine's conf.d stays out: some of its files add font folders of
    their own (TeX's fonts), which would leak into the set. Folder names are escaped, since
    the harness writes them into the XML as they are."""
    vorn_harness.write_fonts_conf(conf, [xml.sax.saxutils.escape(d) for d in font_dirs],
                                  xml.sax.saxutils.escape(cache))


# root: the folder to remove; source_files: files linked per copy; conf: copies -> fonts.conf
ScaledFonts = collections.namedtuple("ScaledFonts", "root source_files conf")


def make_scaled_fonts(parent, copies, paths):
    """Hard-links `paths` (font files) `copies` times under a new folder in `parent`, with a
    configuration for one copy and one for all of them. Both share one cache folder, so the
    first copy is scanned once. The caller removes the folder (ScaledFonts.root)."""
    root = tempfile.mkdtemp(prefix="vorn-scale.", dir=parent)
    try:
        os.chmod(root, 0o755)
        source_files = link_font_copies(root, copies, paths)
        cache = os.path.join(root, "cache")
        os.makedirs(cache)
        dirs = [os.path.join(root, str(copy)) for copy in range(1, copies + 1)]
        conf = {}
        for count in sorted({1, copies}):
            conf[count] = os.path.join(root, "fonts-%d.conf" % count)
            write_private_fonts_conf(conf[count], cache, dirs[:count])
        return ScaledFonts(root, source_files, conf)
    except BaseException:
        shutil.rmtree(root, ignore_errors=True)
        raise


def listed_font_files(conf=None):
    """The font files fontconfig lists, each once (collections repeat their file per face)."""
    env = dict(os.environ, FONTCONFIG_FILE=conf) if conf else None
    out = subprocess.run(["fc-list", "--format", "%{file}\n"], env=env, stdout=subprocess.PIPE,
                         check=True).stdout
    return sorted({os.fsdecode(line) for line in out.split(b"\n") if line})


def option_parser(prog, usage):
    """An option parser with the options every benchmark has (--no-install, --no-build, -h),
    that answers wrong options with `usage` on standard error, status 2."""
    parser = argparse.ArgumentParser(prog=prog, add_help=False)

    def refuse(message):
        print(usage, end="", file=sys.stderr)
        sys.exit(2)

    parser.error = refuse
    parser.add_argument("--no-install", dest="install", action="store_false")
    parser.add_argument("--no-build", dest="build", action="store_false")
    parser.add_argument("-h", "--help", action="store_true")
    return parser
