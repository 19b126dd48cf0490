#!/usr/bin/python3
"""Measures the agent on loopback against reference programs over a realistic font set: the
catalogue against fc-list and a bare FreeType pass (bench/ftpass.cpp), the file route against
nginx serving the same files. With --scale N, the catalogue figures over N hard-linked copies
of the same fonts against one copy, and how each grows. Prints a table on standard output,
progress on standard error. Exits non-zero only when a figure could not be measured, never
because a figure is slow.

Every server listens on a loopback socket bound here and handed to it (the agent as systemd
hands it, nginx as its own binary upgrade does), so no port is probed, and every process is
stopped by its pid when the run ends, whatever the outcome.
"""

import contextlib
import dataclasses
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402
from benchlib import CannotMeasure, stats, status_kib  # noqa: E402
from vorn_harness import LOOPBACK, Agent, listening_socket, stop_process  # noqa: E402

USAGE = """\
Usage: bench/run.sh [--scale N | --covers] [--soak] [--runs N] [--no-install] [--no-build]
  --scale N      the catalogue figures (no file route) over N hard-linked copies of the
                 installed fonts and over one copy, each under a fontconfig configuration and
                 cache of its own, and how each figure grows from 1x to Nx (N from 2 to 16)
  --soak         also compare the agent's memory after 10 and after 1000 catalogue requests
                 (takes long: 1000 catalogue builds; bounded by VORN_BENCH_SOAK_SECONDS, 3600);
                 with --scale, at Nx only
  --covers       only the catalogue restricted to a text (?covers=TEXT) against the whole
                 one, warm, side by side on one agent over the machine's fonts, plain and
                 detailed: the same text again and a text not asked for before
  --runs N       catalogue requests after the first one (at least 10, default 20)
  --no-install   do not install missing packages
  --no-build     use the agent already built in the build folder
Environment: VORN_BENCH_BUILD_DIR (default: build/ of the repository),
  VORN_BENCH_SCALE_DIR (where --scale puts its copies, on the fonts' filesystem; default /var/tmp)
"""

SOAK_TOTAL = 1000
# Per request; a catalogue that takes longer than this is reported as unmeasurable.
REQUEST_MAX_SECONDS = 300
FCLIST_RUNS = 7
FCLIST_FORMAT = "%{file}|%{family}|%{style}\n"
FTPASS_RUNS = 3
# Fresh agents of each kind, alternating plain and detailed, so that a first figure is a
# median and drift on the shared machine hits both kinds alike.
FIRST_AGENTS = 7
# How often, and how many times, the agent's socket is looked at until the agent accepts.
ACCEPT_POLL_SECONDS = 0.005
ACCEPT_POLLS = 6000
# wrk: seconds of load per run, and the bound on the whole run.
WRK_SECONDS = 5
WRK_MAX_SECONDS = 30
# The file route's large file must be a large one, or its figure says little.
LARGE_FILE_MIN_BYTES = 15 * 1000 * 1000
QUERIES = {"plain": "", "detailed": "?details=1"}


def log(message):
    print("bench: %s" % message, file=sys.stderr, flush=True)


# --- Options and setup -------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Setup:
    agent: str
    ftpass: str
    nginx: str  # "" under --scale, which has no file route
    tmp: str
    runs: int
    soak: bool
    soak_seconds: int
    machine: str
    load_at_start: str  # /proc/loadavg's three averages when the run began


def parse_options(argv):
    parser = benchlib.option_parser("bench/run.sh", USAGE)
    parser.add_argument("--scale", default="0")
    parser.add_argument("--soak", action="store_true")
    parser.add_argument("--covers", action="store_true")
    parser.add_argument("--runs", default="20")
    options = parser.parse_args(argv)
    if options.help:
        print(USAGE, end="")
        sys.exit(0)
    if not options.runs.isdigit() or not 10 <= int(options.runs) <= 1000:
        print("bench: --runs takes a number from 10 to 1000", file=sys.stderr)
        sys.exit(2)
    if not options.scale.isdigit() or (int(options.scale) != 0 and
                                       not 2 <= int(options.scale) <= 16):
        print("bench: --scale takes a number from 2 to 16", file=sys.stderr)
        sys.exit(2)
    options.runs, options.scale = int(options.runs), int(options.scale)
    if options.covers and (options.scale or options.soak):
        print("bench: --covers takes neither --scale nor --soak", file=sys.stderr)
        sys.exit(2)
    return options


def command_output(*command):
    return subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True).stdout.strip()


def prepare(options, tmp, load_at_start):
    """Installs and builds what the run needs and builds the FreeType pass."""
    build_dir = benchlib.default_build_dir()
    agent = benchlib.prepare_agent(build_dir, options.install, options.build, ["wrk", "curl"],
                                   log)
    tools = ["curl", "fc-list", "fc-cache", "pkg-config", "g++"]
    nginx = ""
    if options.scale == 0:
        for package in ("nginx-light", "nginx") if options.install else ():
            if find_nginx():
                break
            with contextlib.suppress(CannotMeasure):
                benchlib.install_packages([package], log)
        nginx = find_nginx()
        if options.install and not nginx:
            raise CannotMeasure("nginx could not be installed")
        tools += ["wrk", nginx or "nginx"]
    for tool in tools:
        if not shutil.which(tool):
            raise CannotMeasure("%s is missing" % tool)
    ftpass = os.path.join(build_dir, "bench", "ftpass")
    os.makedirs(os.path.dirname(ftpass), exist_ok=True)
    flags = command_output("pkg-config", "--cflags", "--libs", "fontconfig", "freetype2").split()
    if subprocess.run(["g++", "-std=c++17", "-O2", "-o", ftpass,
                       os.path.join(benchlib.ROOT, "bench", "ftpass.cpp")] + flags).returncode:
        raise CannotMeasure("ftpass did not build")
    version = lambda package: command_output("pkg-config", "--modversion", package)  # noqa
    machine = "%d cores, %s, fontconfig %s, FreeType %s" % (
        len(os.sched_getaffinity(0)), os.uname().release, version("fontconfig"),
        version("freetype2"))
    return Setup(agent=agent, ftpass=ftpass, nginx=nginx, tmp=tmp, runs=options.runs,
                 soak=options.soak,
                 soak_seconds=int(os.environ.get("VORN_BENCH_SOAK_SECONDS", "3600")),
                 machine=machine, load_at_start=load_at_start)


def find_nginx():
    return shutil.which("nginx") or ("/usr/sbin/nginx" if os.access("/usr/sbin/nginx", os.X_OK)
                                     else "")


def fontconfig_env(conf):
    return dict(os.environ, FONTCONFIG_FILE=conf)


def elapsed_ms(start_ns):
    return (time.perf_counter_ns() - start_ns) / 1e6


# --- Requests ----------------------------------------------------------------------------------

def curl_request(url, out="/dev/null", max_seconds=REQUEST_MAX_SECONDS):
    """One request with curl: (status, seconds, bytes) as curl measures them."""
    done = subprocess.run(
        ["curl", "-s", "--noproxy", "*", "-o", out, "--max-time", str(max_seconds),
         "-w", "%{http_code} %{time_total} %{size_download}", url],
        stdout=subprocess.PIPE, text=True)
    if done.returncode:
        raise CannotMeasure("request for %s failed (curl status %d)" % (url, done.returncode))
    code, seconds, size = done.stdout.split()
    return code, float(seconds), int(size)


def catalogue_request(port, query="", out="/dev/null"):
    """One catalogue request: (seconds, bytes); the body goes to `out`."""
    code, seconds, size = curl_request("http://%s:%d/%s" % (LOOPBACK, port, query), out)
    if code != "200":
        raise CannotMeasure("catalogue request answered %s" % code)
    return seconds, size


# --- The agent ---------------------------------------------------------------------------------

def accept_queue(port):
    """Connections waiting to be accepted on the loopback socket listening on `port`."""
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if fields[3] == "0A" and fields[1].endswith(":%04X" % port):
                return int(fields[4].split(":")[1], 16)
    raise CannotMeasure("nothing listens on port %d" % port)


def start_agent(setup, conf, name):
    """Starts an agent over `conf`: (the agent, ms from its start until it accepted a first
    connection). The socket listens before the agent runs, so a connect alone says nothing:
    one connection is queued at once and the socket's accept queue watched until the agent has
    taken it, which is when it would first have answered a connect of its own."""
    start = time.perf_counter_ns()
    with open(os.path.join(setup.tmp, name + ".out"), "wb") as out:
        agent = Agent(setup.agent, conf, log=out)
    try:
        with socket.create_connection((LOOPBACK, agent.port), timeout=10):
            for _ in range(ACCEPT_POLLS):
                if agent.proc.poll() is not None:
                    break
                if accept_queue(agent.port) == 0:
                    return agent, elapsed_ms(start)
                time.sleep(ACCEPT_POLL_SECONDS)
        with open(os.path.join(setup.tmp, name + ".out"), "rb") as f:
            said = f.read(300).decode(errors="replace")
        raise CannotMeasure("the agent did not come up (see its output: %s)" % said)
    except BaseException:
        agent.stop()
        raise


# --- References --------------------------------------------------------------------------------

@dataclasses.dataclass
class References:
    fclist: tuple  # median, min, max (ms)
    fclist_lines: int
    ftpass: tuple  # median, min, max (ms)
    ft_list_ms: float
    ft_freetype_ms: float
    files: int
    faces: int
    instances: int
    unreadable: int


def run_ftpass(setup, conf):
    done = subprocess.run([setup.ftpass], env=fontconfig_env(conf), stdout=subprocess.PIPE,
                          text=True)
    if done.returncode:
        raise CannotMeasure("ftpass failed")
    return {key: float(value) for key, value in re.findall(r"\b(\w+)=([0-9.]+)", done.stdout)}


def run_fclist(conf):
    done = subprocess.run(["fc-list", "--format", FCLIST_FORMAT], env=fontconfig_env(conf),
                          stdout=subprocess.PIPE)
    if done.returncode:
        raise CannotMeasure("fc-list failed")
    return done.stdout


def measure_references(setup, conf):
    """fc-list and the FreeType pass over the fonts of `conf`."""
    log("reference runs (fc-list, FreeType pass)")
    # Warm-up: every figure below is then taken with the font files in the page cache.
    run_ftpass(setup, conf)
    lines = run_fclist(conf).count(b"\n")
    fclist = []
    for _ in range(FCLIST_RUNS):
        start = time.perf_counter_ns()
        run_fclist(conf)
        fclist.append(elapsed_ms(start))
    passes = [run_ftpass(setup, conf) for _ in range(FTPASS_RUNS)]
    first = passes[0]
    refs = References(
        fclist=stats(fclist)[:3], fclist_lines=lines,
        ftpass=stats([p["total_ms"] for p in passes])[:3],
        ft_list_ms=stats([p["list_ms"] for p in passes])[0],
        ft_freetype_ms=stats([p["freetype_ms"] for p in passes])[0],
        files=int(first["files"]), faces=int(first["faces"]),
        instances=int(first["named_instances"]), unreadable=int(first["unreadable"]))
    if refs.files < 1000:
        log("warning: only %d font files listed, not a realistic set" % refs.files)
    return refs


# --- Catalogue ---------------------------------------------------------------------------------

@dataclasses.dataclass
class Catalogue:
    startup_ms: float
    first_ms: float
    doc_bytes: int
    further: tuple  # median, min, max, p10, p90 (ms)
    requests: int
    hwm_after_first: int  # KiB from here on
    rss_at_10: int
    hwm_at_10: int
    rss: int
    hwm: int
    anon: int
    file: int
    families: int
    faces: int
    files: int
    small: tuple  # (size, path): the listed file nearest to 100 KB
    large: tuple  # (size, path): the largest listed file


def measure_catalogue(setup, conf, stack):
    """Starts the agent, left running until `stack` closes, and takes the catalogue figures:
    (the agent, Catalogue)."""
    log("starting the agent on a loopback socket")
    agent, startup_ms = start_agent(setup, conf, "agent")
    stack.callback(agent.stop)
    log("first catalogue request (agent on %s)" % agent.url)
    first_json = os.path.join(setup.tmp, "first.json")
    first_s, doc_bytes = catalogue_request(agent.port, out=first_json)
    hwm_after_first = status_kib(agent.pid, "VmHWM")

    log("%d further catalogue requests" % setup.runs)
    times = []
    for i in range(1, setup.runs + 1):
        seconds, size = catalogue_request(agent.port)
        if size != doc_bytes:
            log("warning: request %d gave %d bytes, the first %d" % (i + 1, size, doc_bytes))
        times.append(seconds * 1000)
        if i + 1 == 10:
            rss_at_10 = status_kib(agent.pid, "VmRSS")
            hwm_at_10 = status_kib(agent.pid, "VmHWM")
    families, faces, files, small, large = describe_document(first_json)
    return agent, Catalogue(
        startup_ms=startup_ms, first_ms=first_s * 1000, doc_bytes=doc_bytes,
        further=stats(times), requests=setup.runs + 1, hwm_after_first=hwm_after_first,
        rss_at_10=rss_at_10, hwm_at_10=hwm_at_10, rss=status_kib(agent.pid, "VmRSS"),
        hwm=status_kib(agent.pid, "VmHWM"), anon=status_kib(agent.pid, "RssAnon"),
        file=status_kib(agent.pid, "RssFile"), families=families, faces=faces, files=files,
        small=small, large=large)


def describe_document(path):
    """What the document holds, and the two files for the file route: the listed file nearest
    to 100 KB, and the largest listed file (a CJK collection on this font set)."""
    try:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
        assert isinstance(doc, list)
        faces = sum(len(f.get("childList", [])) for f in doc)
        files = sorted({c["file"] for f in doc for c in f.get("childList", [])})
        sizes = [(os.path.getsize(p), p) for p in files if os.path.isfile(p)]
        small = min(sizes, key=lambda s: (abs(s[0] - 100 * 1024), s[1]))
        return len(doc), faces, len(files), small, max(sizes)
    except (ValueError, AssertionError, KeyError, TypeError, AttributeError) as e:
        raise CannotMeasure("the catalogue is not a JSON array of families (%s)" % e) from e


# --- Detailed catalogue ------------------------------------------------------------------------

@dataclasses.dataclass
class Detailed:
    first: dict  # kind -> (median, min, max) ms after listening
    start_first: dict  # kind -> (median, min, max) ms from the agent's start
    warm: dict  # kind -> (median, min, max) ms
    detailed_bytes: int
    hwm: int  # KiB, of the last agent


def measure_detailed(setup, conf):
    """The detailed catalogue (?details=1) against the plain one: the first request of a fresh
    agent for each, timed from the agent's start (it starts building the catalogue before it
    listens, so the part after listening depends on how long listening took), then RUNS pairs
    of warm plain and detailed requests to the last agent. The agent of measure_catalogue stays
    up meanwhile, idle."""
    log("detailed catalogue: %d fresh agents for each of plain and detailed" % FIRST_AGENTS)
    first = {kind: [] for kind in QUERIES}
    start_first = {kind: [] for kind in QUERIES}
    warm, hwm, detailed_bytes = None, 0, 0
    for i in range(1, FIRST_AGENTS + 1):
        for kind, query in QUERIES.items():
            agent, startup_ms = start_agent(setup, conf, "agent-" + kind)
            with agent:
                seconds, size = catalogue_request(agent.port, query,
                                                  os.path.join(setup.tmp, kind + ".json"))
                first[kind].append(seconds * 1000)
                start_first[kind].append(startup_ms + seconds * 1000)
                if kind == "detailed":
                    detailed_bytes = size
                    if i == FIRST_AGENTS:
                        warm = measure_warm_pairs(agent.port, setup.runs)
                        hwm = status_kib(agent.pid, "VmHWM")
    check_same_families(os.path.join(setup.tmp, "plain.json"),
                        os.path.join(setup.tmp, "detailed.json"))
    summary = lambda values: stats(values)[:3]  # noqa: E731
    return Detailed(first={k: summary(v) for k, v in first.items()},
                    start_first={k: summary(v) for k, v in start_first.items()},
                    warm={k: summary(v) for k, v in warm.items()},
                    detailed_bytes=detailed_bytes, hwm=hwm)


def measure_warm_pairs(port, runs):
    """RUNS warm requests of each kind to the agent on `port`, alternating; the plain document
    is asked for once first, since this agent has only made the detailed one."""
    catalogue_request(port)
    warm = {kind: [] for kind in QUERIES}
    for _ in range(runs):
        for kind, query in QUERIES.items():
            warm[kind].append(catalogue_request(port, query)[0] * 1000)
    return warm


def check_same_families(plain_path, detailed_path):
    """The same families in the same order, or the figures compare different documents."""
    with open(plain_path, encoding="utf-8") as f:
        plain = json.load(f)
    with open(detailed_path, encoding="utf-8") as f:
        detailed = json.load(f)
    if ([f["family"] for f in plain] != [f["family"] for f in detailed] or
            not all("index" in c for f in detailed for c in f["childList"])):
        raise CannotMeasure("the detailed catalogue does not list the plain one's families")


# --- Soak --------------------------------------------------------------------------------------

@dataclasses.dataclass
class Soak:
    done: int
    rss: int
    hwm: int


def measure_soak(setup, agent, done):
    """Catalogue requests to the running agent up to SOAK_TOTAL in all (`done` of them made
    already), within the soak's time limit."""
    log("soak: catalogue requests up to %d in all, at most %d s"
        % (SOAK_TOTAL, setup.soak_seconds))
    end = time.monotonic() + setup.soak_seconds
    while done < SOAK_TOTAL and time.monotonic() < end:
        catalogue_request(agent.port)
        done += 1
        if done % 100 == 0:
            log("soak: %d requests" % done)
    return Soak(done=done, rss=status_kib(agent.pid, "VmRSS"), hwm=status_kib(agent.pid, "VmHWM"))


# --- File route --------------------------------------------------------------------------------

NGINX_CONF = """\
daemon off;
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 256; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 0;
    types {{ }}
    default_type application/octet-stream;
    server {{
        listen {host}:{port};
        root {www};
        location / {{ add_header Access-Control-Allow-Origin * always; }}
    }}
}}
"""


def start_nginx(setup, paths, documents, stack):
    """nginx as a plain static server for `paths` at URL path = file path (symbolic links in a
    private root) and for `documents` under /catalogue/, one worker like the agent's single
    event loop, sendfile, and no keep-alive so that each request is a new connection as with
    the agent (which closes every connection). It takes over a socket bound here, as nginx
    hands its sockets to a new binary (the NGINX variable). Stopped when `stack` closes;
    returns its port."""
    root = os.path.join(setup.tmp, "nginx")
    www = os.path.join(setup.tmp, "www")
    os.makedirs(root)
    for path in paths:
        link = www + path
        os.makedirs(os.path.dirname(link), exist_ok=True)
        os.symlink(path, link)
    os.makedirs(os.path.join(www, "catalogue"))
    for document in documents:
        shutil.copy(document, os.path.join(www, "catalogue"))
    # nginx's worker runs as an unprivileged user and must reach the served files.
    for folder, dirs, files in os.walk(www):
        os.chmod(folder, 0o755)
        for name in files:
            os.chmod(os.path.join(folder, name), 0o644)
    sock = listening_socket()
    port = sock.getsockname()[1]
    conf = os.path.join(root, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(root=root, host=LOOPBACK, port=port, www=www))
    log("starting nginx on %s:%d" % (LOOPBACK, port))
    with sock, open(os.path.join(root, "out"), "wb") as out:
        nginx = subprocess.Popen(
            [setup.nginx, "-e", os.path.join(root, "error.log"), "-p", root, "-c", conf],
            pass_fds=(sock.fileno(),), env=dict(os.environ, NGINX="%d;" % sock.fileno()),
            stdout=out, stderr=subprocess.STDOUT)
    stack.callback(stop_process, nginx)
    try:
        status, _ = benchlib.http_get(port, "/catalogue/" + os.path.basename(documents[0]))
        if status != 200:
            raise CannotMeasure("answered %d" % status)
    except (OSError, CannotMeasure) as e:
        said = b""
        for name in ("out", "error.log"):
            with contextlib.suppress(OSError), open(os.path.join(root, name), "rb") as f:
                said += f.read()
        raise CannotMeasure("nginx did not come up (%s): %s"
                            % (e, said[:500].decode(errors="replace"))) from e
    return port


def agent_target(path):
    return "/?file=" + urllib.parse.quote(path, safe="/")


def nginx_target(path):
    return urllib.parse.quote(path, safe="/")


def check_bytes(port, target, path):
    """Both servers must hand over the exact bytes before their speed means anything."""
    url = "http://%s:%d%s" % (LOOPBACK, port, target)
    try:
        status, body = benchlib.http_get(port, target)
    except OSError as e:
        raise CannotMeasure("could not fetch %s: %s" % (url, e)) from e
    if status != 200:
        raise CannotMeasure("%s answered %d" % (url, status))
    with open(path, "rb") as f:
        if body != f.read():
            raise CannotMeasure("%s did not give the bytes of %s" % (url, path))


def measure_nginx_documents(setup, port):
    """The same warm pairs from nginx serving the two documents as files: what their sizes
    alone cost a client on this machine, beside the agent's figure. Medians in ms."""
    times = {kind: [] for kind in QUERIES}
    for _ in range(setup.runs):
        for kind in QUERIES:
            code, seconds, _ = curl_request("http://%s:%d/catalogue/%s.json"
                                            % (LOOPBACK, port, kind))
            if code != "200":
                raise CannotMeasure("nginx did not serve the %s document" % kind)
            times[kind].append(seconds * 1000)
    return {kind: stats(values)[0] for kind, values in times.items()}


@dataclasses.dataclass
class WrkRun:
    requests: int
    p50_ms: float
    rps: float
    mib_per_s: float
    errors: int


WRK_UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3}
WRK_SIZES = {"B": 1 / 2**20, "KB": 1 / 2**10, "MB": 1.0, "GB": 2**10}


def run_wrk(connections, url):
    """wrk, bounded: WRK_SECONDS of load, killed after WRK_MAX_SECONDS; any non-2xx reply fails
    the figure."""
    try:
        done = subprocess.run(["wrk", "-t", "1", "-c", str(connections), "-d",
                               "%ds" % WRK_SECONDS, "--latency", url], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=WRK_MAX_SECONDS)
    except subprocess.TimeoutExpired as e:
        raise CannotMeasure("wrk did not finish on %s" % url) from e
    text = done.stdout
    if done.returncode:
        raise CannotMeasure("wrk failed on %s: %s" % (url, text[:300]))
    try:
        assert "Non-2xx" not in text
        requests = int(re.search(r"(\d+) requests in", text).group(1))
        assert requests > 0
        m = re.search(r"^\s*50%\s+([\d.]+)(us|ms|s)\s*$", text, re.M)
        p50 = float(m.group(1)) * WRK_UNITS[m.group(2)]
        rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
        m = re.search(r"Transfer/sec:\s+([\d.]+)(B|KB|MB|GB)", text)
        mib = float(m.group(1)) * WRK_SIZES[m.group(2)]
    except (AssertionError, AttributeError) as e:
        raise CannotMeasure("wrk on %s: %s" % (url, text.replace("\n", " ")[:400])) from e
    errors = sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", text))
    # Rounded as the report shows them, so that the ratios are of the figures printed.
    return WrkRun(requests=requests, p50_ms=round(p50, 4), rps=round(rps, 1),
                  mib_per_s=round(mib, 2), errors=errors)


@dataclasses.dataclass
class FileRoute:
    nginx_documents: dict  # kind -> median ms
    agent_small: WrkRun
    nginx_small: WrkRun
    agent_large: WrkRun
    nginx_large: WrkRun
    rss: int  # KiB, of the agent afterwards
    hwm: int
    anon: int
    file: int


def measure_file_route(setup, agent, catalogue, stack):
    """The two files from the agent and from nginx, and the catalogue documents from nginx."""
    small, large = catalogue.small[1], catalogue.large[1]
    port = start_nginx(setup, [small, large], [os.path.join(setup.tmp, kind + ".json")
                                               for kind in QUERIES], stack)
    for path in (small, large):
        check_bytes(agent.port, agent_target(path), path)
        check_bytes(port, nginx_target(path), path)
    nginx_documents = measure_nginx_documents(setup, port)
    agent_url = lambda path: "http://%s:%d%s" % (LOOPBACK, agent.port, agent_target(path))  # noqa
    nginx_url = lambda path: "http://%s:%d%s" % (LOOPBACK, port, nginx_target(path))  # noqa
    log("file route: small file, 1 connection, %d s each" % WRK_SECONDS)
    agent_small = run_wrk(1, agent_url(small))
    nginx_small = run_wrk(1, nginx_url(small))
    log("file route: large file, 4 connections, %d s each" % WRK_SECONDS)
    agent_large = run_wrk(4, agent_url(large))
    nginx_large = run_wrk(4, nginx_url(large))
    return FileRoute(nginx_documents=nginx_documents, agent_small=agent_small,
                     nginx_small=nginx_small, agent_large=agent_large, nginx_large=nginx_large,
                     rss=status_kib(agent.pid, "VmRSS"), hwm=status_kib(agent.pid, "VmHWM"),
                     anon=status_kib(agent.pid, "RssAnon"),
                     file=status_kib(agent.pid, "RssFile"))


# --- Report ------------------------------------------------------------------------------------

def fmt(digits, value):
    return "%.*f" % (digits, value)


def ms(value, digits=1):
    return fmt(digits, value)


def mib(kib):
    return fmt(1, kib / 1024)


def verdict(ok):
    return "meets" if ok else "MISSES"


def row(title, value):
    return "  %-44s %s" % (title, value)


def target_row(title, value, target, judged):
    return "  %-44s %10s  %-10s %s" % (title, value, target, judged)


def report_fonts(refs):
    return ["  fonts:   %d files accepted from fontconfig's list (%d faces, %d named instances,"
            " %d unreadable)" % (refs.files, refs.faces, refs.instances, refs.unreadable)]


def report_catalogue(setup, cat, refs):
    """The catalogue and reference sections of the report."""
    further = cat.further
    return [
        "Catalogue (GET /)",
        row("start to listening", "%s ms" % ms(cat.startup_ms)),
        row("first request after listening", "%s ms" % ms(cat.first_ms)),
        row("start to first catalogue", "%s ms" % ms(cat.startup_ms + cat.first_ms)),
        row("further requests (n=%d): median" % setup.runs, "%s ms" % ms(further[0])),
        row("  min / p10 / p90 / max", "%s / %s / %s / %s ms" % (
            ms(further[1]), ms(further[3]), ms(further[4]), ms(further[2]))),
        row("document", "%d bytes: %d families, %d faces, %d files" % (
            cat.doc_bytes, cat.families, cat.faces, cat.files)),
        row("RSS: peak after first request (VmHWM)", "%s MiB" % mib(cat.hwm_after_first)),
        row("RSS: after 10 requests (VmRSS / VmHWM)",
            "%s / %s MiB" % (mib(cat.rss_at_10), mib(cat.hwm_at_10))),
        row("RSS: after %d requests (VmRSS / VmHWM)" % cat.requests,
            "%s / %s MiB (now anonymous %s, file-backed %s)" % (
                mib(cat.rss), mib(cat.hwm), mib(cat.anon), mib(cat.file))),
        "",
        "References (same fonts, same fontconfig)",
        row("fc-list file|family|style (n=%d): median" % FCLIST_RUNS,
            "%s ms (min %s, max %s), %d lines" % (ms(refs.fclist[0]), ms(refs.fclist[1]),
                                                 ms(refs.fclist[2]), refs.fclist_lines)),
        row("FreeType pass (n=%d): median" % FTPASS_RUNS, "%s ms (min %s, max %s)" % (
            ms(refs.ftpass[0]), ms(refs.ftpass[1]), ms(refs.ftpass[2]))),
        row("  of which fontconfig listing / FreeType",
            "%s / %s ms" % (ms(refs.ft_list_ms), ms(refs.ft_freetype_ms))),
    ]


def report_detailed(setup, cat, detailed, route):
    lines = ["Detailed catalogue (GET /?details=1) against the plain one; first requests from "
             "fresh agents"]
    for kind in QUERIES:
        for title, figure in (
                ("first, %s, from start (n=%d): median" % (kind, FIRST_AGENTS),
                 detailed.start_first[kind]),
                ("  of it after listening", detailed.first[kind])):
            lines.append(row(title, "%s ms (min %s, max %s)" % (
                ms(figure[0]), ms(figure[1]), ms(figure[2]))))
    warm = detailed.warm
    lines += [
        row("warm requests, alternating (n=%d each)" % setup.runs,
            "plain %s ms, detailed %s ms (medians; min %s / %s ms)" % (
                ms(warm["plain"][0], 2), ms(warm["detailed"][0], 2), ms(warm["plain"][1], 2),
                ms(warm["detailed"][1], 2))),
        row("  the same documents as files from nginx", "plain %s ms, detailed %s ms (medians)"
            % (ms(route.nginx_documents["plain"], 2), ms(route.nginx_documents["detailed"], 2))),
        row("document", "%d bytes (plain: %d)" % (detailed.detailed_bytes, cat.doc_bytes)),
        row("RSS: peak of the last agent (VmHWM)", "%s MiB" % mib(detailed.hwm)),
    ]
    return lines


def report_soak(cat, soak, setup):
    lines = ["", "Soak",
             row("RSS after 10 catalogue requests",
                 "%s MiB (VmHWM %s MiB)" % (mib(cat.rss_at_10), mib(cat.hwm_at_10))),
             row("RSS after %d catalogue requests" % soak.done,
                 "%s MiB (VmHWM %s MiB)" % (mib(soak.rss), mib(soak.hwm)))]
    if soak.done < SOAK_TOTAL:
        lines.append(row("  (stopped at the time limit)", "%d s" % setup.soak_seconds))
    return lines


def report_file_route(cat, route):
    def latency(run):
        return "%s ms (%s req/s, %d requests, %d socket errors)" % (
            ms(run.p50_ms, 3), fmt(1, run.rps), run.requests, run.errors)

    def throughput(run):
        return "%s MiB/s (%s req/s, %d requests, %d socket errors)" % (
            fmt(2, run.mib_per_s), fmt(1, run.rps), run.requests, run.errors)

    return [
        "File route (GET /?file=PATH; nginx: 1 worker, sendfile, no keep-alive)",
        row("small file", "%s (%d bytes)" % (cat.small[1], cat.small[0])),
        row("  agent: median latency, 1 connection", latency(route.agent_small)),
        row("  nginx: median latency, 1 connection", latency(route.nginx_small)),
        row("large file", "%s (%d bytes)" % (cat.large[1], cat.large[0])),
        row("  agent: throughput, 4 connections", throughput(route.agent_large)),
        row("  nginx: throughput, 4 connections", throughput(route.nginx_large)),
        row("agent RSS after all of the above (VmRSS / VmHWM)",
            "%s / %s MiB (now anonymous %s, file-backed %s)" % (
                mib(route.rss), mib(route.hwm), mib(route.anon), mib(route.file))),
    ]


def report_targets(cat, refs, detailed, route, soak):
    r_cat_fclist = cat.further[0] / refs.fclist[0]
    r_first_ft = cat.first_ms / refs.ftpass[0]
    # Work done before listening counts too: the same figure from the agent's start.
    r_start_ft = (cat.startup_ms + cat.first_ms) / refs.ftpass[0]
    r_warm = detailed.warm["detailed"][0] / detailed.warm["plain"][0]
    r_nginx = route.nginx_documents["detailed"] / route.nginx_documents["plain"]
    r_first_detailed = detailed.start_first["detailed"][0] / detailed.start_first["plain"][0]
    r_first_detailed_min = detailed.start_first["detailed"][1] / detailed.start_first["plain"][1]
    r_small = route.agent_small.p50_ms / route.nginx_small.p50_ms
    r_large = route.agent_large.mib_per_s / route.nginx_large.mib_per_s
    peak_mib = route.hwm / 1024
    catalogue_peak_mib = cat.hwm / 1024
    lines = [
        "Ratios and targets",
        target_row("figure", "value", "target", "verdict"),
        target_row("catalogue median / fc-list median", fmt(2, r_cat_fclist), "<= 0.5",
                   verdict(r_cat_fclist <= 0.5)),
        target_row("first catalogue / FreeType pass", fmt(2, r_first_ft), "<= 0.75",
                   verdict(r_first_ft <= 0.75)),
        target_row("  the same from the agent's start", fmt(2, r_start_ft), "(<= 1.0)",
                   verdict(r_start_ft <= 1.0)),
        target_row("warm detailed / warm plain catalogue", fmt(2, r_warm), "<= 2.0",
                   verdict(r_warm <= 2.0)),
        target_row("  the same documents as files from nginx", fmt(2, r_nginx), "(bytes)",
                   "reference"),
        target_row("first detailed / first plain, from start", fmt(2, r_first_detailed),
                   "<= 1.25", verdict(r_first_detailed <= 1.25)),
        # Other work on the machine slows some fresh agents by half or more; the fastest of
        # each kind is the least disturbed.
        target_row("  the same, fastest of each", fmt(2, r_first_detailed_min), "(<= 1.25)",
                   verdict(r_first_detailed_min <= 1.25)),
        target_row("small-file latency agent / nginx", fmt(2, r_small), "<= 2.0",
                   verdict(r_small <= 2.0)),
        target_row("large-file throughput agent / nginx", fmt(2, r_large), ">= 0.5",
                   verdict(r_large >= 0.5)),
        target_row("agent peak RSS, whole run (MiB)", fmt(1, peak_mib), "< 64",
                   verdict(peak_mib < 64)),
        target_row("  of it, peak over the catalogue requests", fmt(1, catalogue_peak_mib),
                   "< 64", verdict(catalogue_peak_mib < 64)),
    ]
    if soak:
        lines.append(target_row("RSS after %d / after 10 requests" % soak.done,
                                fmt(2, soak.rss / cat.rss_at_10), "~1.0",
                                "(growth: %s MiB)" % mib(soak.rss - cat.rss_at_10)))
    return lines


def utc_now():
    return time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())


# --- Default run: the machine's own fonts, catalogue and file route ----------------------------

def run_default(setup, stack, started):
    conf = os.environ.get("FONTCONFIG_FILE") or benchlib.MACHINE_FONTS_CONF
    refs = measure_references(setup, conf)
    agent, cat = measure_catalogue(setup, conf, stack)
    detailed = measure_detailed(setup, conf)
    if cat.large[0] < LARGE_FILE_MIN_BYTES:
        raise CannotMeasure("the catalogue lists no file of 15 MB or more")
    route = measure_file_route(setup, agent, cat, stack)
    soak = measure_soak(setup, agent, cat.requests) if setup.soak else None

    lines = ["Vorn Font Agent benchmark, %s" % utc_now(), "  machine: %s" % setup.machine]
    lines += report_fonts(refs) + [""] + report_catalogue(setup, cat, refs) + [""]
    lines += report_detailed(setup, cat, detailed, route) + [""]
    lines += report_file_route(cat, route)
    if soak:
        lines += report_soak(cat, soak, setup)
    lines += [""] + report_targets(cat, refs, detailed, route, soak)
    lines += ["", "Run took %s s." % fmt(0, time.monotonic() - started)]
    print("\n".join(lines))


# --- Scale -------------------------------------------------------------------------------------

@dataclasses.dataclass
class AtScale:
    copies: int
    conf: str
    scan_s: float
    refs: References
    cat: Catalogue
    soak: Soak  # or None

    def growth_figures(self):
        """The figures that go into the growth table."""
        peak = self.soak.hwm if self.soak else self.cat.hwm
        cat, refs = self.cat, self.refs
        return {"files": cat.files, "faces": cat.faces, "first": cat.first_ms,
                "start_first": cat.startup_ms + cat.first_ms, "ftpass": refs.ftpass[0],
                "first_ft": cat.first_ms / refs.ftpass[0], "warm": cat.further[0],
                "fclist": refs.fclist[0], "warm_fclist": cat.further[0] / refs.fclist[0],
                "peak": peak / 1024, "anon": cat.anon / 1024, "doc": cat.doc_bytes / 1048576}


def measure_copies(setup, copies, conf, soak):
    """The catalogue figures over `copies` copies, under their own configuration; the agent is
    stopped afterwards."""
    log("%dx: fontconfig scans the copies into its cache" % copies)
    start = time.monotonic()
    if subprocess.run(["fc-cache"], env=fontconfig_env(conf), stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode:
        raise CannotMeasure("fc-cache failed at %dx" % copies)
    scan_s = time.monotonic() - start
    refs = measure_references(setup, conf)
    with contextlib.ExitStack() as stack:
        agent, cat = measure_catalogue(setup, conf, stack)
        soaked = measure_soak(setup, agent, cat.requests) if soak else None
    return AtScale(copies=copies, conf=conf, scan_s=scan_s, refs=refs, cat=cat, soak=soaked)


def report_copies(setup, at):
    lines = ["", "At %dx (%s; its fontconfig cache took %s s to make)"
             % (at.copies, at.conf, fmt(1, at.scan_s))]
    lines += report_fonts(at.refs) + [""] + report_catalogue(setup, at.cat, at.refs)
    if at.soak:
        lines += report_soak(at.cat, at.soak, setup)
    return lines


GROWTH_ROWS = (
    ("files in the catalogue", "files", 0),
    ("faces in the catalogue", "faces", 0),
    ("first catalogue (ms)", "first", 1),
    ("start to first catalogue (ms)", "start_first", 1),
    ("FreeType pass (ms)", "ftpass", 1),
    ("  first catalogue / FreeType pass", "first_ft", 3),
    ("warm catalogue, median (ms)", "warm", 2),
    ("fc-list, median (ms)", "fclist", 1),
    ("  warm catalogue / fc-list", "warm_fclist", 3),
    ("peak RSS, VmHWM (MiB)", "peak", 1),
    ("  anonymous RSS at the end (MiB)", "anon", 1),
    ("document (MiB)", "doc", 2),
)


def growth_row(title, one, many, digits):
    """One line of the growth table: the figure at 1x and at Nx, and Nx over 1x."""
    growth = many / one if one else float("nan")
    return "  %-40s %12s %12s %8s" % (title, fmt(digits, one), fmt(digits, many),
                                      fmt(2, growth))


def run_scaled(setup, scale, stack, started):
    parent = os.environ.get("VORN_BENCH_SCALE_DIR") or "/var/tmp"
    try:
        paths = benchlib.listed_font_files()
    except subprocess.CalledProcessError as e:
        raise CannotMeasure("fc-list failed") from e
    log("hard-linking %d listed font files %d times into a new folder in %s"
        % (len(paths), scale, parent))
    try:
        fonts = benchlib.make_scaled_fonts(parent, scale, paths)
    except (OSError, CannotMeasure) as e:
        raise CannotMeasure("the copies could not be linked (%s); hard links need the fonts' "
                            "filesystem: set VORN_BENCH_SCALE_DIR to a folder on it" % e) from e
    stack.callback(shutil.rmtree, fonts.root, ignore_errors=True)
    one = measure_copies(setup, 1, fonts.conf[1], soak=False)
    many = measure_copies(setup, scale, fonts.conf[scale], soak=setup.soak)
    grown = {1: one.growth_figures(), scale: many.growth_figures()}
    if grown[scale]["files"] != grown[1]["files"] * scale:
        log("warning: %d files in the catalogue at %dx, not %d times %d"
            % (grown[scale]["files"], scale, scale, grown[1]["files"]))

    lines = ["Vorn Font Agent benchmark at scale, %s" % utc_now(),
             "  machine: %s" % setup.machine,
             "  load:    %s at the start (1, 5 and 15 minutes; times are comparable only on a "
             "quiet machine)" % setup.load_at_start,
             "  fonts:   %d font files listed by the machine's fontconfig, hard-linked %d times"
             % (fonts.source_files, scale)]
    lines += report_copies(setup, one) + report_copies(setup, many)
    lines += ["", "Growth from 1x to %dx" % scale,
              "  %-40s %12s %12s %8s" % ("figure", "1x", "%dx" % scale, "growth")]
    lines += [growth_row(title, grown[1][key], grown[scale][key], digits)
              for title, key, digits in GROWTH_ROWS]
    at = grown[scale]
    lines += ["", "Ratios and targets at %dx" % scale,
              target_row("figure", "value", "target", "verdict"),
              target_row("warm catalogue / fc-list", fmt(3, at["warm_fclist"]), "<= 0.02",
                         verdict(at["warm_fclist"] <= 0.02)),
              target_row("first catalogue / FreeType pass", fmt(3, at["first_ft"]), "<= 0.25",
                         verdict(at["first_ft"] <= 0.25)),
              target_row("agent peak RSS (MiB)", fmt(1, at["peak"]), "<= 64",
                         verdict(at["peak"] <= 64)),
              "", "Run took %s s." % fmt(0, time.monotonic() - started)]
    print("\n".join(lines))


# --- Covers: the catalogue restricted to a text --------------------------------------------------

# The text asked again, and the stem of the texts asked once each: Latin letters most faces map,
# so that the restricted documents are of a realistic size, not a handful of faces.
COVERS_TEXT = "Hamburgefonstiv"
COVERS_TARGET = 2.0


def covers_query(details, text):
    query = "?details=1&covers=" if details else "?covers="
    return query + urllib.parse.quote(text, safe="")


def run_covers(options, started):
    """Warm whole and restricted catalogues, alternating, on one agent over the machine's fonts:
    for plain and detailed, RUNS rounds of the whole document, the restricted one for
    COVERS_TEXT again, and one for a text not asked before (COVERS_TEXT and one more letter)."""
    agent_binary = benchlib.prepare_agent(benchlib.default_build_dir(), options.install,
                                          options.build, ["curl"], log)
    conf = os.environ.get("FONTCONFIG_FILE") or benchlib.MACHINE_FONTS_CONF
    rows = []
    with tempfile.TemporaryDirectory(prefix="vorn-bench-covers.") as tmp:
        with open(os.path.join(tmp, "agent.out"), "wb") as out, \
                Agent(agent_binary, conf, log=out) as agent:
            log("agent on %s: first requests (whole, then the pieces the texts are cut from)"
                % agent.url)
            for details in (False, True):
                kind = "detailed" if details else "plain"
                whole_query = "?details=1" if details else ""
                catalogue_request(agent.port, whole_query)
                first_s, _ = catalogue_request(agent.port, covers_query(details, COVERS_TEXT))
                log("%s: %d rounds" % (kind, options.runs))
                times = {"whole": [], "same": [], "new": []}
                sizes = {}
                for i in range(options.runs):
                    # À, Á, ... one a round; past 64 rounds a text comes again, which changes
                    # nothing: the agent keeps no restricted document, only the pieces.
                    fresh = COVERS_TEXT + chr(0xC0 + i % 64)
                    for name, query in (("whole", whole_query),
                                        ("same", covers_query(details, COVERS_TEXT)),
                                        ("new", covers_query(details, fresh))):
                        seconds, size = catalogue_request(agent.port, query)
                        times[name].append(seconds * 1000)
                        sizes[name] = size
                rows.append((kind, first_s * 1000, {k: stats(v) for k, v in times.items()},
                             sizes))
            rss = status_kib(agent.pid, "VmRSS")
    lines = ["Vorn Font Agent benchmark, covers=TEXT, %s" % utc_now(),
             "  fonts: %s; %d rounds; text %r, then %r plus one letter" % (
                 conf, options.runs, COVERS_TEXT, COVERS_TEXT), ""]
    lines.append("  %-9s %-34s %10s %10s %10s %10s" % ("document", "request", "median ms",
                                                      "p10 ms", "p90 ms", "bytes"))
    for kind, first_ms, figures, sizes in rows:
        lines.append("  %-9s %-34s %10s" % (kind, "first covers (pieces made)", ms(first_ms, 2)))
        for name, title in (("whole", "whole, warm"), ("same", "covers, the same text again"),
                            ("new", "covers, a text not asked before")):
            median, _, _, p10, p90 = figures[name]
            lines.append("  %-9s %-34s %10s %10s %10s %10d" % (
                kind, title, ms(median, 3), ms(p10, 3), ms(p90, 3), sizes[name]))
    lines += ["", target_row("figure", "value", "target", "verdict")]
    for kind, _, figures, _ in rows:
        for name, title in (("same", "same text"), ("new", "new text")):
            ratio = figures[name][0] / figures["whole"][0]
            lines.append(target_row("%s: covers (%s) / whole" % (kind, title), fmt(2, ratio),
                                    "<= %s" % fmt(1, COVERS_TARGET),
                                    verdict(ratio <= COVERS_TARGET)))
    lines += ["", "Agent RSS at the end: %s MiB. Run took %s s." % (
        mib(rss), fmt(0, time.monotonic() - started))]
    print("\n".join(lines))


def main(argv):
    options = parse_options(argv)
    started = time.monotonic()
    with open("/proc/loadavg") as f:
        load_at_start = " ".join(f.read().split()[:3])
    # A stop from outside unwinds like an error, so that every process is stopped by its pid.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(130))
    try:
        if options.covers:
            run_covers(options, started)
            return 0
        with contextlib.ExitStack() as stack:
            tmp = tempfile.mkdtemp(prefix="vorn-bench.")
            stack.callback(shutil.rmtree, tmp, ignore_errors=True)
            # nginx's worker runs as an unprivileged user and must reach the files through tmp.
            os.chmod(tmp, 0o755)
            setup = prepare(options, tmp, load_at_start)
            if options.scale:
                run_scaled(setup, options.scale, stack, started)
            else:
                run_default(setup, stack, started)
    except CannotMeasure as e:
        print("bench: could not measure: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
