#!/usr/bin/python3
"""Load and soak checks of the agent on loopback, with the machine's own fonts: the file route
under wrk, the catalogue asked for 1000 times, slow clients, 1000 connections at once,
oversized requests, and the agent's state at the end. Each check prints its figures and PASS
or FAIL on standard output (progress goes to standard error); the status is non-zero when any
check fails or cannot run.

The agents listen on loopback sockets bound here and handed to them as systemd does
(tests/harness/vorn_harness.py), and are stopped by their pids. The clients are
bench/load_clients.py and wrk, each run bounded in time.
"""

import contextlib
import dataclasses
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import benchlib  # noqa: E402
from benchlib import PY, CannotMeasure, status_kib  # noqa: E402
from vorn_harness import LOOPBACK, listening_socket, socket_activated, stop_process  # noqa

USAGE = """\
Usage: bench/load.sh [--short] [--agent-nofile N] [--no-install] [--no-build]
  --short        5 s of wrk load per run instead of 30 s
  --agent-nofile N
                 start the agent with this descriptor limit (as under systemd, whose default
                 soft limit is 1024) instead of the script's own (at least 4096)
  --no-install   do not install missing packages
  --no-build     use the agent already built in the build folder
Environment: VORN_BENCH_BUILD_DIR (default: build/ of the repository)
"""

CLIENTS = os.path.join(HERE, "load_clients.py")
MIX_SCRIPT = os.path.join(HERE, "load_mix.lua")
WRK_CONNECTIONS = 100
MIX_FILES = 20
UNLISTED = "/etc/passwd"
# 1000 client sockets and as many accepted ones on the agent's side, plus some to spare.
CLIENT_NOFILE = 4096
# The slow-client check runs against an agent of its own with this HTTP time-out, to stay
# short; the main agent keeps the default (120 s), so that any connection it failed to close
# would still be open, and counted, at the end.
SLOW_TIMEOUT = 3
# Idle descriptors may differ by this much from the baseline at the end.
FD_SLACK = 3
STOP_WAIT_SECONDS = 10
PASS, FAIL, CANNOT_RUN = 0, 1, 2


def log(message):
    print("load: %s" % message, file=sys.stderr, flush=True)


def row(title, value):
    print("  %-44s %s" % (title, value), flush=True)


def mib(kib):
    return "%.1f" % (kib / 1024)


@dataclasses.dataclass
class Setup:
    agent: str
    agent_nofile: int  # 0: the script's own limit
    load_seconds: int
    tmp: str


@dataclasses.dataclass
class Baseline:
    """The main agent when idle, and what the checks load it with."""
    proc: subprocess.Popen
    port: int
    catalogue_bytes: int
    listed_files: int
    mix_range: tuple  # smallest and largest file of the mix, bytes
    small: tuple  # (size, path): the listed file nearest to 100 KB
    mix_paths: str  # a file of targets, one a line, the unlisted path last
    fds: int
    rss: int


# --- The agent ---------------------------------------------------------------------------------

def start_agent(setup, *args):
    """An agent with the machine's own fonts and `args`, on a loopback socket bound here:
    (process, port). Its own descriptor limit under --agent-nofile."""
    sock = listening_socket()
    port = sock.getsockname()[1]
    limit = None
    if setup.agent_nofile:
        def limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (setup.agent_nofile, setup.agent_nofile))
    with sock, open(os.path.join(setup.tmp, "agent-%d.out" % port), "wb") as out:
        proc = socket_activated([setup.agent] + list(args), sock, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, preexec_fn=limit)
    return proc, port


def agent_said(setup, port):
    with contextlib.suppress(OSError), open(os.path.join(setup.tmp, "agent-%d.out" % port),
                                            "rb") as f:
        return f.read(300).decode(errors="replace")
    return ""


def stop_agent(proc):
    """SIGTERM, then at most STOP_WAIT_SECONDS for the agent to exit: its exit status, or
    "hung" (it is killed then)."""
    if proc.poll() is not None:
        return "gone"
    os.kill(proc.pid, signal.SIGTERM)
    try:
        return proc.wait(timeout=STOP_WAIT_SECONDS)
    except subprocess.TimeoutExpired:
        stop_process(proc, signal.SIGKILL)
        return "hung"


def alive(proc):
    return proc is not None and proc.poll() is None


def fd_count(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return 0


def nofile_limit(pid):
    with open("/proc/%d/limits" % pid) as f:
        for line in f:
            if line.startswith("Max open files"):
                return line.split()[3]
    return "?"


def http_status(port, target, out=None):
    """The HTTP status of one request (0 when none came); the body goes to `out`."""
    try:
        status, body = benchlib.http_get(port, target, timeout=30)
    except OSError:
        return 0
    if out:
        with open(out, "wb") as f:
            f.write(body)
    return status


def file_target(path):
    return "/?file=" + urllib.parse.quote(path, safe="/")


def clients(*args, bound):
    """load_clients.py with `args`, killed after `bound` seconds: its status (FAIL if killed)."""
    try:
        return subprocess.run([PY, CLIENTS] + [str(a) for a in args], timeout=bound).returncode
    except subprocess.TimeoutExpired:
        row("load_clients.py %s" % args[0], "did not finish within %d s" % bound)
        return FAIL


def start_main_agent(setup, stack):
    """The agent every check but the slow-client one loads, once it has served a catalogue and
    one small file, and its idle figures then."""
    log("starting the agent on a loopback socket")
    proc, port = start_agent(setup)
    stack.callback(stop_process, proc)
    catalogue = os.path.join(setup.tmp, "catalogue.json")
    status = http_status(port, "/", catalogue)
    if status != 200:
        raise CannotMeasure("the first catalogue request answered %d (agent: %s)"
                            % (status, agent_said(setup, port)))
    small_out = os.path.join(setup.tmp, "small")
    mix_out = os.path.join(setup.tmp, "mix")
    picked = subprocess.run([PY, CLIENTS, "files", catalogue, small_out, mix_out,
                             "--mix", str(MIX_FILES)], stdout=subprocess.PIPE, text=True,
                            timeout=120)
    if picked.returncode:
        raise CannotMeasure("no font files to load the file route with")
    listed, mix_min, mix_max = (int(n) for n in picked.stdout.split())
    with open(small_out) as f:
        size, path = f.read().rstrip("\n").split(" ", 1)
    with open(mix_out, "a") as f:
        f.write(file_target(UNLISTED) + "\n")
    status = http_status(port, file_target(path))
    if status != 200:
        raise CannotMeasure("the small file answered %d" % status)
    # The idle state to come back to: listening, one catalogue and one file served.
    time.sleep(0.5)
    return Baseline(proc=proc, port=port, catalogue_bytes=os.path.getsize(catalogue),
                    listed_files=listed, mix_range=(mix_min, mix_max), small=(int(size), path),
                    mix_paths=mix_out, fds=fd_count(proc.pid), rss=status_kib(proc.pid, "VmRSS"))


# --- Checks ------------------------------------------------------------------------------------

def need_agent(base):
    if not alive(base.proc):
        row("the agent", "is not running")
        return False
    return True


def still_serving(base):
    """The agent still running and answering the catalogue."""
    if not alive(base.proc):
        row("agent afterwards", "NOT RUNNING")
        return False
    status = http_status(base.port, "/")
    row("agent afterwards", "running; a catalogue request answered %03d" % status)
    return status == 200


def run_wrk(setup, *args):
    """wrk under the checks' load; its output is left in wrk.out. False if it failed."""
    out = os.path.join(setup.tmp, "wrk.out")
    command = ["wrk", "-t", "2", "-c", str(WRK_CONNECTIONS), "-d", "%ds" % setup.load_seconds,
               "--timeout", "2s", "--latency"] + list(args)
    try:
        with open(out, "wb") as f:
            done = subprocess.run(command, stdout=f, stderr=subprocess.STDOUT,
                                  timeout=setup.load_seconds + 30)
        ok = done.returncode == 0
    except subprocess.TimeoutExpired:
        ok = False
    if not ok:
        with open(out, "rb") as f:
            row("wrk failed", f.read().decode(errors="replace").replace("\n", " ")[:300])
    return ok


def check_file_load(setup, base):
    if not need_agent(base):
        return CANNOT_RUN
    row("file", "%s (%d bytes)" % (base.small[1], base.small[0]))
    log("wrk: %d connections, %d s, one file" % (WRK_CONNECTIONS, setup.load_seconds))
    if not run_wrk(setup, "http://%s:%d%s" % (LOOPBACK, base.port, file_target(base.small[1]))):
        return CANNOT_RUN
    status = clients("wrk-report", os.path.join(setup.tmp, "wrk.out"), bound=60)
    if status:
        return status
    return PASS if still_serving(base) else FAIL


def check_mix_load(setup, base):
    if not need_agent(base):
        return CANNOT_RUN
    row("paths", "%d listed files (%d to %d bytes) and %s, in turn"
        % (MIX_FILES, base.mix_range[0], base.mix_range[1], UNLISTED))
    log("wrk: %d connections, %d s, %d files and %s"
        % (WRK_CONNECTIONS, setup.load_seconds, MIX_FILES, UNLISTED))
    if not run_wrk(setup, "-s", MIX_SCRIPT, "http://%s:%d/" % (LOOPBACK, base.port), "--",
                   base.mix_paths, os.path.basename(UNLISTED)):
        return CANNOT_RUN
    status = clients("wrk-report", os.path.join(setup.tmp, "wrk.out"), "--mix", "--unlisted",
                     UNLISTED, bound=60)
    if status:
        return status
    return PASS if still_serving(base) else FAIL


def check_catalogue_soak(setup, base):
    if not need_agent(base):
        return CANNOT_RUN
    log("1000 catalogue requests, one after another")
    return clients("soak", "--port", base.port, "--pid", base.proc.pid, "--count", 1000,
                   "--early", 10, "--max-seconds", 600, bound=900)


def check_slow_client(setup, base):
    log("slow clients, against an agent started with -t %d" % SLOW_TIMEOUT)
    proc, port = start_agent(setup, "-t", str(SLOW_TIMEOUT))
    try:
        if http_status(port, "/") != 200:
            row("the -t %d agent" % SLOW_TIMEOUT, "does not serve")
            return CANNOT_RUN
        time.sleep(0.2)
        idle_fds = fd_count(proc.pid)
        status = clients("slow", "--port", port, "--file", base.small[1], "--clients", 50,
                         "--bound", 2, "--timeout", SLOW_TIMEOUT, "--max-wait", 10, bound=60)
        time.sleep(0.2)
        end_fds = fd_count(proc.pid)
        row("descriptors of that agent: idle / now", "%d / %d" % (idle_fds, end_fds))
        stopped = stop_agent(proc)
        row("that agent stopped with SIGTERM", "exit status %s" % stopped)
        if status == PASS and (stopped != 0 or end_fds > idle_fds + FD_SLACK):
            status = FAIL
        return status
    finally:
        stop_process(proc)


def check_flood(setup, base):
    if not need_agent(base):
        return CANNOT_RUN
    log("1000 connections at once")
    row("descriptor limit: clients / agent", "%d / %s" % (
        resource.getrlimit(resource.RLIMIT_NOFILE)[0], nofile_limit(base.proc.pid)))
    status = clients("flood", "--port", base.port, "--file", base.small[1], "--count", 1000,
                     "--catalogue-size", base.catalogue_bytes, "--max-seconds", 60, bound=120)
    if not still_serving(base) and status == PASS:
        status = FAIL
    return status


def check_oversized(setup, base):
    if not need_agent(base):
        return CANNOT_RUN
    log("oversized requests")
    status = clients("oversized", "--port", base.port, "--timeout", 10, bound=120)
    if not still_serving(base) and status == PASS:
        status = FAIL
    return status


def check_end_state(setup, base):
    if not alive(base.proc):
        row("agent", "NOT RUNNING")
        return FAIL
    row("agent", "running (pid %d)" % base.proc.pid)
    # Connections closed by the clients a moment ago may take the agent a moment to close.
    for _ in range(50):
        fds = fd_count(base.proc.pid)
        if fds <= base.fds + FD_SLACK:
            break
        time.sleep(0.2)
    rss = status_kib(base.proc.pid, "VmRSS")
    row("VmRSS: idle at the start / now", "%s / %s MiB (VmHWM %s MiB)" % (
        mib(base.rss), mib(rss), mib(status_kib(base.proc.pid, "VmHWM"))))
    row("open descriptors: idle at the start / now",
        "%d / %d (allowed: +-%d)" % (base.fds, fds, FD_SLACK))
    ok = base.fds - FD_SLACK <= fds <= base.fds + FD_SLACK
    stopped = stop_agent(base.proc)
    row("stopped with SIGTERM", "exit status %s" % stopped)
    return PASS if ok and stopped == 0 else FAIL


def run_check(title, check, setup, base):
    """Runs one check: its title, its figures, its verdict."""
    print()
    print(title, flush=True)
    try:
        status = check(setup, base)
    except (OSError, CannotMeasure) as e:
        row("could not run", str(e))
        status = CANNOT_RUN
    verdict = {PASS: "PASS", CANNOT_RUN: "FAIL (could not run)"}.get(status, "FAIL")
    row("verdict", verdict)
    return verdict


def run(setup, stack, started):
    base = start_main_agent(setup, stack)
    print("Vorn Font Agent load checks, %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))
    print("  machine: %d cores, %s; fonts: %d files in the catalogue"
          % (len(os.sched_getaffinity(0)), os.uname().release, base.listed_files))
    print("  agent:   %s on a socket bound to %s:%d (idle: %d descriptors, VmRSS %s MiB,"
          % (setup.agent, LOOPBACK, base.port, base.fds, mib(base.rss)))
    print("           descriptor limit %s)" % nofile_limit(base.proc.pid), flush=True)
    load = "%d connections, %d s" % (WRK_CONNECTIONS, setup.load_seconds)
    checks = [
        ("1a. File route under load: one file, %s" % load, check_file_load),
        ("1b. File route under load: %d files and an unlisted path, %s" % (MIX_FILES, load),
         check_mix_load),
        ("2. Catalogue 1000 times, one after another", check_catalogue_soak),
        ("3. Slow clients (agent with -t %d)" % SLOW_TIMEOUT, check_slow_client),
        ("4. 1000 connections at once", check_flood),
        ("5. Oversized requests", check_oversized),
        ("6. The agent at the end", check_end_state),
    ]
    verdicts = [(title, run_check(title, check, setup, base)) for title, check in checks]
    print()
    print("Summary")
    for title, verdict in verdicts:
        print("  %-4s %s" % (verdict, title))
    failed = sum(1 for _, verdict in verdicts if verdict != "PASS")
    print()
    print("%d of %d checks passed; run took %.0f s."
          % (len(verdicts) - failed, len(verdicts), time.monotonic() - started))
    return 1 if failed else 0


def main(argv):
    parser = benchlib.option_parser("bench/load.sh", USAGE)
    parser.add_argument("--short", action="store_true")
    parser.add_argument("--agent-nofile", type=int, default=0)
    options = parser.parse_args(argv)
    if options.help:
        print(USAGE, end="")
        return 0
    started = time.monotonic()
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(130))
    try:
        with contextlib.ExitStack() as stack:
            agent = benchlib.prepare_agent(benchlib.default_build_dir(), options.install,
                                           options.build, ["wrk", "curl"], log)
            if not shutil.which("wrk"):
                raise CannotMeasure("wrk is missing")
            soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            if soft != resource.RLIM_INFINITY and soft < CLIENT_NOFILE:
                if hard != resource.RLIM_INFINITY and hard < CLIENT_NOFILE:
                    raise CannotMeasure("cannot raise the descriptor limit to %d"
                                        % CLIENT_NOFILE)
                resource.setrlimit(resource.RLIMIT_NOFILE, (CLIENT_NOFILE, hard))
            tmp = tempfile.mkdtemp(prefix="vorn-load.")
            stack.callback(shutil.rmtree, tmp, ignore_errors=True)
            setup = Setup(agent=agent, agent_nofile=options.agent_nofile,
                          load_seconds=5 if options.short else 30, tmp=tmp)
            return run(setup, stack, started)
    except CannotMeasure as e:
        print("load: cannot run: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
