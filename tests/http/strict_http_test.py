#!/usr/bin/python3
"""The agent's HTTP as strict clients see it: every route through h11 (python3-h11), which
must parse every reply; libevent's framing faults pinned with raw sockets; the -o origin list;
socket activation through systemd-socket-activate; and, with Chromium, a reload that
revalidates a font without its bytes.

Usage: strict_http_test.py --agent BINARY --fixtures DIR [--chromium PATH]
"""

import argparse
import email.utils
import os
import shutil
import socket
import subprocess
import sys
import time
import unittest
import urllib.parse

import h11

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "browser"))
import vorn_harness  # noqa: E402
from vorn_harness import LOOPBACK, stop_process  # noqa: E402
from devtools import Browser, Page  # noqa: E402

SOCKET_ACTIVATE = "/usr/bin/systemd-socket-activate"
GUARD_SECONDS = 30  # turns a hang into a failure; no case waits on time
ARGS = WORLD = None


def probed_port():
    """A loopback port that was free a moment ago. Only for the cases about an address the
    agent or systemd-socket-activate binds itself; another process may take it in between."""
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


class CommandLineAgent:
    """The agent binding the command line's -l/-p itself (or the socket `launcher` binds for
    it), for the cases about exactly that; stopped by its pid."""

    def __init__(self, args=(), launcher=(), env=None, port=None):
        self.port = port or probed_port()
        self.log = open(os.path.join(WORLD.root, "agent-%d.log" % self.port), "wb")
        self.proc = subprocess.Popen(
            list(launcher) + [ARGS.agent, "-l", LOOPBACK, "-p", str(self.port)] + list(args),
            stdout=self.log, stderr=subprocess.STDOUT,
            env=dict(os.environ, FONTCONFIG_FILE=WORLD.conf, **(env or {})))
        # Until it has bound the port, connections are refused: wait for it.
        for _ in range(GUARD_SECONDS * 20):  # ASan start-up on a loaded machine is slow
            if self.proc.poll() is not None:
                raise RuntimeError("the agent exited with status %d" % self.proc.returncode)
            try:
                return socket.create_connection((LOOPBACK, self.port), timeout=1).close()
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("the agent did not start listening")

    def stop(self):
        stop_process(self.proc)
        self.log.close()


class World:
    """A fixture font, a 1 MiB copy of it (padding after the tables keeps it readable), and
    the agent most cases share."""

    def __init__(self):
        self.files = vorn_harness.FontWorld(prefix="vorn-http-")
        self.root, self.conf = self.files.root, self.files.conf
        shutil.copytree(os.path.join(ARGS.fixtures, "static"), self.files.fonts,
                        dirs_exist_ok=True)
        self.font = os.path.join(self.files.fonts, "ExampleSans-Regular.ttf")
        self.big = os.path.join(self.files.fonts, "ExampleBig.ttf")
        with open(self.font, "rb") as original, open(self.big, "wb") as big:
            big.write(original.read() + b"\0" * (1 << 20))
        self.log = open(os.path.join(self.root, "agent.log"), "wb")
        self.agent = vorn_harness.Agent(ARGS.agent, self.conf, log=self.log)

    def stop(self):
        self.agent.stop()
        self.log.close()
        self.files.close()


def file_target(path):
    return "/?file=" + urllib.parse.quote(path, safe="")


def raw(port, method, target, headers="", version="1.1", then=""):
    """Sends one request as written, plus `then`; reads until the agent closes, or fails.
    Returns (status, [(lower-case name, value)], everything after the headers)."""
    request = "%s %s HTTP/%s\r\nHost: %s:%d\r\n%s\r\n%s" % (method, target, version, LOOPBACK,
                                                              port, headers, then)
    data = b""
    with socket.create_connection((LOOPBACK, port), timeout=GUARD_SECONDS) as s:
        s.sendall(request.encode("latin-1"))
        while True:
            try:
                chunk = s.recv(1 << 16)
            except socket.timeout:
                raise AssertionError("the connection stayed open after %r" % data[:200])
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    fields = [(k.strip().lower(), v.strip()) for k, v in (l.split(":", 1) for l in lines[1:])]
    return int(lines[0].split()[1]), fields, body


def values(fields, name):
    return [v for k, v in fields if k == name]


def strict(port, method, target, headers=(), host=None):
    """One exchange through h11, which raises on anything it cannot parse or on bytes after
    the reply; the agent must then close. Returns (status, {lower-case name: value}, body)."""
    conn = h11.Connection(h11.CLIENT)
    with socket.create_connection((LOOPBACK, port), timeout=GUARD_SECONDS) as s:
        host = host or "%s:%d" % (LOOPBACK, port)
        s.sendall(conn.send(h11.Request(method=method, target=target,
                                        headers=[("Host", host)] + list(headers))))
        s.sendall(conn.send(h11.EndOfMessage()))
        response, body = None, b""
        for _ in range(10000):
            event = conn.next_event()
            if event is h11.NEED_DATA:
                conn.receive_data(s.recv(1 << 16))
            elif isinstance(event, h11.Response):
                response = event
            elif isinstance(event, h11.Data):
                body += event.data
            elif isinstance(event, h11.ConnectionClosed):
                break
    return (response.status_code,
            {k.decode().lower(): v.decode() for k, v in response.headers}, body)


class StrictClient(unittest.TestCase):
    def test_every_route_parses_and_head_mirrors_get(self):
        port = WORLD.agent.port
        preflight = [("Origin", "http://page.example"), ("Access-Control-Request-Method", "GET")]
        for method, target, headers, expected in [
                ("GET", "/", [], 200), ("GET", file_target(WORLD.font), [], 200),
                ("GET", file_target("/etc/passwd"), [], 404), ("OPTIONS", "/", [], 200),
                ("OPTIONS", "/", preflight, 204), ("POST", "/", [("Content-Length", "0")], 200)]:
            self.assertEqual(strict(port, method, target, headers)[0], expected, (method, target))
        for target in ("/", file_target(WORLD.font), file_target("/nowhere.ttf")):
            status, fields, body = strict(port, "GET", target)
            head_status, head, head_body = strict(port, "HEAD", target)
            self.assertEqual((head_status, head["content-length"], head_body, head.get("etag")),
                             (status, str(len(body)), b"", fields.get("etag")), target)

    def test_if_none_match_gives_304_with_validator_and_cors_header(self):
        port = WORLD.agent.port
        for target in ("/", file_target(WORLD.font)):
            _, fields, _ = strict(port, "GET", target)
            tag = fields["etag"]
            self.assertEqual(fields["cache-control"], "no-cache")
            for condition in (tag, "W/" + tag, '"other", ' + tag, "*"):
                status, got, body = strict(port, "GET", target, [("If-None-Match", condition)])
                self.assertEqual((status, body, got["etag"], got["access-control-allow-origin"]),
                                 (304, b"", tag, "*"), condition)
            self.assertEqual(strict(port, "GET", target, [("If-None-Match", '"other"')])[0], 200)
            self.assertEqual(strict(port, "POST", target, [("If-None-Match", tag),
                                                           ("Content-Length", "0")])[0], 412)

    def test_validators_follow_the_file(self):
        port = WORLD.agent.port
        _, fields, _ = strict(port, "GET", file_target(WORLD.font))
        st = os.stat(WORLD.font)
        self.assertEqual(fields["last-modified"], email.utils.formatdate(st.st_mtime, usegmt=True))
        catalogue_tag = strict(port, "GET", "/")[1]["etag"]
        # One nanosecond later is another file as far as a cache is concerned.
        os.utime(WORLD.font, ns=(st.st_atime_ns, st.st_mtime_ns + 1))
        self.assertNotEqual(strict(port, "GET", file_target(WORLD.font))[1]["etag"], fields["etag"])
        # The catalogue's tag follows its document, which a touched file leaves as it was.
        self.assertEqual(strict(port, "GET", "/")[1]["etag"], catalogue_tag)
        self.assertNotEqual(strict(port, "GET", "/?details=1")[1]["etag"], catalogue_tag)


class Framing(unittest.TestCase):
    def test_http10_keep_alive_gets_one_connection_close_and_a_length(self):
        for target in ("/", file_target(WORLD.font)):
            _, fields, body = raw(WORLD.agent.port, "GET", target, "Connection: keep-alive\r\n",
                                  version="1.0")
            self.assertEqual(values(fields, "connection"), ["close"], target)
            self.assertEqual(values(fields, "content-length"), [str(len(body))], target)

    def test_connect_is_refused_delimited_and_ends_the_connection(self):
        port = WORLD.agent.port
        pipelined = "GET / HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (LOOPBACK, port)
        status, fields, rest = raw(port, "CONNECT", "%s:%d" % (LOOPBACK, port), then=pipelined)
        self.assertEqual((status, values(fields, "content-length"), values(fields, "connection")),
                         (405, ["0"], ["close"]))
        self.assertEqual(rest, b"", "the pipelined request was answered on the same connection")

    def test_absolute_form_target_gets_connection_close(self):
        port = WORLD.agent.port
        target = "http://%s:%d%s" % (LOOPBACK, port, file_target(WORLD.font))
        _, fields, body = raw(port, "GET", target)
        self.assertEqual(values(fields, "connection"), ["close"])
        with open(WORLD.font, "rb") as f:
            self.assertEqual(body, f.read())

    def test_head_carries_get_length_and_no_body(self):
        for target in ("/", file_target(WORLD.big)):
            body = raw(WORLD.agent.port, "GET", target)[2]
            _, fields, rest = raw(WORLD.agent.port, "HEAD", target)
            self.assertEqual((values(fields, "content-length"), rest), ([str(len(body))], b""))

    def test_preflight_grants_methods_and_asked_headers(self):
        status, fields, body = raw(
            WORLD.agent.port, "OPTIONS", "/?file=x",
            "Origin: https://page.example\r\nAccess-Control-Request-Method: GET\r\n"
            "Access-Control-Request-Headers: x-design-tool, content-type\r\n"
            "Access-Control-Request-Private-Network: true\r\n")
        self.assertEqual((status, body), (204, b""))
        for name, value in [("access-control-allow-origin", "*"),
                            ("access-control-allow-methods", "GET, HEAD"),
                            ("access-control-allow-headers", "x-design-tool, content-type"),
                            ("access-control-allow-private-network", "true"),
                            ("connection", "close")]:
            self.assertEqual(values(fields, name), [value], name)
        self.assertGreater(int(values(fields, "access-control-max-age")[0]), 0)


class OriginList(unittest.TestCase):
    ALLOWED = "https://design.example"

    @classmethod
    def setUpClass(cls):
        # On the command line's -l/-p, which the Host check takes its names and port from;
        # SocketActivation has the passed socket's case.
        cls.agent = CommandLineAgent(["-o", "HTTPS://Design.Example/",
                                      "-o", "http://localhost:8000"])

    @classmethod
    def tearDownClass(cls):
        cls.agent.stop()

    def test_listed_origin_is_echoed_others_get_403_and_tools_are_served(self):
        port = self.agent.port
        for target in ("/", file_target(WORLD.font)):
            status, fields, _ = strict(port, "GET", target, [("Origin", self.ALLOWED)])
            self.assertEqual((status, fields["access-control-allow-origin"], fields["vary"]),
                             (200, self.ALLOWED, "Origin"))
            for method in ("GET", "OPTIONS"):
                status, fields, body = strict(port, method, target, [
                    ("Origin", "https://other.example"), ("Access-Control-Request-Method", "GET")])
                self.assertEqual((status, body, fields.get("access-control-allow-origin")),
                                 (403, b"", None))
            status, fields, _ = strict(port, "GET", target)
            self.assertEqual((status, fields["vary"], fields.get("access-control-allow-origin")),
                             (200, "Origin", None))

    def test_host_other_than_the_agents_gets_421(self):
        port = self.agent.port
        for host in ("localhost:%d" % port, "[::1]:%d" % port, "LOCALHOST:%d" % port):
            self.assertEqual(strict(port, "GET", "/", host=host)[0], 200, host)
        for host in ("rebound.example:%d" % port, "localhost:%d" % (port + 1), "localhost"):
            self.assertEqual(strict(port, "GET", "/", host=host)[::2], (421, b""), host)
        absolute = "http://rebound.example:%d/" % port
        self.assertEqual(strict(port, "GET", absolute, host="localhost:%d" % port)[0], 421)

    def test_what_is_no_origin_stops_the_agent_at_once(self):
        result = subprocess.run([ARGS.agent, "-o", "https://design.example/fonts"],
                                capture_output=True, timeout=GUARD_SECONDS)
        self.assertEqual((result.returncode, len(result.stderr.splitlines())), (1, 1))


class SocketActivation(unittest.TestCase):
    def test_agent_serves_the_socket_systemd_passes(self):
        if not os.access(SOCKET_ACTIVATE, os.X_OK):
            self.skipTest("%s missing (Debian package systemd)" % SOCKET_ACTIVATE)
        # systemd-socket-activate binds the address it is named itself, so its port is probed.
        port = probed_port()
        # -p names another port, which the agent must leave alone; it is bound here and never
        # listened on, so connections to it are refused whatever else runs on the machine.
        held = socket.socket()
        self.addCleanup(held.close)
        held.bind((LOOPBACK, 0))
        unused = held.getsockname()[1]
        # With -o, the Host check must take the passed socket's port.
        agent = CommandLineAgent(["-p", str(unused), "-o", "https://design.example"], port=port,
                                 launcher=[SOCKET_ACTIVATE, "-l", "%s:%d" % (LOOPBACK, port)])
        self.addCleanup(agent.stop)
        self.assertEqual(strict(port, "GET", "/")[0], 200)
        self.assertEqual(os.path.realpath("/proc/%d/exe" % agent.proc.pid),
                         os.path.realpath(ARGS.agent))
        self.assertEqual(strict(port, "GET", "/", host="%s:%d" % (LOOPBACK, unused))[0], 421)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((LOOPBACK, unused), timeout=GUARD_SECONDS).close()

    def test_variables_meant_for_another_process_are_ignored(self):
        # On -l/-p: the variables name another process, so the agent must bind for itself.
        agent = CommandLineAgent(env={"LISTEN_PID": "1", "LISTEN_FDS": "1"})
        self.addCleanup(agent.stop)
        self.assertEqual(strict(agent.port, "GET", "/")[0], 200)


class BrowserCache(unittest.TestCase):
    def test_reload_revalidates_and_transfers_no_font_bytes(self):
        if not os.access(ARGS.chromium, os.X_OK):
            self.skipTest("%s missing (Debian package chromium)" % ARGS.chromium)
        browser = Browser(ARGS.chromium, WORLD.root)
        self.addCleanup(browser.close)
        # The agent's own catalogue is the page, so the fetch is same-origin and cached.
        agent = "http://%s:%d" % (LOOPBACK, WORLD.agent.port)
        page = Page(browser, agent + "/")
        url = agent + file_target(WORLD.big)
        page.call("Network.enable")
        transfers = []
        for _ in range(2):
            self.assertEqual(page.js("fetch(%r).then((r) => r.arrayBuffer())"
                                     ".then((b) => b.byteLength)" % url), os.path.getsize(WORLD.big))
            transfers.append(self.transfer(browser, page, url))
            page.call("Page.reload")
            browser.wait_event("Page.loadEventFired", page.session)
        self.assertEqual(transfers[0][0], 200)
        self.assertGreater(transfers[0][1], os.path.getsize(WORLD.big))
        self.assertEqual(transfers[1][0], 304, "the reload did not revalidate")
        self.assertLess(transfers[1][1], 4096, "the reload fetched the font again")

    @staticmethod
    def transfer(browser, page, url):
        """(status on the wire, bytes on the wire) of the next request for `url`: DevTools
        reports a revalidated reply as the cached 200, its extra info has the 304."""
        def event(method, request=None):
            while True:
                params = browser.wait_event(method, page.session)["params"]
                if params.get("requestId") == request or params.get("response", {}).get("url") == url:
                    return params
        request = event("Network.responseReceived")["requestId"]
        status = event("Network.responseReceivedExtraInfo", request)["statusCode"]
        return status, event("Network.loadingFinished", request)["encodedDataLength"]


def main():
    global ARGS, WORLD
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    ARGS, rest = parser.parse_known_args()
    WORLD = World()
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        WORLD.stop()
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
