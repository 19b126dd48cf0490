#!/usr/bin/python3
"""The font picker (web/preview.html) in headless Chromium over this machine's own fonts.

Usage: bench/picker.py [--agent BINARY] [--chromium PATH] [--query TEXT]

Measures, against the agent serving the machine's fonts (no private fontconfig):
  first screen   time from navigation until every row on the first screen has its font
                 (or has been refused one), and the bytes the agent sent until then;
  whole list     the list scrolled one screen at a time to the end, each screen left to load:
                 bytes from the agent, and the renderer's peak memory (VmHWM) afterwards;
  keystrokes     in a fresh page, right after the catalogue arrives (fonts still loading),
                 the query typed into search a key at a time: time from keydown to the first
                 frame after the list was redrawn for it (median and p90).
Bytes are what Chromium's network layer received from the agent's origin (DevTools Network
events), headers included. Prints a table to standard output, progress to standard error;
the status is non-zero only when a figure could not be taken. The agent and the static
server listen on loopback sockets bound here (tests/harness/vorn_harness.py); the agent and
Chromium's helpers are stopped by their pids.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import MACHINE_FONTS_CONF, ROOT, quantile  # noqa: E402
from vorn_harness import Agent, StaticOrigin  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "browser"))
from devtools import UNTIL, Browser, helpers_of  # noqa: E402

TARGETS = {"first_ms": 1000, "first_bytes": 1 << 20, "scroll_bytes": 20 << 20,
           "renderer_mib": 600, "key_p90_ms": 100}
# Each scroll step waits at most this long for the screen's fonts; only a guard against a
# face that never settles, the step normally ends when the page says nothing is pending.
STEP_GUARD_S = 20


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


class Tab:
    """A tab whose traffic to the agent is counted from the moment it is opened."""

    def __init__(self, browser, url, agent_origin):
        self.browser = browser
        self.agent_origin = agent_origin
        self.urls = {}
        self.received = {}
        target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.target = target
        self.session = browser.call("Target.attachToTarget",
                                    {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Network"):
            self.call(domain + ".enable")
        self.call("Page.navigate", {"url": url})
        browser.wait_event("Page.loadEventFired", self.session)

    def call(self, method, params=None):
        return self.browser.call(method, params, session=self.session)

    def js(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression,
                                                "awaitPromise": True, "returnByValue": True})
        if "exceptionDetails" in result:
            raise RuntimeError("page script failed: %s" % result["exceptionDetails"])
        return result["result"].get("value")

    def until(self, predicate):
        return self.js("(%s)(() => %s)" % (UNTIL, predicate))

    def agent_bytes(self):
        """Bytes received from the agent so far, from the events gathered meanwhile."""
        keep = []
        for event in self.browser.events:
            if event.get("sessionId") != self.session:
                keep.append(event)
                continue
            params = event["params"]
            if event["method"] == "Network.requestWillBeSent":
                self.urls[params["requestId"]] = params["request"]["url"]
            elif event["method"] == "Network.dataReceived":
                rid = params["requestId"]
                self.received[rid] = self.received.get(rid, 0) + params["encodedDataLength"]
            elif event["method"] == "Network.loadingFinished":
                rid = params["requestId"]
                # The total includes the headers; dataReceived may report only the body.
                self.received[rid] = max(self.received.get(rid, 0),
                                         params["encodedDataLength"])
        self.browser.events[:] = keep
        return sum(n for rid, n in self.received.items()
                   if self.urls.get(rid, "").startswith(self.agent_origin))

    def catalogue_bytes(self):
        return sum(n for rid, n in self.received.items()
                   if self.urls.get(rid, "").startswith(self.agent_origin) and
                   "file=" not in self.urls[rid] and "events=" not in self.urls[rid])

    def requests(self):
        return sum(1 for url in self.urls.values() if url.startswith(self.agent_origin))

    def close(self):
        self.browser.call("Target.closeTarget", {"targetId": self.target})


def renderer_memory_kib(browser):
    """Peak and current resident memory of the biggest renderer process."""
    best = (0, 0)
    for pid in helpers_of(browser.proc.pid, browser.root):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if b"--type=renderer" not in f.read():
                    continue
            with open("/proc/%d/status" % pid) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        kib = lambda key: int(fields.get(key, "0 kB").split()[0])  # noqa: E731
        best = max(best, (kib("VmHWM"), kib("VmRSS")))
    return best


# Resolves with the milliseconds from the next keydown to the first frame after the list has
# been redrawn for it (the picker filters in one frame and draws the rows in the next).
KEY_PROBE = """new Promise((resolve) => {
  addEventListener('keydown', () => {
    const start = performance.now();
    const before = vornPicker.list.items;
    const check = () => requestAnimationFrame(() => {
      if (vornPicker.list.items !== before && !vornPicker.list.frame) {
        resolve(performance.now() - start);
      } else {
        check();
      }
    });
    check();
  }, {once: true, capture: true});
})"""


def first_screen_and_scroll(browser, url, origin):
    tab = Tab(browser, url, origin)
    try:
        if tab.until("['ready', 'error'].includes(document.body.dataset.state) && "
                     "document.body.dataset.state") != "ready":
            raise RuntimeError(tab.js("document.getElementById('status').textContent"))
        tab.until("document.body.dataset.firstScreen === 'drawn'")
        first = {"ms": tab.js("performance.getEntriesByName('vorn-first-screen')[0].startTime"),
                 "bytes": tab.agent_bytes(), "requests": tab.requests(),
                 "catalogue": tab.catalogue_bytes(),
                 "families": tab.js("vornPicker.state.model.length"),
                 "faces": tab.js("vornPicker.state.model.reduce((n, f) => n + f.faces.length,"
                                 " 0)")}
        log("first screen: %.0f ms, %d bytes" % (first["ms"], first["bytes"]))
        steps = 0
        started = time.monotonic()
        while True:
            done = tab.js("""(async () => {
                const list = document.getElementById('families');
                if (list.scrollTop + list.clientHeight >= list.scrollHeight - 1) return true;
                list.scrollTop += list.clientHeight;
                await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
                await Promise.race([
                  (%s)(() => document.body.dataset.pending === '0'),
                  new Promise((r) => setTimeout(r, %d))]);
                return false;
            })()""" % (UNTIL, STEP_GUARD_S * 1000))
            steps += 1
            if done or steps > 10000:
                break
            if steps % 20 == 0:
                log("scrolled %d screens, %d bytes" % (steps, tab.agent_bytes()))
        first["features"] = tab.js("document.getElementById('caps').textContent")
        hwm, rss = renderer_memory_kib(browser)
        scroll = {"bytes": tab.agent_bytes(), "requests": tab.requests(), "screens": steps,
                  "seconds": time.monotonic() - started, "hwm_mib": hwm / 1024,
                  "rss_mib": rss / 1024}
        log("whole list: %d bytes, renderer peak %.0f MiB" % (scroll["bytes"], hwm / 1024))
        return first, scroll
    finally:
        tab.close()


def keystrokes(browser, url, origin, query):
    tab = Tab(browser, url, origin)
    try:
        tab.until("document.body.dataset.state === 'ready'")
        tab.js("document.getElementById('search').focus()")
        times = []
        # Typed forward, then erased again: both grow and shrink the list.
        for key in list(query) + ["Backspace"] * len(query):
            probe = tab.js("window.__probe = %s, 1" % KEY_PROBE)
            assert probe == 1
            event = {"key": key, "code": key if key == "Backspace" else "",
                     "windowsVirtualKeyCode": 8 if key == "Backspace" else ord(key.upper())}
            if key != "Backspace":
                event["text"] = key
            tab.call("Input.dispatchKeyEvent", dict(event, type="keyDown"))
            tab.call("Input.dispatchKeyEvent", dict(event, type="keyUp"))
            times.append(tab.js("window.__probe"))
            log("key %r: %.0f ms" % (key, times[-1]))
            time.sleep(0.12)  # a quick typist's pace
        return times
    finally:
        tab.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", default=os.path.join(ROOT, "build", "vorn-font-agent"))
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--query", default="noto sans")
    args = parser.parse_args()
    for path in (args.agent, args.chromium):
        if not os.access(path, os.X_OK):
            sys.exit("%s is missing (build the agent; Debian package chromium)" % path)

    work = tempfile.mkdtemp(prefix="vorn-picker-bench-")
    agent = web = browser = None
    try:
        # The machine's own fonts, as a user's browser would see them.
        agent = Agent(args.agent, MACHINE_FONTS_CONF)
        web = StaticOrigin(os.path.join(ROOT, "web"))
        origin = agent.url
        url = "%spreview.html?agent=%s" % (web.url, urllib.parse.quote(origin, safe=""))

        browser = Browser(args.chromium, work, window_size=(1280, 900))
        first, scroll = first_screen_and_scroll(browser, url, origin)
        keys = keystrokes(browser, url, origin, args.query)
    finally:
        if browser:
            browser.close()
        if web:
            web.close()
        if agent:
            agent.stop()
        shutil.rmtree(work, ignore_errors=True)

    mib = lambda n: n / (1 << 20)  # noqa: E731
    verdict = lambda ok: "meets" if ok else "misses"  # noqa: E731
    print("Font picker over this machine's fonts: %d families, %d faces" %
          (first["families"], first["faces"]))
    print(first["features"])
    print("| Figure | Value | Target |")
    print("|---|---|---|")
    print("| first screen drawn | %.0f ms | %s ≤ %d ms |" % (
        first["ms"], verdict(first["ms"] <= TARGETS["first_ms"]), TARGETS["first_ms"]))
    print("| first screen from the agent | %.2f MiB in %d requests (catalogue %.2f MiB) "
          "| %s ≤ 1 MiB |" % (mib(first["bytes"]), first["requests"], mib(first["catalogue"]),
        verdict(first["bytes"] <= TARGETS["first_bytes"])))
    print("| whole list scrolled (%d screens, %.0f s) | %.1f MiB in %d requests | %s ≤ 20 MiB |"
          % (scroll["screens"], scroll["seconds"], mib(scroll["bytes"]), scroll["requests"],
             verdict(scroll["bytes"] <= TARGETS["scroll_bytes"])))
    print("| renderer memory after the scroll | peak %.0f MiB, now %.0f MiB | %s < 600 MiB |" % (
        scroll["hwm_mib"], scroll["rss_mib"],
        verdict(scroll["hwm_mib"] < TARGETS["renderer_mib"])))
    print("| keystroke to drawn list (%d keys) | median %.0f ms, p90 %.0f ms, max %.0f ms "
          "| %s p90 ≤ 100 ms |" % (len(keys), quantile(keys, 0.5), quantile(keys, 0.9),
                                   max(keys), verdict(quantile(keys, 0.9) <=
                                                      TARGETS["key_p90_ms"])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
