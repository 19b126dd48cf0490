#!/usr/bin/python3
"""The font-menu benchmark: a page that draws every family's name in its own regular face.

Usage: bench/fontmenu.py [--agent BINARY] [--chromium PATH] [--no-install] [--no-build]

The agent runs with the machine's own fontconfig setup on a loopback socket bound here and
handed to it as systemd does; the page is served from a second loopback origin (a static server
in this process), so fonts cross origins as on a real site. The page fetches ?details=1, picks
each family's face as the README's font-menu example does (weight and slant Normal, else the
first face) and loads it with FontFace, in headless Chromium with a fresh profile for each
mode:

  whole    ?file=PATH, plus &face=N for every face of a collection (a page cannot draw a
           collection face otherwise), i.e. each face whole
  subset   ?file=PATH&face=N&text=FAMILY, the agent making each subset for the first time
  reload   the same as subset in a new browser, the agent's subset cache now warm
  menu     the font menu route instead (web/vorn-fonts.js menu()): the plain catalogue for the
           names and ?menu=1 for every face, one request each, on a fresh agent
  menu-reload  the same in a new browser, the agent's faces made

Then the menu from Python on a fresh agent, first and again (the agent's share). Then, from
Python over loopback to a fresh agent: first-time subsets of a CJK collection
face, the subset mode's requests over as many connections as the browser uses (the agent's
share of the menu's time), and a cached subset's latency against the plain small-file latency.
Prints a table on standard output, progress on standard error. Every process it starts is
stopped by its pid.
"""

import argparse
import contextlib
import http.client
import json
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402
from benchlib import ROOT, status_kib  # noqa: E402
from vorn_harness import LOOPBACK, Agent, StaticOrigin  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "browser"))
from devtools import Browser, Page, helpers_of  # noqa: E402

MENU_MAX_SECONDS = 300  # a mode that has not drawn every name by then is reported as unfinished
LATENCY_RUNS = 200
MENU_AGAIN = 5
# Connections Chromium keeps to one origin, for the agent's side of the menu on its own.
BROWSER_CONNECTIONS = 6
# Distinct texts, so that each CJK subset is made for the first time.
CJK_TEXTS = ["", " 日本語", " 漢字", " 東京", " 北京", " 서울", " 台北", " 香港", " 文字"]

PAGE = """<!DOCTYPE html><meta charset="utf-8"><title>font menu</title>
<style>body { font: 16px sans-serif; } div { white-space: nowrap; }</style><body><script>
window.run = async (agent, mode) => {
  const t0 = performance.now();
  const families = await (await fetch(agent + '?details=1')).json();
  const tCatalogue = performance.now() - t0;
  const collections = new Set();
  for (const f of families) for (const face of f.childList) if (face.index > 0) collections.add(face.file);
  let loaded = 0, failed = 0;
  const refused = [];
  const loads = families.map((family, i) => {
    const face = family.childList.find((f) => f.weight === 'Normal' && f.slant === 'Normal') ??
                 family.childList[0];
    const item = document.createElement('div');
    item.textContent = family.family;
    document.body.append(item);
    if (!face) return null;
    let url = agent + '?file=' + encodeURIComponent(face.file);
    if (mode !== 'whole') url += '&face=' + face.index + '&text=' + encodeURIComponent(family.family);
    else if (collections.has(face.file)) url += '&face=' + face.index;
    const font = new FontFace('menu' + i, 'url(' + url + ')');
    return font.load().then(() => {
      document.fonts.add(font);
      item.style.fontFamily = '"menu' + i + '", sans-serif';
      loaded++;
    }, () => { failed++; refused.push(url); });
  });
  const issuedMs = performance.now() - t0 - tCatalogue;
  await Promise.allSettled(loads);
  // Drawn: two frames after the last family was given its face.
  await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
  window.result = {ms: performance.now() - t0, catalogueMs: tCatalogue, families: families.length,
                   loaded, failed, refused, issuedMs};
};
</script><script type="module">
import {VornFontAgent} from './vorn-fonts.js';
// The same menu from the agent's font menu route: the plain catalogue (for the names) and the
// menu in one request each, side by side. FontFace is counted: the time its constructor takes
// (Chromium parses bytes there) and the time until each load() settles.
window.runMenu = async (agentUrl) => {
  const t0 = performance.now();
  const spent = {construct: 0, load: 0};
  class CountedFontFace extends FontFace {
    constructor(...args) {
      const t = performance.now();
      super(...args);
      spent.construct += performance.now() - t;
    }
    async load() {
      const t = performance.now();
      try {
        return await super.load();
      } finally {
        spent.load += performance.now() - t;
      }
    }
  }
  const agent = new VornFontAgent(agentUrl);
  let tCatalogue = 0;
  const items = fetch(agentUrl).then((r) => r.json()).then((families) => {
    tCatalogue = performance.now() - t0;
    return families.map((family) => {
      const item = document.createElement('div');
      item.textContent = family.family;
      document.body.append(item);
      return item;
    });
  });
  let loaded = 0, failed = 0, count = 0, tFirst = 0, tLast = 0;
  const refused = [];
  const faces = [];
  for await (const entry of agent.menu({FontFace: CountedFontFace})) {
    tLast = performance.now() - t0;
    if (!count++) tFirst = tLast;
    if (entry.font) {
      document.fonts.add(entry.font);
      faces.push(entry);
      loaded++;
    } else {
      failed++;
      refused.push(agentUrl + '?file=' + encodeURIComponent(entry.file));
    }
  }
  const tMenu = performance.now() - t0;
  const list = await items;
  for (const entry of faces) {
    list[entry.family].style.fontFamily = '"' + entry.font.family + '", sans-serif';
  }
  await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
  window.result = {ms: performance.now() - t0, catalogueMs: tCatalogue, families: list.length,
                   loaded, failed, refused, issuedMs: 0, firstMs: tFirst, lastMs: tLast,
                   menuMs: tMenu, constructMs: spent.construct, loadMs: spent.load};
};
</script>"""

# The modes: the page's loop for each face on its own, or the agent's font menu route.
PER_FACE_MODES = ("whole", "subset", "reload")
MENU_MODES = ("menu", "menu-reload")
# Layout and style work, from Performance.getMetrics, before and after a mode's run.
RENDER_METRICS = ("LayoutDuration", "RecalcStyleDuration", "ScriptDuration", "TaskDuration")


def log(*parts):
    print("fontmenu:", *parts, file=sys.stderr, flush=True)


def get(port, target):
    """One request on a new connection (the agent closes each): (seconds, status, body)."""
    t0 = time.perf_counter()
    conn = http.client.HTTPConnection(LOOPBACK, port, timeout=60)
    try:
        conn.request("GET", target)
        reply = conn.getresponse()
        body = reply.read()
    finally:
        conn.close()
    return time.perf_counter() - t0, reply.status, body


def cpu_ms(pid):
    """The user and system time a process has used, from /proc/PID/stat (10 ms steps)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return 1000 * (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def renderer_kib(pid, key):
    """A renderer's memory figure, 0 once it has gone."""
    try:
        return status_kib(pid, key)
    except (OSError, benchlib.CannotMeasure):
        return 0


def renderers(browser):
    found = []
    for pid in helpers_of(browser.proc.pid, browser.root):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if b"--type=renderer" in f.read():
                    found.append(pid)
        except OSError:
            pass
    return found


def network_figures(events, agent_url):
    """The agent's requests as the browser saw them: count, bytes, failures, the most in
    flight at once, and medians of the time each waited in the browser before it was sent, of
    the agent's reply time (to the headers) and of the time until the body was in."""
    requests = {}
    for event in events:
        params, method = event.get("params", {}), event["method"]
        if method == "Network.requestWillBeSent" and params["request"]["url"].startswith(agent_url):
            requests[params["requestId"]] = {"created": params["timestamp"]}
        elif params.get("requestId") in requests:
            requests[params["requestId"]][method] = params
    finished = [r for r in requests.values() if "Network.loadingFinished" in r]
    timed = [(r, r["Network.responseReceived"]["response"]["timing"]) for r in finished
             if r.get("Network.responseReceived", {}).get("response", {}).get("timing")]
    queued = [1000 * (t["requestTime"] - r["created"]) + t["sendStart"] for r, t in timed]
    replies = [t["receiveHeadersEnd"] - t["sendEnd"] for _, t in timed]
    spans = [(t["requestTime"] + t["sendStart"] / 1000,
              r["Network.loadingFinished"]["timestamp"]) for r, t in timed]
    edges = sorted([(a, 1) for a, _ in spans] + [(b, -1) for _, b in spans])
    in_flight = peak = 0
    for _, step in edges:
        in_flight += step
        peak = max(peak, in_flight)
    median = lambda v: statistics.median(v) if v else float("nan")
    return {"requests": len(requests),
            "bytes": sum(r["Network.loadingFinished"]["encodedDataLength"] for r in finished),
            "failedRequests": sum(1 for r in requests.values() if "Network.loadingFailed" in r),
            "queuedMs": median(queued), "replyMs": median(replies), "parallel": peak,
            "bodyMs": median([1000 * (b - a) for a, b in spans])}


def font_menu(chromium, work, page_url, agent_url, mode):
    """One mode in a fresh browser: the page's figures, the network's and the renderer peak."""
    root = tempfile.mkdtemp(prefix="browser-%s-" % mode, dir=work)
    browser = Browser(chromium, root)
    try:
        page = Page(browser, page_url)
        # Tiny buffers: DevTools must not keep the font bodies in the renderer for us.
        page.call("Network.enable", {"maxTotalBufferSize": 1024, "maxResourceBufferSize": 1024})
        page.call("Performance.enable")
        baseline = max(renderer_kib(pid, "VmHWM") for pid in renderers(browser))
        before = {m["name"]: m["value"] for m in page.call("Performance.getMetrics")["metrics"]}
        if mode in MENU_MODES:
            page.js("runMenu(%s), 0" % json.dumps(agent_url))
        else:
            page.js("run(%s, %s), 0" % (json.dumps(agent_url), json.dumps(mode)))
        deadline = time.monotonic() + MENU_MAX_SECONDS
        result = None
        while result is None and time.monotonic() < deadline:
            time.sleep(0.25)
            result = page.js("window.result || null")
        if result is None:
            return {"mode": mode, "unfinished": True}
        metrics = {m["name"]: m["value"] for m in page.call("Performance.getMetrics")["metrics"]}
        result.update(network_figures(browser.events, agent_url), mode=mode,
                      rendererPeak=max(renderer_kib(pid, "VmHWM") for pid in renderers(browser)),
                      rendererBaseline=baseline, jsHeap=metrics.get("JSHeapUsedSize", 0),
                      render={name: 1000 * (metrics.get(name, 0) - before.get(name, 0))
                              for name in RENDER_METRICS})
        page.close()
        return result
    finally:
        browser.close()
        shutil.rmtree(root, ignore_errors=True)


def start_agent(binary, stack):
    """The agent with the machine's own fontconfig setup, stopped when `stack` closes at the
    latest: (the agent, its port)."""
    agent = stack.enter_context(Agent(binary, benchlib.MACHINE_FONTS_CONF))
    return agent, agent.port


def quoted(path, face, text):
    return "/?file=%s&face=%d&text=%s" % (urllib.parse.quote(path, safe=""), face,
                                          urllib.parse.quote(text, safe=""))


def measure(args, work, stack):
    """Every figure, as one dict; the agents and the page's origin stop when `stack` closes."""
    agent, port = start_agent(args.agent, stack)
    agent_url = agent.url
    with open(os.path.join(work, "index.html"), "w", encoding="utf-8") as f:
        f.write(PAGE)
    shutil.copy(os.path.join(ROOT, "web", "vorn-fonts.js"), work)
    origin = StaticOrigin(work)
    stack.callback(origin.close)
    page_url = origin.url + "index.html"

    _, _, body = get(port, "/?details=1")  # the page's catalogue request is then a warm one
    families = json.loads(body)
    files = sorted({c["file"] for f in families for c in f["childList"]})
    log("reading the %d listed files once, so that every mode finds them in the page cache"
        % len(files))
    total = 0
    for path in files:
        with open(path, "rb") as f:
            while chunk := f.read(1 << 20):
                total += len(chunk)
    figures = {"families": len(families), "files": len(files), "total": total, "menus": []}
    for mode in PER_FACE_MODES:
        log("font menu, %s, in a fresh browser" % mode)
        figures["menus"].append(font_menu(args.chromium, work, page_url, agent_url, mode))
    agent.stop()

    # The menu route on a fresh agent: none of its faces made for the first run.
    agent, port = start_agent(args.agent, stack)
    get(port, "/")
    for mode in MENU_MODES:
        log("font menu, %s, in a fresh browser" % mode)
        figures["menus"].append(font_menu(args.chromium, work, page_url, agent.url, mode))
    agent.stop()

    # The agent's share of the menu: the same request from Python, on a fresh agent and then
    # again with its faces made.
    agent, port = start_agent(args.agent, stack)
    get(port, "/")
    log("the menu from Python, first on a fresh agent, then %d times again" % MENU_AGAIN)
    figures["agentMenu"], figures["agentMenuCpu"] = [], []
    for _ in range(1 + MENU_AGAIN):
        before = cpu_ms(agent.pid)
        figures["agentMenu"].append(get(port, "/?menu=1"))
        figures["agentMenuCpu"].append(cpu_ms(agent.pid) - before)
    agent.stop()

    # The rest from a fresh agent, so that no subset below was made before.
    agent, port = start_agent(args.agent, stack)
    get(port, "/")  # the listing, which the file route checks paths against
    cjk = [(c["file"], c["index"], f["family"]) for f in families for c in f["childList"]
           if c["file"].endswith("NotoSansCJK-Regular.ttc")]
    if not cjk:
        cjk = [(c["file"], c["index"], f["family"]) for f in families for c in f["childList"]
               if c["file"].endswith(".ttc") and os.path.getsize(c["file"]) > 10 << 20]
    cjk_file, cjk_index, cjk_family = min(cjk, key=lambda t: (t[1], t[0]))
    log("first-time subsets of %s face %d" % (cjk_file, cjk_index))
    figures["cjk"] = [get(port, quoted(cjk_file, cjk_index, cjk_family + suffix))
                      for suffix in CJK_TEXTS]
    figures["cjkFace"] = (cjk_file, cjk_index, cjk_family)

    # The agent's side of the subset menu alone: the page's requests from Python, over as many
    # connections as the browser uses, first-time and then cached. No browser starts after
    # this: the clients are threads.
    log("the subset menu's requests from Python, %d at a time, twice" % BROWSER_CONNECTIONS)
    targets = menu_targets(families)
    figures["replay"] = [replay(port, targets), replay(port, targets)]

    # A cached subset against the plain small file: the listed file nearest 100 KB.
    small = min(files, key=lambda p: (abs(os.path.getsize(p) - 100 * 1024), p))
    family = next(f["family"] for f in families for c in f["childList"] if c["file"] == small)
    plain_target = "/?file=" + urllib.parse.quote(small, safe="")
    subset_target = quoted(small, 0, family)
    log("%d sequential requests each of %s, whole and a cached subset" % (LATENCY_RUNS, small))
    figures["small"] = (small, family, len(get(port, subset_target)[2]))
    figures["plain"], figures["cached"] = [], []
    for _ in range(LATENCY_RUNS):
        figures["plain"].append(get(port, plain_target)[0])
        figures["cached"].append(get(port, subset_target)[0])

    # A variable face's subset, for its size.
    var_family, var_face = next((f, c) for f in families if f.get("isVariation")
                                for c in f["childList"] if c["file"].endswith((".ttf", ".otf")))
    figures["variable"] = (var_face["file"], var_family["family"], len(get(
        port, quoted(var_face["file"], var_face["index"], var_family["family"]))[2]))
    figures["agentHwm"] = status_kib(agent.pid, "VmHWM")
    return figures


def menu_targets(families):
    """The subset mode's requests, as the page makes them."""
    targets = []
    for family in families:
        faces = family["childList"]
        face = next((f for f in faces if f["weight"] == "Normal" and f["slant"] == "Normal"),
                    faces[0] if faces else None)
        if face:
            targets.append(quoted(face["file"], face["index"], family["family"]))
    return targets


def replay(port, targets):
    """The targets over BROWSER_CONNECTIONS parallel clients: (wall seconds, request seconds)."""
    pending, times, lock = list(reversed(targets)), [], threading.Lock()

    def client():
        while True:
            with lock:
                if not pending:
                    return
                target = pending.pop()
            seconds = get(port, target)[0]
            with lock:
                times.append(seconds)

    t0 = time.perf_counter()
    clients = [threading.Thread(target=client) for _ in range(BROWSER_CONNECTIONS)]
    for c in clients:
        c.start()
    for c in clients:
        c.join()
    return time.perf_counter() - t0, times


def median_ms(seconds):
    return 1000 * statistics.median(seconds)


def verdict(ok):
    return "meets" if ok else "MISSES"


def report(figures):
    mib = lambda kib: "%.0f MiB" % (kib / 1024)
    line = lambda title, value: print("  %-46s %s" % (title, value))
    print("Font menu in headless Chromium, %s UTC; load average %s at the end" % (
        time.strftime("%Y-%m-%d %H:%M", time.gmtime()), open("/proc/loadavg").read().split()[0]))
    print("  fonts: %d families, %d listed files, %.2f GB (read once beforehand)"
          % (figures["families"], figures["files"], figures["total"] / 1e9))
    print()
    print("  %-11s %8s %9s %8s %7s %9s %9s %8s %7s %8s %4s %6s %6s" % (
        "mode", "drawn in", "fetched", "requests", "refused", "renderer", "baseline", "JS heap",
        "issued", "queued", "at", "reply", "body"))
    for m in figures["menus"]:
        if m.get("unfinished"):
            print("  %-11s did not draw every name within %d s" % (m["mode"], MENU_MAX_SECONDS))
            continue
        print("  %-11s %6.2f s %6.1f MB %8d %7s %9s %9s %8s %4.0f ms %5.0f ms %4d %3.0f ms %3.0f ms" % (
            m["mode"], m["ms"] / 1000, m["bytes"] / 1e6, m["requests"],
            "%d/%d" % (m["failed"], m["failedRequests"]), mib(m["rendererPeak"]),
            mib(m["rendererBaseline"]), mib(m["jsHeap"] / 1024), m["issuedMs"], m["queuedMs"],
            m["parallel"], m["replyMs"], m["bodyMs"]))
    print("""
  drawn in: from the page's start (its ?details=1 fetch included) to two frames after every
    FontFace settled; fetched: encodedDataLength of the agent's replies (Network.loadingFinished);
    refused: faces the browser would not load / requests that failed; renderer: peak RSS
    (VmHWM) of the page's renderer process, baseline the same once the empty page had loaded;
    JS heap: JSHeapUsedSize (Performance.getMetrics) at the end; issued: the page's loop that
    starts every load; queued: median time from a font's request to its sending (the browser
    holds them while "at", the most requests in flight at once, are out); reply, body: medians
    from the sending to the reply's headers, and to its last byte
  whole: ?file=PATH, with &face=N for collection faces; subset: &face=N&text=FAMILY, made for
    the first time; reload: the same in a new browser, with the agent's subsets cached""")
    for m in figures["menus"]:
        if m["mode"] not in MENU_MODES or m.get("unfinished"):
            continue
        render = m["render"]
        print("  %s: catalogue in at %.0f ms; faces in from %.0f to %.0f ms, the menu read at "
              "%.0f ms;\n    FontFace: constructors %.0f ms, load() %.0f ms in all; layout %.0f "
              "ms, style %.0f ms, script %.0f ms, tasks %.0f ms (Performance.getMetrics)" % (
                  m["mode"], m["catalogueMs"], m["firstMs"], m["lastMs"], m["menuMs"],
                  m["constructMs"], m["loadMs"], render["LayoutDuration"],
                  render["RecalcStyleDuration"], render["ScriptDuration"],
                  render["TaskDuration"]))
    agent_menu = [1000 * seconds for seconds, _, _ in figures["agentMenu"]]
    print("  the agent alone (from Python): the whole menu in %.0f ms on a fresh agent (its CPU "
          "time %.0f ms), %.0f ms (median of %d, CPU %.0f ms) with its faces made; %.2f MB" % (
              agent_menu[0], figures["agentMenuCpu"][0], statistics.median(agent_menu[1:]),
              len(agent_menu) - 1, statistics.median(figures["agentMenuCpu"][1:]),
              len(figures["agentMenu"][0][2]) / 1e6))
    print("""  menu: one request for the plain catalogue (the names), one for ?menu=1, side by
    side, on a fresh agent; menu-reload: the same in a new browser with the agent's faces made;
    faces in: when the page had the first and the last face's bytes (its FontFace loaded, as
    the client module's menu() hands them out)""")
    for m in figures["menus"]:
        if m.get("refused"):
            print("  refused in %s (%d): %s" % (m["mode"], len(m["refused"]), ", ".join(
                os.path.basename(urllib.parse.parse_qs(urllib.parse.urlsplit(u).query)["file"][0])
                for u in m["refused"][:12])) + (", ..." if len(m["refused"]) > 12 else ""))
    print()
    small, family, subset_bytes = figures["small"]
    ratio = median_ms(figures["cached"]) / median_ms(figures["plain"])
    line("small file, whole (n=%d): median" % LATENCY_RUNS, "%.3f ms (%s, %d bytes)" % (
        median_ms(figures["plain"]), small, os.path.getsize(small)))
    line("the same, cached subset (n=%d): median" % LATENCY_RUNS, "%.3f ms (text %r, %d bytes)"
         % (median_ms(figures["cached"]), family, subset_bytes))
    cjk_file, cjk_index, cjk_family = figures["cjkFace"]
    cjk_ms = [1000 * s for s, _, _ in figures["cjk"]]
    sizes = sorted(len(b) for _, _, b in figures["cjk"])
    line("first-time CJK subset (n=%d): median" % len(cjk_ms),
         "%.1f ms (min %.1f, max %.1f, the agent's first %.1f; %d to %d bytes; statuses %s)" % (
             statistics.median(cjk_ms), min(cjk_ms), max(cjk_ms), cjk_ms[0], sizes[0], sizes[-1],
             ",".join(sorted({str(s) for _, s, _ in figures["cjk"]}))))
    line("", "%s face %d, text %r and %d texts more" % (cjk_file, cjk_index, cjk_family,
                                                        len(cjk_ms) - 1))
    for title, (wall, times) in zip(("first-time", "cached"), figures["replay"]):
        line("the subset menu's %d requests, %s" % (len(times), title),
             "%.2f s from Python over %d connections (request median %.1f ms, max %.0f ms)" % (
                 wall, BROWSER_CONNECTIONS, median_ms(times), 1000 * max(times)))
    var_file, var_family, var_bytes = figures["variable"]
    line("variable subset", "%d bytes (%s, text %r, of %d)" % (
        var_bytes, var_file, var_family, os.path.getsize(var_file)))
    line("agent peak RSS (VmHWM), fresh agent at the end", mib(figures["agentHwm"]))
    print()
    print("  %-46s %10s  %-10s %s" % ("figure", "value", "target", "verdict"))
    target = lambda title, value, text, ok: print("  %-46s %10s  %-10s %s" % (
        title, value, text, verdict(ok)))
    subset = next((m for m in figures["menus"] if m["mode"] == "subset"), {})
    if not subset.get("unfinished"):
        target("subset menu: every name drawn (s)", "%.2f" % (subset["ms"] / 1000), "<= 3",
               subset["ms"] <= 3000)
        target("subset menu: fetched (MB)", "%.1f" % (subset["bytes"] / 1e6), "<= 10",
               subset["bytes"] <= 10e6)
    for mode, seconds in (("menu", 0.5), ("menu-reload", 0.3)):
        m = next((m for m in figures["menus"] if m["mode"] == mode), {})
        if m and not m.get("unfinished"):
            target("%s: every name drawn (s)" % mode, "%.2f" % (m["ms"] / 1000),
                   "<= %.1f" % seconds, m["ms"] <= 1000 * seconds)
            target("%s: requests to the agent" % mode, "%d" % m["requests"], "<= 3",
                   m["requests"] <= 3)
    target("cached subset / whole small file (latency)", "%.2f" % ratio, "<= 2.0", ratio <= 2.0)
    median_cjk = statistics.median(cjk_ms)
    target("first-time CJK subset (ms)", "%.1f" % median_cjk, "<= 30", median_cjk <= 30)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", default=os.path.join(ROOT, "build", "vorn-font-agent"))
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--no-install", action="store_true")
    parser.add_argument("--no-build", action="store_true")
    args = parser.parse_args()
    try:
        benchlib.prepare_agent(os.path.dirname(os.path.abspath(args.agent)),
                               not args.no_install, not args.no_build, ["chromium"], log)
    except benchlib.CannotMeasure as e:
        sys.exit("fontmenu: cannot run: %s" % e)

    work = tempfile.mkdtemp(prefix="vorn-fontmenu-")
    started = time.monotonic()
    try:
        with contextlib.ExitStack() as stack:
            figures = measure(args, work, stack)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    report(figures)
    print("\nRun took %.0f s." % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
