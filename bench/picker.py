#!/usr/bin/python3
"""The font picker (web/preview.html) in headless Chromium over this machine's own fonts.

Usage: bench/picker.py [--no-install] [--no-build] [--agent BINARY] [--chromium PATH] [--query TEXT]

Measures, against the agent serving the machine's fonts (no private fontconfig), in two modes
side by side, each with a fresh agent (its catalogue made, none of its faces) and browser:
menu, the page as it is (the names on a screen from one font menu request), and per-face, the
page with its menu requests refused by the browser, so that it asks for each face on its own
as with an agent without the menu:
  first screen   time from navigation until every row on the first screen has its font
                 (or has been refused one), the agent's requests and bytes until then, and
                 when the catalogue and the fonts were asked for and came in; then the same
                 in a second tab (the agent's faces made, the browser's cache warm);
  whole list     the list scrolled one screen at a time to the end, each screen left to load:
                 bytes and requests from the agent, and the renderer's peak memory (VmHWM);
  keystrokes     (menu mode) in a fresh page, right after the catalogue arrives (fonts still
                 loading), the query typed into search a key at a time: time from keydown to
                 the first frame after the list was redrawn for it (median and p90).
Bytes are what Chromium's network layer received from the agent's origin (DevTools Network
events), headers included. Prints a table to standard output, progress to standard error;
the status is non-zero only when a figure could not be taken. The agent and the static
server listen on loopback sockets bound here (tests/harness/vorn_harness.py); the agent and
Chromium's helpers are stopped by their pids. It installs and builds what is missing as
bench/run.py does (--no-install, --no-build).
"""

import os
import shutil
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import (MACHINE_FONTS_CONF, ROOT, CannotMeasure, http_get,  # noqa: E402
                      option_parser, prepare_agent, quantile)
from vorn_harness import Agent, StaticOrigin  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "browser"))
from devtools import UNTIL, Browser, helpers_of  # noqa: E402

TARGETS = {"first_ms": 300, "scroll_bytes": 20 << 20,
           "renderer_mib": 600, "key_p90_ms": 100}
# Each scroll step waits at most this long for the screen's fonts; only a guard against a
# face that never settles, the step normally ends when the page says nothing is pending.
STEP_GUARD_S = 20


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


class Tab:
    """A tab whose traffic to the agent is counted from the moment it is opened."""

    def __init__(self, browser, url, agent_origin, blocked=()):
        self.browser = browser
        self.agent_origin = agent_origin
        self.urls = {}
        self.received = {}
        self.log = {}  # requestId -> {event method: params}
        self.clock = 0.0
        target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.target = target
        self.session = browser.call("Target.attachToTarget",
                                    {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Network"):
            self.call(domain + ".enable")
        if blocked:
            self.call("Network.setBlockedURLs", {"urls": blocked})
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
            if params.get("requestId") in self.log:
                self.log[params["requestId"]][event["method"]] = params
            if event["method"] == "Network.requestWillBeSent":
                self.urls[params["requestId"]] = params["request"]["url"]
                self.log.setdefault(params["requestId"], {event["method"]: params})
                # Wall time less the monotonic clock the other events are stamped with.
                self.clock = params["wallTime"] - params["timestamp"]
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

    def requests(self):
        return sum(1 for url in self.urls.values() if url.startswith(self.agent_origin))

    def until_mark(self, wall_ms):
        """The agent's requests sent before `wall_ms` (wall clock, ms): how many, their bytes,
        and each one's kind and times in ms from `origin_ms`: sent, headers in, last byte in."""
        self.agent_bytes()
        sent = []
        for rid, log in self.log.items():
            request = log["Network.requestWillBeSent"]
            if (not request["request"]["url"].startswith(self.agent_origin) or
                    1000 * request["wallTime"] > wall_ms):
                continue
            timing = log.get("Network.responseReceived", {}).get("response", {}).get("timing")
            done = log.get("Network.loadingFinished") or log.get("Network.loadingFailed")
            sent.append({"kind": kind_of(request["request"]["url"]),
                         "sent": 1000 * (timing["requestTime"] + self.clock) +
                         timing["sendStart"] if timing else None,
                         "headers": 1000 * (timing["requestTime"] + self.clock) +
                         timing["receiveHeadersEnd"] if timing else None,
                         "done": 1000 * (done["timestamp"] + self.clock) if done else None,
                         "failed": "Network.loadingFailed" in log,
                         "bytes": self.received.get(rid, 0)})
        return sent

    def close(self):
        self.browser.call("Target.closeTarget", {"targetId": self.target})


def kind_of(url):
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)
    if "menu" in query:
        return "menu"
    if "file" in query:
        return "face"
    return {"details": "details", "events": "events"}.get(next(iter(query), ""), "catalogue")


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


def first_screen(tab):
    """The first screen of a tab just opened: when it was drawn (ms from navigation), the
    agent's requests until then, and where the time went."""
    if tab.until("['ready', 'error'].includes(document.body.dataset.state) && "
                 "document.body.dataset.state") != "ready":
        raise RuntimeError(tab.js("document.getElementById('status').textContent"))
    tab.until("document.body.dataset.firstScreen === 'drawn'")
    origin = tab.js("performance.timeOrigin")
    ms = tab.js("performance.getEntriesByName('vorn-first-screen')[0].startTime")
    sent = tab.until_mark(origin + ms)
    at = lambda requests, key, pick: pick(r[key] - origin for r in requests)  # noqa: E731
    catalogue = [r for r in sent if r["kind"] == "catalogue"]
    fonts = [r for r in sent if r["kind"] in ("menu", "face") and not r["failed"]]
    first = {"ms": ms, "requests": sum(1 for r in sent if not r["failed"]),
             "menus": sum(1 for r in fonts if r["kind"] == "menu"),
             "faces": sum(1 for r in fonts if r["kind"] == "face"),
             "bytes": sum(r["bytes"] for r in sent), "catalogue": catalogue[0]["bytes"],
             "families": tab.js("vornPicker.state.model.length"),
             "faceCount": tab.js("vornPicker.state.model.reduce((n, f) => n + f.faces.length,"
                                 " 0)"),
             # Navigation until the catalogue was asked for: the page and its modules.
             "scripts": at(catalogue, "sent", min), "catalogueIn": at(catalogue, "done", min)}
    if fonts:
        first.update(fontsSent=at(fonts, "sent", min), fontsIn=at(fonts, "done", max),
                     firstHeaders=at(fonts, "headers", min))
    log("first screen: %.0f ms, %d requests, %d bytes" % (ms, first["requests"], first["bytes"]))
    return first


def scroll_to_end(tab):
    """The list scrolled a screen at a time to its end, each screen left to load."""
    base_bytes, base_requests = tab.agent_bytes(), tab.requests()
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
    hwm, rss = renderer_memory_kib(tab.browser)
    scroll = {"bytes": tab.agent_bytes(), "requests": tab.requests(), "screens": steps,
              "seconds": time.monotonic() - started, "hwm_mib": hwm / 1024,
              "rss_mib": rss / 1024, "bytesAfterFirst": tab.agent_bytes() - base_bytes,
              "requestsAfterFirst": tab.requests() - base_requests,
              "features": tab.js("document.getElementById('caps').textContent")}
    log("whole list: %d bytes, renderer peak %.0f MiB" % (scroll["bytes"], hwm / 1024))
    return scroll


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


# The picker as it is, and as it draws with an agent that has no font menu: the page's menu
# requests are refused by the browser, and it asks for each face on its own.
MODES = (("menu", ()), ("per-face", ("*menu=1*",)))


def run_mode(args, web, work, mode, blocked):
    """One mode on a fresh agent (its catalogue made, no face made yet) in a fresh browser:
    the first screen, the same again in a second tab (the agent's faces and the browser's
    cache warm), and the whole list scrolled in the first tab; keystrokes in the menu mode."""
    agent = browser = None
    try:
        agent = Agent(args.agent, MACHINE_FONTS_CONF)
        http_get(agent.port, "/")  # the catalogue, as from an agent that has been running
        url = "%spreview.html?agent=%s" % (web.url, urllib.parse.quote(agent.url, safe=""))
        browser = Browser(args.chromium, os.path.join(work, mode), window_size=(1280, 900))
        log("%s: first screen, fresh agent" % mode)
        tab = Tab(browser, url, agent.url, blocked)
        figures = {"mode": mode, "first": first_screen(tab)}
        log("%s: first screen again, in a second tab" % mode)
        again = Tab(browser, url, agent.url, blocked)
        figures["again"] = first_screen(again)
        again.close()
        figures["scroll"] = scroll_to_end(tab)
        tab.close()
        if mode == "menu":
            figures["keys"] = keystrokes(browser, url, agent.url, args.query)
        return figures
    finally:
        if browser:
            browser.close()
        if agent:
            agent.stop()


def warm_up(args, web, work):
    """The page once in a browser of its own, against an address where nothing listens: the
    first browser of a run starts slower (the system's caches), and no mode should pay it."""
    browser = Browser(args.chromium, os.path.join(work, "warm-up"), window_size=(1280, 900))
    try:
        tab = Tab(browser, "%spreview.html?agent=http://127.0.0.1:9/" % web.url, "-")
        tab.until("document.body.dataset.state === 'error'")
        tab.close()
    finally:
        browser.close()


def main():
    parser = option_parser("picker.py", __doc__.split("\n\n")[1] + "\n")
    parser.add_argument("--agent", default=os.path.join(ROOT, "build", "vorn-font-agent"))
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--query", default="noto sans")
    args = parser.parse_args()
    if args.help:
        print(__doc__)
        return 0
    try:
        prepare_agent(os.path.dirname(os.path.abspath(args.agent)), args.install, args.build,
                      ["chromium"], log)
    except CannotMeasure as e:
        sys.exit("picker: cannot run: %s" % e)
    if not os.access(args.chromium, os.X_OK):
        sys.exit("%s is missing (Debian package chromium)" % args.chromium)

    work = tempfile.mkdtemp(prefix="vorn-picker-bench-")
    web = None
    try:
        web = StaticOrigin(os.path.join(ROOT, "web"))
        warm_up(args, web, work)
        runs = [run_mode(args, web, work, mode, blocked) for mode, blocked in MODES]
    finally:
        if web:
            web.close()
        shutil.rmtree(work, ignore_errors=True)
    report(runs)
    return 0


def report(runs):
    mib = lambda n: n / (1 << 20)  # noqa: E731
    verdict = lambda ok: "meets" if ok else "misses"  # noqa: E731
    menu = runs[0]
    print("Font picker over this machine's fonts: %d families, %d faces; %s UTC, load average "
          "%s" % (menu["first"]["families"], menu["first"]["faceCount"],
                  time.strftime("%Y-%m-%d %H:%M", time.gmtime()),
                  open("/proc/loadavg").read().split()[0]))
    print(menu["scroll"]["features"])
    print("| Figure | " + " | ".join(r["mode"] for r in runs) + " | Target |")
    print("|---" * (len(runs) + 2) + "|")
    row = lambda title, cell, target="": print(  # noqa: E731
        "| %s | %s | %s |" % (title, " | ".join(cell(r) for r in runs), target))
    for key, title in (("first", "first screen drawn, agent's faces not yet made"),
                       ("again", "first screen drawn again, second tab")):
        row(title, lambda r: "%.0f ms" % r[key]["ms"], "%s ≤ %d ms" % (
            verdict(menu[key]["ms"] <= TARGETS["first_ms"]), TARGETS["first_ms"]))
        row("… requests to the agent until then", lambda r: "%d (%d menu, %d face), %.2f MiB" % (
            r[key]["requests"], r[key]["menus"], r[key]["faces"], mib(r[key]["bytes"])))
        row("… page until it asked for the catalogue", lambda r: "%.0f ms" % r[key]["scripts"])
        row("… catalogue (%.2f MiB) in" % mib(menu[key]["catalogue"]),
            lambda r: "%.0f ms" % r[key]["catalogueIn"])
        row("… first font request sent", lambda r: "%.0f ms" % r[key].get("fontsSent", 0))
        row("… first reply's headers", lambda r: "%.0f ms" % r[key].get("firstHeaders", 0))
        row("… last font byte in", lambda r: "%.0f ms" % r[key].get("fontsIn", 0))
    row("whole list scrolled", lambda r: "%.1f MiB in %d requests (%d screens, %.0f s)" % (
        mib(r["scroll"]["bytes"]), r["scroll"]["requests"], r["scroll"]["screens"],
        r["scroll"]["seconds"]), "%s ≤ 20 MiB" % verdict(
            menu["scroll"]["bytes"] <= TARGETS["scroll_bytes"]))
    row("renderer memory after the scroll", lambda r: "peak %.0f MiB, now %.0f MiB" % (
        r["scroll"]["hwm_mib"], r["scroll"]["rss_mib"]), "%s < 600 MiB" % verdict(
            menu["scroll"]["hwm_mib"] < TARGETS["renderer_mib"]))
    keys = menu["keys"]
    print("| keystroke to drawn list (%d keys) | median %.0f ms, p90 %.0f ms, max %.0f ms | | "
          "%s p90 ≤ 100 ms |" % (len(keys), quantile(keys, 0.5), quantile(keys, 0.9), max(keys),
                                 verdict(quantile(keys, 0.9) <= TARGETS["key_p90_ms"])))
    print("""
Times are from the navigation (the tab's performance.timeOrigin) and come from Chromium's
DevTools network events; "drawn" is the page's vorn-first-screen mark: every row on the first
screen has its font, or was refused one. per-face: the browser refuses the page's menu
requests (as it were an agent without the menu), so the page asks for each face on its own.""")


if __name__ == "__main__":
    sys.exit(main())
