"""Headless Chromium driven over the DevTools protocol on a pipe; standard library only.

Chromium is started with --remote-debugging-pipe: it reads NUL-terminated JSON commands on
its fd 3 and writes replies and events on its fd 4, so no port is opened and no WebSocket
client is needed. Used by the browser test and by scripts/screenshot.sh.
"""

import fcntl
import json
import os
import select
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from vorn_harness import stop_process  # noqa: E402

# The benchmarks still import it by this name.
stop_pid = stop_process

# A guard against a hung browser only: callers wait on conditions in the page, never on
# elapsed time; this bound just turns a hang into an error.
CALL_GUARD_SECONDS = 60

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe"]

# Resolves once `predicate()` is truthy, re-checking on every DOM change, so no wait depends
# on the clock.
UNTIL = """
(predicate) => new Promise((resolve) => {
  let observer = null;
  const check = () => {
    const value = predicate();
    if (value) { if (observer) observer.disconnect(); resolve(value); return true; }
    return false;
  };
  if (check()) return;
  observer = new MutationObserver(check);
  observer.observe(document, {subtree: true, childList: true, attributes: true,
                              characterData: true});
})
"""


class ProtocolError(Exception):
    pass


def helpers_of(browser_pid, root):
    """Live processes a browser started: those in its process group (it leads a session of
    its own) and Chromium's crash handlers, which leave the group but name our folder."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        if fields[0] == "Z":
            continue
        if int(fields[2]) == browser_pid or root.encode() in cmdline:
            found.append(int(entry))
    return found


def stop_browser(proc, root):
    """Stops a browser we started in a session of its own, by its pid, then its helpers: they
    end once the browser is gone, and any still there after a bounded wait is ended by its
    pid. Serves Chromium and Firefox (whose content processes stay in its group)."""
    stop_process(proc)
    for _ in range(100):
        if not helpers_of(proc.pid, root):
            break
        time.sleep(0.05)
    for pid in helpers_of(proc.pid, root):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


class Browser:
    """One Chromium process whose profile and home live in `root` (a private folder).

    Start it before any thread exists in this process: the pipe is wired in preexec_fn."""

    def __init__(self, chromium, root, window_size=(1280, 800)):
        to_browser_r, to_browser_w = os.pipe()
        from_browser_r, from_browser_w = os.pipe()
        # Moving the child's ends above any low number first means the dup2 calls below can
        # never overwrite each other.
        child_in = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD_CLOEXEC, 100)
        child_out = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD_CLOEXEC, 100)
        os.close(to_browser_r)
        os.close(from_browser_w)

        def wire_pipe():
            os.dup2(child_in, 3)
            os.dup2(child_out, 4)

        # Chromium keeps the machine's fonts; its home (crash database, caches) is ours.
        env = {k: v for k, v in os.environ.items()
               if k not in ("FONTCONFIG_FILE", "FONTCONFIG_PATH")}
        home = os.path.join(root, "home")
        os.makedirs(home, exist_ok=True)
        env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"))
        self.root = root
        self.log_path = os.path.join(root, "chromium.log")
        self.log = open(self.log_path, "wb")
        args = [chromium] + FLAGS + [
            "--window-size=%d,%d" % window_size,
            "--user-data-dir=" + os.path.join(root, "profile"), "about:blank"]
        # A session of its own keeps Chromium's helpers in a group we can find them by.
        self.proc = subprocess.Popen(
            args, env=env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=wire_pipe, close_fds=False, start_new_session=True)
        os.close(child_in)
        os.close(child_out)
        self.write_fd = to_browser_w
        self.read_fd = from_browser_r
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def send(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self.write_fd, data):]
        return self.next_id

    def receive(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.read_fd], [], [], left)[0]:
                raise ProtocolError("Chromium did not answer within %d s" % CALL_GUARD_SECONDS)
            chunk = os.read(self.read_fd, 1 << 16)
            if not chunk:
                raise ProtocolError("Chromium closed the DevTools pipe")
            self.buffer += chunk
        message, _, self.buffer = self.buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method, params=None, session=None):
        wanted = self.send(method, params, session)
        deadline = time.monotonic() + CALL_GUARD_SECONDS
        while True:
            message = self.receive(deadline)
            if message.get("id") == wanted:
                if "error" in message:
                    raise ProtocolError("%s: %s" % (method, message["error"]))
                return message.get("result", {})
            if "method" in message:
                self.events.append(message)

    def wait_event(self, method, session):
        deadline = time.monotonic() + CALL_GUARD_SECONDS
        while True:
            for i, event in enumerate(self.events):
                if event["method"] == method and event.get("sessionId") == session:
                    return self.events.pop(i)
            message = self.receive(deadline)
            if "method" in message:
                self.events.append(message)

    def close(self):
        try:
            self.call("Browser.close")
        except (ProtocolError, OSError):
            pass
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            pass
        stop_browser(self.proc, self.root)
        os.close(self.write_fd)
        os.close(self.read_fd)
        self.log.close()


class PageError(AssertionError):
    """A script evaluated in the page threw."""


class Page:
    """One fresh tab, navigated to `url` and loaded; `prelude` is evaluated once it is, and
    `early` in every document before the page's own scripts. A new tab comes to the front of
    its window (the others there turn hidden); `new_window` opens it in a window of its own."""

    def __init__(self, browser, url, prelude=None, early=None, new_window=False):
        self.browser = browser
        self.target = browser.call("Target.createTarget", {"url": "about:blank",
                                                           "newWindow": new_window})["targetId"]
        self.session = browser.call("Target.attachToTarget",
                                    {"targetId": self.target, "flatten": True})["sessionId"]
        browser.call("Page.enable", session=self.session)
        if early:
            self.call("Page.addScriptToEvaluateOnNewDocument", {"source": early})
        browser.call("Page.navigate", {"url": url}, session=self.session)
        browser.wait_event("Page.loadEventFired", self.session)
        if prelude:
            self.js(prelude)

    def js(self, expression):
        """Evaluates `expression`, awaits it when it is a promise, and returns its value."""
        result = self.browser.call("Runtime.evaluate", {
            "expression": expression, "awaitPromise": True, "returnByValue": True,
        }, session=self.session)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise PageError("page script failed: %s" %
                            details.get("exception", {}).get("description", details))
        return result["result"].get("value")

    def call(self, method, params=None):
        return self.browser.call(method, params, session=self.session)

    def close(self):
        self.browser.call("Target.closeTarget", {"targetId": self.target})
