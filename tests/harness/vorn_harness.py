"""The agent as the project's Python tests and benchmarks start it.

One way for all of them: a private fontconfig world (a fonts.conf naming its own font and cache
folders, so nothing else on the machine leaks in), a listening socket bound here and handed to
the agent as socket activation hands it (LISTEN_FDS, descriptor 3), so that no script probes
for a free port and races another for it, and every process stopped by its pid.

Import it with the folder on sys.path:
    sys.path.insert(0, os.path.join(<source root>, "tests", "harness"))
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
import http.server
import functools

LOOPBACK = "127.0.0.1"


def write_fonts_conf(path, font_dirs, cache_dir, extra=""):
    """Writes a fonts.conf that names exactly these font folders and this cache folder (and
    `extra` XML, such as an <include>)."""
    dirs = "".join("  <dir>%s</dir>\n" % d for d in font_dirs)
    with open(path, "w") as f:
        f.write('<?xml version="1.0"?>\n<!DOCTYPE fontconfig SYSTEM "fonts.dtd">\n'
                "<fontconfig>\n%s  <cachedir>%s</cachedir>\n%s</fontconfig>\n"
                % (dirs, cache_dir, extra))


class FontWorld:
    """A temporary folder with fonts/, cache/ and a fonts.conf naming them; removed by close()."""

    def __init__(self, prefix="vorn-", font_dirs=None):
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.fonts = os.path.join(self.root, "fonts")
        self.cache = os.path.join(self.root, "cache")
        os.makedirs(self.fonts)
        os.makedirs(self.cache)
        self.conf = os.path.join(self.root, "fonts.conf")
        write_fonts_conf(self.conf, font_dirs or [self.fonts], self.cache)

    def install(self, source, as_name=None):
        """Copies a font file into the font folder; returns its path there."""
        target = os.path.join(self.fonts, as_name or os.path.basename(source))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        return target

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


def listening_socket(host=LOOPBACK):
    """A stream socket listening on `host` at a port the kernel chose."""
    sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    sock.bind((host, 0))
    sock.listen(128)
    return sock


def stop_process(proc, first=signal.SIGTERM, timeout=15):
    """Stops a child we started, by its pid, and reaps it; returns its exit status."""
    if proc.poll() is None:
        os.kill(proc.pid, first)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()
    return proc.returncode


def socket_activated(command, sock, **popen):
    """Starts `command` with `sock` as its first passed socket (descriptor 3, LISTEN_FDS=1,
    LISTEN_PID its own pid), as systemd does. A shell sets LISTEN_PID, since only the child
    knows its pid, and then becomes the command."""
    fd = sock.fileno()
    move = "" if fd == 3 else "exec 3<&%d %d<&-; " % (fd, fd)
    script = move + 'LISTEN_PID=$$ LISTEN_FDS=1 exec "$0" "$@"'
    return subprocess.Popen(["/bin/sh", "-c", script] + list(command), pass_fds=(fd,), **popen)


class Agent:
    """The agent serving `conf` (a fonts.conf) on a socket bound here; its port is known before
    it starts, and connections wait in the socket's queue until it accepts them."""

    def __init__(self, binary, conf, args=(), env=None, log=None, host=LOOPBACK):
        sock = listening_socket(host)
        self.port = sock.getsockname()[1]
        self.url = "http://%s:%d/" % (host if ":" not in host else "[%s]" % host, self.port)
        out = log if log is not None else subprocess.DEVNULL
        environment = dict(os.environ, FONTCONFIG_FILE=conf, LC_ALL="C")
        environment.update(env or {})
        self.proc = socket_activated([binary] + list(args), sock, stdout=out,
                                     stderr=subprocess.STDOUT, env=environment)
        sock.close()

    @property
    def pid(self):
        return self.proc.pid

    def stop(self, sig=signal.SIGTERM):
        return stop_process(self.proc, sig)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class StaticOrigin:
    """Serves a folder over HTTP from this process, on a socket bound here, until close()."""

    def __init__(self, folder=None, handler=None, host=LOOPBACK):
        handler = handler or QuietHandler
        if folder is not None:
            handler = functools.partial(handler, directory=folder)
        self.server = http.server.ThreadingHTTPServer((host, 0), handler)
        self.port = self.server.server_address[1]
        self.url = "http://%s:%d/" % (host, self.port)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


SKIP = 77  # CTest's skip code for the browser tests


def run_browser_tests(module, make_world, browser, package, what, web=True):
    """The main of a browser test file: reads --agent, --fixtures, --web (when `web`) and
    --<browser> (the binary, by default /usr/bin/<package>) into `module.ARGS`, makes
    `module.WORLD` with make_world(), runs the file's test cases and stops the world, showing
    the last lines of its logs when a test failed. SKIP when the browser is not installed."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--fixtures", required=True)
    if web:
        parser.add_argument("--web", required=True)
    parser.add_argument("--" + browser, default="/usr/bin/" + package)
    args, rest = parser.parse_known_args()
    binary = getattr(args, browser)
    if not os.access(binary, os.X_OK):
        print("SKIP: %s is not installed (Debian package: %s); %s did not run."
              % (binary, package, what))
        return SKIP
    module.ARGS = args
    world = module.WORLD = make_world()
    passed = False
    try:
        program = unittest.main(module=module, argv=[sys.argv[0]] + rest, exit=False,
                                verbosity=2)
        passed = program.result.wasSuccessful()
    finally:
        root = world.files.root
        if not passed:
            show_logs(root)
        world.stop()
    return 0 if passed else 1


def show_logs(folder, lines=40):
    """Prints the last lines of each log in a test's folder (browsers' D-Bus complaints left
    out: there is no session bus here)."""
    for name in sorted(os.listdir(folder)):
        if name.endswith(".log"):
            with open(os.path.join(folder, name), errors="replace") as f:
                kept = [line for line in f if "dbus" not in line]
            print("--- last lines of %s ---\n%s" % (name, "".join(kept[-lines:])))
