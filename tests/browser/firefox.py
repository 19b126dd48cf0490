"""Headless Firefox driven over WebDriver BiDi, its built-in remote protocol; standard library
only (no driver binary, no client package).

Firefox is started on a fresh profile with --remote-debugging-port=0: it binds a free loopback
port itself and writes it to WebDriverBiDiServer.json in the profile, so nothing probes for a
port. The client connects to ws://127.0.0.1:PORT/session (websocket.py), starts a session and
evaluates scripts in the page; replies are matched to commands by id, and no events are
subscribed to, since callers wait on conditions in the page (devtools.UNTIL).
"""

import json
import os
import subprocess
import time

from devtools import stop_browser
from websocket import WebSocket, WebSocketError

# A guard against a hung browser only: callers wait on conditions in the page, never on
# elapsed time; this bound just turns a hang into an error.
CALL_GUARD_SECONDS = 60
START_GUARD_SECONDS = 60

# The machine's network is closed and a test must send nothing beyond loopback: no updates,
# telemetry, remote settings, studies, safe-browsing lists, captive-portal or connectivity
# probes, prefetching or first-run pages. Loopback is always reached directly: no proxy
# from the environment can take it over.
PREFS = {
    "app.update.disabledForTesting": True,
    "app.update.auto": False,
    "app.normandy.enabled": False,
    "app.shield.optoutstudies.enabled": False,
    "browser.aboutwelcome.enabled": False,
    "browser.discovery.enabled": False,
    "browser.newtabpage.enabled": False,
    "browser.region.network.url": "",
    "browser.safebrowsing.downloads.remote.enabled": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.provider.mozilla.updateURL": "",
    "browser.search.update": False,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.startup.page": 0,
    "browser.topsites.contile.enabled": False,
    "datareporting.healthreport.uploadEnabled": False,
    # The page's console messages go to the log that a failing test prints.
    "devtools.console.stdout.content": True,
    "datareporting.policy.dataSubmissionEnabled": False,
    "datareporting.policy.firstRunURL": "",
    "extensions.getAddons.cache.enabled": False,
    "extensions.update.enabled": False,
    "geo.provider.network.url": "",
    "media.gmp-manager.url": "",
    "messaging-system.rsexperimentloader.enabled": False,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "network.dns.disablePrefetch": True,
    "network.http.speculative-parallel-limit": 0,
    "network.prefetch-next": False,
    "network.proxy.type": 0,
    "network.proxy.allow_hijacking_localhost": False,
    # Firefox asks the user before a public page reaches loopback or the local network, and
    # holds the request until they answer: here the answer is yes, as a user of the agent's
    # pages would give it.
    "permissions.default.loopback-network": 1,
    "permissions.default.local-network": 1,
    # The address the remote agent itself uses in tests: remote settings never leave the box.
    "services.settings.server": "data:,#remote-settings-dummy/v1",
    "startup.homepage_welcome_url": "",
    "toolkit.telemetry.enabled": False,
    "toolkit.telemetry.server": "",
    "toolkit.telemetry.unified": False,
}


class ProtocolError(Exception):
    pass


class PageError(AssertionError):
    """A script evaluated in the page threw."""


def write_profile(profile, prefs):
    os.makedirs(profile)
    with open(os.path.join(profile, "user.js"), "w") as f:
        for name, value in dict(PREFS, **prefs).items():
            f.write("user_pref(%s, %s);\n" % (json.dumps(name), json.dumps(value)))


class Firefox:
    """One Firefox process whose profile and home live in `root` (a private folder), with a
    WebDriver BiDi session open; `prefs` are set on top of PREFS."""

    def __init__(self, binary, root, prefs=None):
        self.root = root
        profile = os.path.join(root, "profile")
        write_profile(profile, prefs or {})
        # Firefox keeps the machine's fonts; its home (caches, crash reports) is ours.
        env = {k: v for k, v in os.environ.items()
               if k not in ("FONTCONFIG_FILE", "FONTCONFIG_PATH")}
        home = os.path.join(root, "home")
        os.makedirs(home, exist_ok=True)
        env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"), MOZ_CRASHREPORTER_DISABLE="1")
        self.log_path = os.path.join(root, "firefox.log")
        self.log = open(self.log_path, "wb")
        # A session of its own keeps the content processes in a group we can find them by.
        self.proc = subprocess.Popen(
            [binary, "--headless", "--remote-debugging-port=0", "--profile", profile,
             "--no-remote", "about:blank"],
            env=env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            start_new_session=True)
        self.socket = None
        self.next_id = 0
        try:
            port = self.remote_port(os.path.join(profile, "WebDriverBiDiServer.json"))
            self.socket = WebSocket("ws://127.0.0.1:%d/session" % port, CALL_GUARD_SECONDS)
            self.call("session.new", {"capabilities": {}})
        except BaseException:
            self.close()
            raise

    def remote_port(self, path):
        """The port Firefox chose, from the file it writes once its remote agent listens."""
        for _ in range(START_GUARD_SECONDS * 10):
            if self.proc.poll() is not None:
                raise ProtocolError("Firefox exited with status %d" % self.proc.returncode)
            try:
                with open(path) as f:
                    return int(json.load(f)["ws_port"])
            except (OSError, ValueError, KeyError):
                time.sleep(0.1)  # not written yet, or half written
        raise ProtocolError("Firefox's remote agent did not start")

    def call(self, method, params=None):
        self.next_id += 1
        wanted = self.next_id
        self.socket.send(json.dumps({"id": wanted, "method": method, "params": params or {}}))
        deadline = time.monotonic() + CALL_GUARD_SECONDS
        while True:
            try:
                message = json.loads(self.socket.receive(deadline))
            except WebSocketError as err:
                raise ProtocolError("%s: %s" % (method, err)) from None
            if message.get("id") != wanted:
                continue  # an event or a stray reply
            if message.get("type") == "error":
                raise ProtocolError("%s: %s: %s" % (method, message.get("error"),
                                                    message.get("message")))
            return message.get("result", {})

    def close(self):
        if self.socket:
            try:
                self.call("browser.close")
            except (ProtocolError, OSError):
                pass
            self.socket.close()
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            pass
        stop_browser(self.proc, self.root)
        self.log.close()


class Page:
    """A fresh tab, sized to `viewport`, navigated to `url` and loaded; `prelude` is evaluated
    once it is."""

    def __init__(self, firefox, url, prelude=None, viewport=(1280, 800)):
        self.firefox = firefox
        # A tab of our own, not the one Firefox starts with: headless, that one never has the
        # focus, so neither :focus nor keyboard input would reach the page.
        self.context = firefox.call("browsingContext.create", {"type": "tab"})["context"]
        firefox.call("browsingContext.setViewport", {
            "context": self.context,
            "viewport": {"width": viewport[0], "height": viewport[1]}})
        firefox.call("browsingContext.navigate",
                     {"context": self.context, "url": url, "wait": "complete"})
        if prelude:
            self.js(prelude)

    def js(self, expression):
        """Evaluates the script `expression` as CDP's Runtime.evaluate does (its completion
        value, a promise awaited) and returns the value as plain Python data."""
        result = self.firefox.call("script.evaluate", {
            "expression": expression, "target": {"context": self.context},
            "awaitPromise": True, "resultOwnership": "none"})
        if result.get("type") == "exception":
            details = result["exceptionDetails"]
            raise PageError("page script failed: %s" % details.get("text", details))
        return plain(result["result"])

    def close(self):
        self.firefox.call("browsingContext.close", {"context": self.context})


# Numbers BiDi sends as strings, since JSON has no words for them.
SPECIAL_NUMBERS = {"NaN": float("nan"), "-0": -0.0, "Infinity": float("inf"),
                   "-Infinity": float("-inf")}


def plain(value):
    """A BiDi remote value (typed, nested) as the Python value JSON would give; objects that
    have no such value (nodes, functions, windows) as None."""
    kind, data = value.get("type"), value.get("value")
    if kind in ("string", "boolean", "bigint"):
        return int(data) if kind == "bigint" else data
    if kind == "number":
        return SPECIAL_NUMBERS.get(data, data) if isinstance(data, str) else data
    if kind in ("array", "set"):
        return [plain(item) for item in data or []]
    if kind in ("object", "map"):
        return {key if isinstance(key, str) else str(plain(key)): plain(item)
                for key, item in data or []}
    return None
