#!/usr/bin/python3
"""web/preview.html (the font picker) in a real headless Chromium, against the real agent.

Usage: preview_test.py --agent BINARY --fixtures DIR --web DIR [--chromium PATH]

The agent runs under a private fontconfig holding a copy of the fixture fonts;
web/ is served from a second loopback origin, so the catalogue and font bytes
cross origins and depend on the agent's CORS header. Chromium keeps the
machine's own fontconfig, so a fixture face can only reach it through the
agent's file route. The browser is driven over the DevTools protocol on a pipe
(devtools.py, standard library only).

What newer agents add (catalogue details, subsets, the event stream) is detected from the
agent itself; the assertions that need it are skipped, saying what the agent should do, when
it is missing, and the page's fallbacks are checked instead.

Exits 77 (CTest's skip code for this test) when Chromium is not installed.
"""

import collections
import json
import os
import re
import shutil
import socket
import sys
import threading
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import vorn_harness  # noqa: E402
from vorn_harness import LOOPBACK  # noqa: E402
from devtools import UNTIL, Browser, Page  # noqa: E402


# Families the fixture set must show, whatever else the agent lists.
FIXTURE_FAMILIES = [
    "Example Sans", "Example Heavy", "Example Width", "Example Trio",
    "Example Broken Tail", "Example Var", "Example Var Width", "Example Slant",
    "Example No Instances", "Example Zero Default", "Example Var Italic",
    "Example Var Deltas", "Example Instance Names", "Example Names",
    "Example Same", "Example Latin", "Example Pfa", "Example NoExt", "Example Greek",
]
PANGRAM = "The quick brown fox jumps over the lazy dog"

ARGS = None
WORLD = None


# --- The agent and the static origin --------------------------------------------------------


class Agent(vorn_harness.Agent):
    """The agent serving a copy of the fixtures in `world` (a vorn_harness.FontWorld)."""

    def __init__(self, binary, world):
        # The web-face fixtures hold more "Trio" families than the search test expects.
        shutil.copytree(ARGS.fixtures, world.fonts, ignore=shutil.ignore_patterns("webface"),
                        dirs_exist_ok=True)
        self.fonts = world.fonts
        self.log = open(os.path.join(world.root, "agent.log"), "wb")
        super().__init__(binary, world.conf, log=self.log)

    def catalogue(self, query=""):
        with urllib.request.urlopen(self.url + query, timeout=30) as reply:
            return json.loads(reply.read().decode("utf-8"))

    def file_url(self, fixture):
        return self.url + "?file=" + urllib.parse.quote(os.path.join(self.fonts, fixture),
                                                        safe="")

    def features(self):
        """What this agent offers beyond the plain routes, asked the way the page asks."""
        details = any(isinstance(face.get("index"), int) for family in
                      self.catalogue("?details=1") for face in family["childList"])
        with urllib.request.urlopen(self.file_url("static/ExampleSans-Regular.ttf") +
                                    "&text=Ab", timeout=30) as reply:
            subsets = reply.headers.get("Content-Type", "").startswith("font/")
        with urllib.request.urlopen(self.url + "?events=1", timeout=30) as reply:
            events = reply.headers.get("Content-Type", "").startswith("text/event-stream")
        with urllib.request.urlopen(self.url + "?menu=1&count=1", timeout=30) as reply:
            menu = reply.headers.get("Content-Type", "").startswith(
                "application/vnd.vorn.font-menu")
        return {"details": details, "subsets": subsets, "events": events, "menu": menu,
                "covers": self.refuses("?covers=")}

    def refuses(self, query):
        """Whether the agent answers 400 (it knows the parameter and its value is wrong)."""
        try:
            with urllib.request.urlopen(urllib.request.Request(self.url + query, method="HEAD"),
                                        timeout=30):
                return False
        except urllib.error.HTTPError as err:
            return err.code == 400

    def stop(self):
        super().stop()
        self.log.close()


# Replies of a stand-in agent, same origin as the page, for what the real one
# cannot be made to do on demand: odd statuses, hostile names, a change of fonts.
HOSTILE_CATALOGUE = [
    {"family": '<img src=x onerror="window.__injected=1">',
     "localName": "<script>window.__injected=2</script>",
     "childList": [
         {"file": "/fonts/<b>Gone</b>.ttf", "postScript": "<b>Gone</b>",
          "weight": "<i>Bold</i>", "width": "Normal", "slant": "Normal"},
         {"file": "/fonts/NotAFont.ttf", "postScript": "NotAFont",
          "weight": "Normal", "width": "Normal", "slant": "Normal"},
     ]},
    {"family": "Quoted Axis", "isVariation": True,
     # "wght" and a tag holding a double quote, which must not reach CSS.
     "variationRange": [
         {"key": 0x77676874, "minValue": 100, "defaultValue": 400, "maxValue": 900},
         {"key": 0x61222062, "minValue": 0, "defaultValue": 0, "maxValue": 1},
     ],
     "childList": [{"file": "/fonts/NotAFont.ttf", "postScript": "QuotedAxis",
                    "weight": "Normal", "width": "Normal", "slant": "Normal"}]},
]

# A variable font listed the way the agent lists one that shares a family with static
# files: named instances with weight names but neither coordinates nor axes.
PLAIN_VARIABLE_CATALOGUE = [
    {"family": "Plain Variable", "localName": "Plain Variable", "childList": [
        {"file": "/fonts/ExampleVarDeltas.ttf", "postScript": "PlainVar-" + weight,
         "weight": weight, "width": "Normal", "slant": "Normal"}
        for weight in ("Thin", "Normal", "Black")]},
]


# A detailed face listing OpenType features, the way an agent with them lists them; its file
# is the web-face fixture with liga (f i -> f_i) and ss01 (a -> a.alt), glyphs of their own
# widths. A tag CSS could not carry gets no toggle.
FEATURES_CATALOGUE = [
    {"family": "Example Ligatures", "localName": "Example Ligatures", "childList": [
        {"file": "/fonts/ExampleLigatures.otf", "postScript": "ExampleLigatures-Regular",
         "weight": "Normal", "width": "Normal", "slant": "Normal", "index": 0,
         "features": [{"tag": "kern"}, {"tag": "liga"},
                      {"tag": "ss01", "name": "Single-storey a"}, {"tag": "ss02"},
                      {"tag": "ab\u00e7d"}]}]},
]


# A stand-in for an agent that filters by text: each face maps the characters named here.
COVERS_FACES = {"CoversGreek-Regular": "Ωά", "CoversLatin-Regular": "ab",
                "CoversLatin-Bold": "a"}
COVERS_CATALOGUE = [
    {"family": family, "localName": family, "childList": [
        {"file": "/fonts/ExampleSans-Regular.ttf", "postScript": postScript,
         "weight": postScript.split("-")[1].replace("Regular", "Normal"), "width": "Normal",
         "slant": "Normal"} for postScript in COVERS_FACES if postScript.startswith(prefix)]}
    for family, prefix in (("Covers Greek", "CoversGreek"), ("Covers Latin", "CoversLatin"))]


def shown_faces(catalogue):
    """The faces the picker lists: a face found in several files counts once."""
    count = 0
    for family in catalogue:
        files = collections.defaultdict(list)
        for face in family["childList"]:
            key = (face["postScript"], json.dumps(face.get("variations")))
            files[key if face["postScript"] else id(face)].append(face["file"])
        count += sum(1 if len(set(f)) > 1 else len(f) for f in files.values())
    return count


def live_family(name):
    return {"family": name, "localName": name, "childList": [
        {"file": "/fonts/ExampleSans-Regular.ttf", "postScript": name.replace(" ", ""),
         "weight": "Normal", "width": "Normal", "slant": "Normal"}]}


# The catalogue behind /fake/live/ and its event stream: version 2 once the test sets
# `changed`. Each wait is bounded, so a stream never outlives the test run by much.
LIVE = {"version": 1, "changed": threading.Event(), "done": threading.Event()}
LIVE_CATALOGUES = {1: [live_family("Live Before")],
                   2: [live_family("Live Before"), live_family("Live Added")]}


class StaticHandler(vorn_harness.QuietHandler):
    """web/ as files, and the stand-in agent's replies under /fake/."""

    def reply(self, status, body=b"", content_type="text/plain; charset=UTF-8"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def fixture(self, name):
        with open(os.path.join(ARGS.fixtures, name), "rb") as f:
            return self.reply(200, f.read(), "application/octet-stream")

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if not url.path.startswith("/fake/"):
            return super().do_GET()
        kind = url.path.split("/")[2]
        query = urllib.parse.parse_qs(url.query)
        if kind == "status204":
            return self.reply(204)
        if kind == "status500":
            return self.reply(500)
        if kind == "hostile":
            if "file" not in query:
                return self.reply(200, json.dumps(HOSTILE_CATALOGUE).encode())
            if query["file"][0] == "/fonts/NotAFont.ttf":
                return self.reply(200, b"plain text, no font" * 8,
                                  "application/octet-stream")
            return self.reply(404)
        if kind == "plainvariable":
            if "file" not in query:
                return self.reply(200, json.dumps(PLAIN_VARIABLE_CATALOGUE).encode())
            return self.fixture("variable/ExampleVarDeltas.ttf")
        if kind == "features":
            if "file" not in query:
                return self.reply(200, json.dumps(FEATURES_CATALOGUE).encode())
            return self.fixture("webface/ExampleLigatures.otf")
        if kind == "older":
            return self.forward(query)
        if kind == "covers":
            if "covers" in query:
                return self.reply(200, json.dumps(self.covering(query["covers"][0])).encode())
            if "file" not in query:
                return self.reply(200, json.dumps(COVERS_CATALOGUE).encode())
            return self.fixture("static/ExampleSans-Regular.ttf")
        if kind == "live":
            if "events" in query:
                return self.events()
            if "file" not in query:
                return self.reply(200, json.dumps(LIVE_CATALOGUES[LIVE["version"]]).encode())
            return self.fixture("static/ExampleSans-Regular.ttf")
        return self.reply(404)

    def forward(self, query):
        """The real agent as an older one would answer: `covers` ignored, no event stream."""
        if "events" in query:
            return self.reply(404)
        kept = urllib.parse.urlencode([(k, v) for k, values in query.items() if k != "covers"
                                       for v in values], quote_via=urllib.parse.quote)
        try:
            with urllib.request.urlopen(WORLD.agent.url + ("?" + kept if kept else ""),
                                        timeout=30) as reply:
                return self.reply(reply.status, reply.read(), reply.headers["Content-Type"])
        except urllib.error.HTTPError as err:
            return self.reply(err.code)

    def do_HEAD(self):
        # The stand-in filters by text: it refuses an empty text, as the agent does.
        if self.path.startswith("/fake/covers/"):
            return self.reply(400 if self.path.endswith("?covers=") else 200)
        return super().do_HEAD()

    @staticmethod
    def covering(text):
        draws = lambda face: set(text) <= set(COVERS_FACES[face["postScript"]])  # noqa: E731
        families = [dict(family, childList=[face for face in family["childList"] if draws(face)])
                    for family in COVERS_CATALOGUE]
        return [family for family in families if family["childList"]]

    def events(self):
        def send(version):
            catalogue = LIVE_CATALOGUES[version]
            data = {"validator": "v%d" % version, "families": len(catalogue),
                    "faces": sum(len(f["childList"]) for f in catalogue)}
            self.wfile.write(b"event: catalogue\ndata: " + json.dumps(data).encode() + b"\n\n")
            self.wfile.flush()

        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        try:
            send(LIVE["version"])
            if LIVE["version"] == 1 and LIVE["changed"].wait(20):
                send(2)
            LIVE["done"].wait(20)
        except OSError:
            pass  # the page went away


# --- The page under test ---------------------------------------------------------------------

# Helpers the tests call in the page, as window.__t. Rows exist only while on screen, so a
# face is reached the way a reader would: search for it, then open its family.
HELPERS = """
window.__t = {
  until: %s,
  frames: () => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))),
  list: () => document.getElementById('families'),
  family: (name) => [...document.querySelectorAll('.row.family')]
      .find((r) => r.dataset.family === name),
  face: (postScript) => [...document.querySelectorAll('.row.face')]
      .find((r) => r.dataset.postscript === postScript),
  panel: () => document.getElementById('panel'),
  search: async (text) => {
    const s = document.getElementById('search');
    s.value = text;
    s.dispatchEvent(new Event('input'));
    await window.__t.frames();
  },
  // Searches for a face's PostScript name, opens its family and waits for its row to load.
  showFace: async (postScript) => {
    await window.__t.search(postScript);
    const row = document.querySelector('.row.family');
    if (row.getAttribute('aria-expanded') !== 'true') row.click();
    await window.__t.until(() => window.__t.face(postScript));
    return window.__t.loadedFace(postScript);
  },
  // ... and then opens it in the face panel.
  openFace: async (postScript) => {
    await window.__t.showFace(postScript);
    window.__t.face(postScript).click();
    const panel = window.__t.panel();
    return window.__t.until(() => panel.dataset.postscript === postScript &&
                            ['loaded', 'error'].includes(panel.dataset.state) &&
                            panel.dataset.state);
  },
  loadedFace: (postScript) => window.__t.until(() => {
    const row = window.__t.face(postScript);
    return row && ['loaded', 'error'].includes(row.dataset.state) && row.dataset.state;
  }),
  textWidth: (node) => {
    const range = document.createRange();
    range.selectNodeContents(node);
    return range.getBoundingClientRect().width;
  },
  // The width the fixture glyphs give: each character `adv`, spaces adv / 2, per 1000 units.
  expectedWidth: (node, adv) => {
    const size = parseFloat(getComputedStyle(node).fontSize);
    const text = node.textContent;
    const spaces = (text.match(/ /g) || []).length;
    return size * ((text.length - spaces) * adv + spaces * adv / 2) / 1000;
  },
  fallbackWidth: (node) => {
    const copy = node.cloneNode(true);
    copy.style.fontFamily = 'serif';
    copy.style.fontVariationSettings = '';
    node.after(copy);
    const width = window.__t.textWidth(copy);
    copy.remove();
    return width;
  },
  settings: (node) => Object.fromEntries(getComputedStyle(node).fontVariationSettings
      .split(',').filter((s) => s.includes('"'))
      .map((s) => { const [, tag, v] = /"(.{4})"\\s+(\\S+)/.exec(s); return [tag, Number(v)]; })),
  // Every resource the page fetched from this URL, counted.
  fetches: (url) => performance.getEntriesByType('resource').filter((e) => e.name === url).length,
};
""" % UNTIL


class PreviewPage(Page):
    """A tab on web/preview.html with the test helpers installed."""

    def __init__(self, browser, url):
        super().__init__(browser, url, prelude=HELPERS)

    def wait_catalogue(self):
        """The catalogue's outcome, once the rows it brings are drawn and the page has asked
        for the catalogue's details (which it does after the first screen)."""
        return self.js("__t.until(() => ['ready', 'error'].includes(document.body.dataset.state)"
                       " && document.body.dataset.details !== 'pending' && "
                       "document.body.dataset.state).then((s) => __t.frames().then(() => s))")

    def key(self, name):
        codes = {"Enter": 13, "ArrowDown": 40, "ArrowUp": 38, "ArrowLeft": 37,
                 "ArrowRight": 39, "f": 70}
        for kind in ("keyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent", {"type": kind, "key": name, "code": name,
                                                 "windowsVirtualKeyCode": codes[name]})
        self.js("__t.frames()")


class World:
    def __init__(self):
        self.files = vorn_harness.FontWorld(prefix="vorn-browser-")
        self.root = self.files.root
        self.agent = None
        self.browser = None
        self.origin = None
        try:
            self.agent = Agent(ARGS.agent, self.files)
            self.features = self.agent.features()
            # Chromium is started before the server thread exists: preexec_fn is only safe
            # in a single-threaded parent.
            self.browser = Browser(ARGS.chromium, self.root)
            self.browser.call("Target.getTargets")
            self.origin = vorn_harness.StaticOrigin(ARGS.web, StaticHandler)
        except BaseException:
            self.stop()
            raise

    def page_url(self, agent_url):
        return self.origin.url + "preview.html?agent=" + urllib.parse.quote(agent_url, safe="")

    def open(self, agent_url=None):
        return PreviewPage(self.browser, self.page_url(agent_url or self.agent.url))

    def stop(self):
        LIVE["changed"].set()
        LIVE["done"].set()
        if self.browser:
            self.browser.close()
        if self.origin:
            self.origin.close()
        if self.agent:
            self.agent.stop()
        self.files.close()


class PageTest(unittest.TestCase):
    agent_url = None

    def setUp(self):
        self.page = WORLD.open(self.agent_url)
        self.addCleanup(self.page.close)

    def js(self, expression, *args):
        return self.page.js(expression % tuple(json.dumps(a) for a in args))

    def show(self, postScript):
        """Brings a face's row on screen and returns the state it ends in."""
        return self.js("__t.showFace(%s)", postScript)

    def open_face(self, postScript):
        return self.js("__t.openFace(%s)", postScript)

    def row_sample(self, postScript):
        return "__t.face(%s).querySelector('.sample')" % json.dumps(postScript)

    def assertDrawnWithAdvance(self, node, adv, what=""):
        self.assertAlmostEqual(self.page.js("__t.textWidth(%s)" % node),
                               self.page.js("__t.expectedWidth(%s, %d)" % (node, adv)),
                               delta=1.0, msg="%s not drawn with advance %d" % (what, adv))

    def fetches(self, fixture):
        """How often the page fetched this fixture's whole file."""
        return self.js("__t.fetches(%s)", WORLD.agent.file_url(fixture))

    def set_panel_size(self, px):
        self.js("{ const n = document.getElementById('panel-size-number'); n.value = %s;"
                "n.dispatchEvent(new Event('change')) }", px)


# --- Catalogue ----------------------------------------------------------------------------------


class CatalogueAcrossOrigins(PageTest):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.page.wait_catalogue(), "ready",
                         self.page.js("document.getElementById('status').textContent"))

    def test_page_and_agent_are_different_origins(self):
        self.assertNotEqual(self.page.js("location.origin"),
                            WORLD.agent.url.rstrip("/"))

    def test_every_family_is_listed_with_counts_and_only_rows_on_screen_exist(self):
        catalogue = WORLD.agent.catalogue()
        self.assertEqual(self.page.js("document.getElementById('counts').textContent"),
                         "%d families, %d faces" % (len(catalogue), shown_faces(catalogue)))
        # Scrolled from top to bottom, the list shows every family once.
        shown = self.page.js("""(async () => {
            const list = __t.list(), seen = new Set();
            for (let i = 0; i < 500; i++) {
              document.querySelectorAll('.row.family').forEach((r) => seen.add(r.dataset.family));
              if (list.scrollTop + list.clientHeight >= list.scrollHeight - 1) break;
              list.scrollTop += list.clientHeight;
              await __t.frames();
            }
            return [...seen];
        })()""")
        self.assertEqual(sorted(shown), sorted(f["family"] for f in catalogue))
        for family in FIXTURE_FAMILIES:
            self.assertIn(family, shown)
        # Example Many lists 1024 faces: opened, the list is a thousand rows longer, and
        # still only the few on screen are in the DOM.
        self.js("__t.search(%s)", "Example Many")
        self.page.js("document.querySelector('.row.family').click()")
        self.assertLess(self.page.js("__t.frames().then(() => "
                                     "document.querySelectorAll('.row').length)"), 60)
        self.assertGreater(self.page.js("__t.list().scrollHeight"), 1000 * 30)

    def test_face_shows_its_names_traits_and_file(self):
        self.assertEqual(self.open_face("ExampleSans-Bold"), "loaded")
        facts = self.page.js("document.getElementById('panel-facts').textContent")
        for part in ("ExampleSans-Bold", "weight Bold", "width Normal", "slant Normal"):
            self.assertIn(part, facts)
        self.assertEqual(self.page.js("document.getElementById('panel-file').textContent"),
                         os.path.join(WORLD.agent.fonts, "static/ExampleSans-Bold.ttf"))
        self.assertIn("ExampleSans-Bold", self.page.js(
            "__t.face('ExampleSans-Bold').querySelector('.face-meta').textContent"))

    def test_search_by_family_and_by_postscript_name_narrows_rows_and_counts(self):
        self.js("__t.search(%s)", "TRIO")
        self.assertEqual(self.page.js("[...document.querySelectorAll('.row.family')]"
                                      ".map((r) => r.dataset.family)"), ["Example Trio"])
        self.assertTrue(self.page.js("document.getElementById('counts').textContent")
                        .startswith("Showing 1 of "))
        self.assertEqual(self.show("ExampleVarDeltas-Bold"), "loaded")
        self.assertEqual(self.page.js("[...document.querySelectorAll('.row')].map((r) => "
                                      "r.dataset.family || r.dataset.postscript)"),
                         ["Example Var Deltas", "ExampleVarDeltas-Bold"])


class CatalogueFromDisk(unittest.TestCase):
    def test_page_opened_from_disk_says_how_to_serve_it(self):
        # Browsers refuse module scripts on file:// pages; the page must say so, not hang.
        url = ("file://" + os.path.join(os.path.abspath(ARGS.web), "preview.html") +
               "?agent=" + urllib.parse.quote(WORLD.agent.url, safe=""))
        page = PreviewPage(WORLD.browser, url)
        self.addCleanup(page.close)
        self.assertEqual(page.wait_catalogue(), "error")
        self.assertIn("python3 -m http.server", page.js(
            "document.getElementById('status').textContent"))


# --- Faces --------------------------------------------------------------------------------------


class FaceThroughFileRoute(PageTest):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.page.wait_catalogue(), "ready")

    def test_face_is_fetched_from_the_agent_and_draws_the_fixture(self):
        self.assertEqual(self.show("ExampleSans-Bold"), "loaded")
        name = self.page.js("__t.face('ExampleSans-Bold').dataset.fontName")
        self.assertTrue(self.js("document.fonts.check(%s)", '16px "%s"' % name))
        # Bold's glyphs are 660 units wide; the machine's fallback font draws something else.
        sample = self.row_sample("ExampleSans-Bold")
        self.assertDrawnWithAdvance(sample, 660, "ExampleSans-Bold")
        self.assertGreater(abs(self.page.js("__t.textWidth(%s) - __t.fallbackWidth(%s)" %
                                            (sample, sample))), 5.0)
        self.assertLessEqual(self.fetches("static/ExampleSans-Bold.ttf"), 1)

    def test_rows_below_the_fold_are_not_there_until_scrolled_to(self):
        last = self.page.js("vornPicker.state.model.at(-1).name")
        self.assertIsNone(self.js("__t.family(%s) || null", last))
        self.page.js("__t.list().scrollTop = __t.list().scrollHeight")
        state = self.js("__t.until(() => __t.family(%s) && ['ready', 'error', 'skipped']"
                        ".includes(__t.family(%s).dataset.state) && __t.family(%s).dataset.state)",
                        last, last, last)
        self.assertEqual(state, "ready")

    def test_collection_face_is_cut_out_by_the_agent_or_the_page(self):
        # ExampleTrio.ttc holds Bold (660) first, then Regular and Italic (600).
        for postScript, adv, position in (("ExampleTrio-Regular", 600, "face 2 of 3"),
                                          ("ExampleTrio-Bold", 660, "face 1 of 3"),
                                          ("ExampleTrio-Italic", 600, "face 3 of 3")):
            self.assertEqual(self.open_face(postScript), "loaded", postScript)
            self.assertDrawnWithAdvance(self.row_sample(postScript), adv, postScript)
            self.assertIn(position, self.page.js(
                "document.getElementById('panel-facts').textContent"))
        self.assertLessEqual(self.fetches("collection/ExampleTrio.ttc"), 1)

    def test_collection_with_a_broken_later_face_still_shows_its_first(self):
        self.assertEqual(self.show("ExampleBrokenTail-Regular"), "loaded")
        self.assertDrawnWithAdvance(self.row_sample("ExampleBrokenTail-Regular"), 600)

    def test_names_come_from_subsets_of_the_name_when_the_agent_makes_them(self):
        menus = "performance.getEntriesByType('resource').map((e) => e.name).filter((u) => " \
            "u.startsWith(%s)).map((u) => u.includes('&text='))" % json.dumps(
                WORLD.agent.url + "?menu=1&families=")
        # The first screen's names, from one menu request; the samples of the faces on it that
        # cannot draw their names (how many rows fit depends on the window), from one more. A
        # streamed reply becomes a resource entry only once it has ended, so both are awaited.
        samples = self.page.js(
            "__t.until(() => [...document.querySelectorAll('.row.family')].every((r) => "
            "['ready', 'error', 'skipped', 'empty'].includes(r.dataset.state))) && "
            "document.querySelectorAll('.row.family .snippet:not(:empty)').length > 0")
        expected = ([False, True] if samples else [False]) if WORLD.features["menu"] else []
        self.page.js("__t.until(() => (%s).length >= %d)" % (menus, len(expected)))
        self.assertEqual(sorted(self.page.js(menus)), expected)
        self.js("__t.search(%s)", "Example Sans")
        self.assertEqual(self.page.js("__t.until(() => ['ready', 'error', 'skipped'].includes("
                                      "__t.family('Example Sans').dataset.state) && "
                                      "__t.family('Example Sans').dataset.state)"), "ready")
        self.assertIn("vorn-", self.page.js(
            "__t.family('Example Sans').querySelector('.family-name').style.fontFamily"))
        if not WORLD.features["subsets"]:
            self.assertEqual(self.page.js("document.body.dataset.subsets"), "no")
            self.skipTest("agent makes no subsets: ?file=PATH&text=TEXT must answer 200 with "
                          "Content-Type font/ttf or font/otf (the page draws whole files)")
        self.assertEqual(self.page.js("document.body.dataset.subsets"), "yes")
        name_url = WORLD.agent.file_url("static/ExampleSans-Regular.ttf") + "&text=Example%20Sans"
        self.assertEqual(self.js("__t.fetches(%s)", name_url), 0 if WORLD.features["menu"] else 1)
        self.assertEqual(self.fetches("static/ExampleSans-Regular.ttf"), 0)


# --- Samples ------------------------------------------------------------------------------------


class SampleFitsTheFace(PageTest):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.page.wait_catalogue(), "ready")

    def test_a_face_without_latin_gets_a_sample_it_covers_with_its_lang(self):
        if WORLD.features["menu"]:
            # The list row's Greek words come from the screen's menus, not from requests of
            # the face's own.
            self.js("__t.search(%s)", "Example Greek")
            self.assertEqual(self.page.js("__t.until(() => __t.family('Example Greek')?.dataset"
                                          ".state === 'ready' && 'ready')"), "ready")
            self.assertEqual(self.page.js("performance.getEntriesByType('resource').filter((e) "
                                          "=> e.name.includes('ExampleGreek')).length"), 0)
        self.assertEqual(self.show("ExampleGreek-Regular"), "loaded")
        sample = self.row_sample("ExampleGreek-Regular")
        text = self.page.js(sample + ".textContent")
        self.assertNotEqual(text, PANGRAM)
        self.assertTrue(all(c == " " or 0x0384 <= ord(c) <= 0x03CE for c in text), text)
        self.assertEqual(self.page.js(sample + ".lang"), "el")
        self.assertDrawnWithAdvance(sample, 600, "the Greek sample")
        self.assertIn("Greek", self.page.js(
            "__t.face('ExampleGreek-Regular').querySelector('.face-note').textContent"))
        # The list row keeps the name in the page's font and shows Greek words in the face.
        snippet = "__t.family('Example Greek').querySelector('.snippet')"
        self.assertEqual(self.page.js(snippet + ".lang"), "el")
        self.assertTrue(self.page.js(snippet + ".textContent"))
        self.assertIn("vorn-", self.page.js(snippet + ".style.fontFamily"))
        self.assertEqual(self.page.js("__t.family('Example Greek').querySelector("
                                      "'.family-name').style.fontFamily"), "")
        # The panel chooses the same way and says so.
        self.assertEqual(self.open_face("ExampleGreek-Regular"), "loaded")
        self.assertEqual(self.page.js("document.getElementById('panel-preview').lang"), "el")
        self.assertIn("el", self.page.js("[...document.getElementById('panel-lang').options]"
                                         ".map((o) => o.value)"))
        # A text of the reader's own that the face lacks is named in the note.
        self.js("{ const t = document.getElementById('panel-text'); t.value = %s;"
                "t.dispatchEvent(new Event('input')) }", "Ωx")
        self.assertIn("no glyphs for x", self.page.js(
            "document.getElementById('panel-note').textContent"))
        if not WORLD.features["details"]:
            self.assertEqual(self.page.js("document.body.dataset.details"), "no")
            self.skipTest("agent sends no catalogue details: ?details=1 must add \"languages\" "
                          "(here [\"el\"]) so the sample is chosen before any font is fetched")
        self.assertEqual(self.page.js("document.body.dataset.details"), "yes")

    def test_a_latin_face_keeps_the_english_sample(self):
        self.assertEqual(self.show("ExampleSans-Regular"), "loaded")
        self.assertEqual(self.page.js(self.row_sample("ExampleSans-Regular") + ".textContent"),
                         PANGRAM)


# --- Variable families --------------------------------------------------------------------------


class VariableFaces(PageTest):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.page.wait_catalogue(), "ready")

    def axes(self):
        return self.page.js(
            "[...document.querySelectorAll('#panel-axes input[type=range]')].map((i) => "
            "[i.dataset.tag, Number(i.min), Number(i.value), Number(i.max)])")

    def number_fields(self):
        return self.page.js(
            "Object.fromEntries([...document.querySelectorAll('#panel-axes input[type=number]')]"
            ".map((i) => [i.dataset.tag, Number(i.value)]))")

    def slide(self, tag, value):
        self.js("{ const i = document.querySelector('#panel-axes input[type=range][data-tag=' +"
                " %s + ']'); i.value = %s; i.dispatchEvent(new Event('input')) }", tag, value)

    def type_axis(self, tag, value):
        self.js("{ const i = document.querySelector('#panel-axes input[type=number][data-tag=' +"
                " %s + ']'); i.value = %s; i.dispatchEvent(new Event('change')) }", tag, value)

    def test_one_slider_per_axis_with_decoded_tag_and_range(self):
        self.assertEqual(self.open_face("ExampleVar"), "loaded")
        self.assertEqual(self.axes(), [["wght", 100, 400, 900]])
        self.assertEqual(self.open_face("ExampleSlant-Regular"), "loaded")
        self.assertEqual(self.axes(), [["slnt", -13, 0, 0], ["wdth", 50, 100, 100]])
        self.assertEqual(self.open_face("ExampleSans-Regular"), "loaded")
        self.assertEqual(self.axes(), [])

    def test_named_instances_are_listed_with_coordinates(self):
        self.js("__t.search(%s)", "Example Var")
        self.page.js("__t.family('Example Var').click()")
        self.assertEqual(self.page.js("__t.until(() => __t.panel().dataset.state === 'loaded' &&"
                                      " 'loaded')"), "loaded")
        # The family's rows are drawn a frame after it opens: wait for the row, then click it.
        self.page.js("__t.until(() => __t.face('ExampleVar-Bold')).then((row) => row.click())")
        self.page.js("__t.until(() => __t.panel().dataset.postscript === 'ExampleVar-Bold')")
        coords = self.page.js("[...document.querySelectorAll('.row.face .coords')]"
                              ".map((c) => c.textContent)")
        self.assertEqual(sorted(coords), ["wght 100", "wght 400", "wght 600", "wght 700"])
        options = self.page.js("[...document.getElementById('panel-instance').options]"
                               ".map((o) => o.textContent)")
        self.assertEqual(len(options), 5)
        self.assertIn("wght 700", self.page.js(
            "document.getElementById('panel-instance').selectedOptions[0].textContent"))

    def test_instances_draw_at_their_coordinates_and_sliders_move_the_face(self):
        # ExampleVarDeltas' advance is 600 + (wght - 400) / 5 units.
        for postScript, adv in (("ExampleVarDeltas", 600), ("ExampleVarDeltas-Bold", 660)):
            self.assertEqual(self.show(postScript), "loaded", postScript)
            self.assertDrawnWithAdvance(self.row_sample(postScript), adv, postScript)
        self.assertEqual(self.open_face("ExampleVarDeltas-Bold"), "loaded")
        self.set_panel_size(16)  # one line, so the text's width is its advance sum
        preview = "document.getElementById('panel-preview')"
        self.assertDrawnWithAdvance(preview, 660, "Bold in the panel")
        self.slide("wght", 900)
        self.assertDrawnWithAdvance(preview, 700, "wght 900")
        self.slide("wght", 100)
        self.assertDrawnWithAdvance(preview, 540, "wght 100")
        self.page.js("document.getElementById('panel-reset').click()")
        self.assertDrawnWithAdvance(preview, 660, "back to Bold")
        self.page.js("{ const s = document.getElementById('panel-instance'); s.value = "
                     "[...s.options].find((o) => o.textContent.includes('wght 400')).value;"
                     "s.dispatchEvent(new Event('change')) }")
        self.assertDrawnWithAdvance(preview, 600, "the Regular instance")
        self.assertLessEqual(self.fetches("variable/ExampleVarDeltas.ttf"), 1)

    def test_moving_one_axis_keeps_the_others(self):
        self.assertEqual(self.open_face("ExampleSlant-Italic"), "loaded")
        preview = "document.getElementById('panel-preview')"
        self.assertEqual(self.page.js("__t.settings(%s)" % preview), {"slnt": -13, "wdth": 100})
        self.type_axis("wdth", 75)
        self.slide("slnt", -5)
        self.assertEqual(self.page.js("__t.settings(%s)" % preview), {"slnt": -5, "wdth": 75})
        self.assertEqual(self.number_fields(), {"slnt": -5, "wdth": 75})
        self.assertEqual(self.page.js("document.getElementById('panel-instance').value"), "")

    def test_copy_css_gives_the_coordinates_shown(self):
        self.assertEqual(self.open_face("ExampleSlant-SemiCondensed"), "loaded")
        self.type_axis("wdth", 62.5)
        self.slide("slnt", -7.5)
        self.page.js("document.getElementById('copy-css').click()")
        self.page.js("__t.until(() => document.getElementById('copy-state').textContent)")
        css = self.page.js("document.getElementById('css-text').textContent")
        shown = self.number_fields()
        settings = dict((tag, float(v)) for tag, v in re.findall(
            r'"(\w{4})" (-?[\d.]+)', re.search(r"font-variation-settings: ([^;]*);", css)[1]))
        self.assertEqual(settings, shown)
        self.assertEqual(shown, {"slnt": -7.5, "wdth": 62.5})
        self.assertIn('font-family: "Example Slant";', css)
        self.assertIn("font-style: oblique 7.5deg;", css)
        src = re.search(r'src: url\("([^"]*)"\)', css)[1]
        with urllib.request.urlopen(src, timeout=30) as reply:
            self.assertEqual(reply.status, 200)
            with open(os.path.join(WORLD.agent.fonts, "variable/ExampleSlant.ttf"), "rb") as f:
                self.assertEqual(reply.read(), f.read())


class VariableFaceWithoutCoordinates(PageTest):
    @property
    def agent_url(self):
        return WORLD.origin.url + "fake/plainvariable/"

    def test_weight_name_picks_the_weight_axis(self):
        self.assertEqual(self.page.wait_catalogue(), "ready")
        # This stand-in answers the menu with its catalogue, as an agent without it does: the
        # name is then asked for on its own.
        self.assertEqual(self.page.js("__t.family('Plain Variable').dataset.state"), "ready")
        self.assertIn("vorn-", self.page.js("__t.family('Plain Variable')"
                                            ".querySelector('.family-name').style.fontFamily"))
        for postScript, adv in (("PlainVar-Thin", 540), ("PlainVar-Normal", 600),
                                ("PlainVar-Black", 700)):
            self.assertEqual(self.show(postScript), "loaded", postScript)
            self.assertDrawnWithAdvance(self.row_sample(postScript), adv, postScript)


# --- Finding faces: filters and the keyboard ---------------------------------------------------


class FiltersAndKeyboard(PageTest):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.page.wait_catalogue(), "ready")

    def shown(self):
        return set(self.page.js("""(async () => {
            const list = __t.list(), seen = new Set();
            list.scrollTop = 0;
            for (let i = 0; i < 500; i++) {
              await __t.frames();
              document.querySelectorAll('.row.family').forEach((r) => seen.add(r.dataset.family));
              if (list.scrollTop + list.clientHeight >= list.scrollHeight - 1) break;
              list.scrollTop += list.clientHeight;
            }
            return [...seen];
        })()"""))

    def set_filter(self, id, value):
        self.js("{ const i = document.getElementById(%s); if (i.type === 'checkbox') "
                "i.checked = %s; else i.value = %s; i.dispatchEvent(new Event('change', "
                "{bubbles: true})) }", id, value, value)

    def test_a_click_before_the_next_frame_opens_the_row_clicked(self):
        # New items reach the rows a frame later: a click meanwhile is on the row the reader
        # sees, whatever index its family has among the new items.
        name = self.page.js("[...document.querySelectorAll('.row.family')][1].dataset.family")
        self.assertEqual(self.js("(() => { const l = vornPicker.list, row = __t.family(%s);"
                                 " l.setItems([...l.items].reverse()); row.click();"
                                 " return [...vornPicker.state.expanded]; })()", name), [name])

    def test_filters_narrow_the_families(self):
        variable = {f["family"] for f in WORLD.agent.catalogue() if f.get("isVariation")}
        self.set_filter("f-variable", True)
        self.assertEqual(self.shown(), variable)
        self.set_filter("f-variable", False)
        self.set_filter("f-italic", True)
        italic = self.shown()
        self.assertTrue({"Example Sans", "Example Trio", "Example Slant"} <= italic, italic)
        self.assertNotIn("Example Heavy", italic)
        self.set_filter("f-italic", False)
        self.set_filter("f-weight-min", "800")
        heavy = self.shown()
        self.assertIn("Example Heavy", heavy)
        self.assertNotIn("Example Sans", heavy)
        self.assertIn("Example Var", heavy)  # its wght axis reaches 900
        self.set_filter("f-weight-min", "1")
        self.set_filter("f-width", "condensed")
        condensed = self.shown()
        self.assertTrue({"Example Width", "Example Var Width"} <= condensed, condensed)
        self.assertNotIn("Example Sans", condensed)
        self.set_filter("f-width", "")
        if not WORLD.features["details"]:
            self.assertTrue(self.page.js("document.getElementById('f-language').disabled"))
            self.skipTest("agent sends no catalogue details: the language, monospace and "
                          "colour filters need \"languages\", \"monospace\" and \"color\"")
        self.set_filter("f-language", "el")
        self.assertEqual(self.shown(), {"Example Greek"})
        self.set_filter("f-language", "script:Grek")
        self.assertEqual(self.shown(), {"Example Greek"})

    def test_arrow_keys_and_enter_walk_and_open_the_list(self):
        self.js("__t.search(%s)", "Example Var")
        self.page.js("__t.list().focus()")
        active = ("document.getElementById(__t.list().getAttribute('aria-activedescendant'))")
        first = self.page.js(active + ".dataset.family")
        self.page.key("ArrowDown")
        second = self.page.js(active + ".dataset.family")
        self.assertNotEqual(first, second)
        self.page.key("ArrowUp")
        self.assertEqual(self.page.js(active + ".dataset.family"), first)
        self.page.key("Enter")
        self.assertEqual(self.page.js(active + ".getAttribute('aria-expanded')"), "true")
        self.page.key("ArrowDown")
        postScript = self.page.js(active + ".dataset.postscript")
        self.assertTrue(postScript)
        self.page.key("Enter")
        self.assertEqual(self.js("__t.until(() => __t.panel().dataset.postscript === %s && "
                                 "['loaded', 'error'].includes(__t.panel().dataset.state) && "
                                 "__t.panel().dataset.state)", postScript), "loaded")
        self.page.key("ArrowLeft")
        self.assertEqual(self.page.js(active + ".dataset.family"), first)
        # The active row is marked for keyboard users.
        self.assertTrue(self.page.js("__t.list().matches(':focus-visible')"))
        self.assertNotEqual(self.page.js("getComputedStyle(document.querySelector("
                                         "'.row.active')).boxShadow"), "none")


class NarrowAndDark(PageTest):
    CONTRAST = """(() => {
      const rgb = (c) => c.match(/[\\d.]+/g).slice(0, 3).map(Number);
      const lum = (c) => rgb(c).map((v) => v / 255)
          .map((v) => (v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4))
          .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
      const ratio = (a, b) => (Math.max(lum(a), lum(b)) + 0.05) /
                              (Math.min(lum(a), lum(b)) + 0.05);
      const back = (node) => {
        for (; node; node = node.parentElement) {
          const c = getComputedStyle(node).backgroundColor;
          if (!/rgba\\(.*, 0\\)$/.test(c) && c !== 'transparent') return c;
        }
        return getComputedStyle(document.documentElement).backgroundColor;
      };
      const pairs = {};
      for (const selector of ['#status', '#counts', '.row.family .family-name', '.row .meta',
                              '.face-meta .ps-name', '.face-meta .style', '.sample',
                              'button[type=submit]', '#panel-reset', '#panel-facts',
                              '.axis-tag', '#css-text', '.row .star', '#panel-pin']) {
        const node = document.querySelector(selector);
        if (node) pairs[selector] = ratio(getComputedStyle(node).color, back(node));
      }
      return {pairs, page: lum(back(__t.list()))};
    })()"""

    def test_usable_at_390_px_wide(self):
        self.page.call("Emulation.setDeviceMetricsOverride",
                       {"width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
        self.addCleanup(self.page.call, "Emulation.clearDeviceMetricsOverride")
        self.assertEqual(self.page.wait_catalogue(), "ready")
        self.assertEqual(self.open_face("ExampleSlant-Italic"), "loaded")
        overflow = "[document.scrollingElement.scrollWidth, __t.panel().scrollWidth, innerWidth]"
        width, panel, inner = self.page.js(overflow)
        self.assertLessEqual(width, inner)
        self.assertLessEqual(panel, inner)
        # The panel covers the list, and closing it brings the list back.
        self.assertEqual(self.page.js("getComputedStyle(__t.panel()).position"), "fixed")
        self.page.js("document.getElementById('panel-close').click()")
        self.assertTrue(self.page.js("__t.panel().hidden"))

    def test_text_contrast_is_aa_in_light_and_dark_schemes(self):
        self.assertEqual(self.page.wait_catalogue(), "ready")
        self.assertEqual(self.open_face("ExampleVar-Bold"), "loaded")
        for scheme in ("light", "dark"):
            self.page.call("Emulation.setEmulatedMedia", {
                "features": [{"name": "prefers-color-scheme", "value": scheme}]})
            result = self.page.js(self.CONTRAST)
            self.assertEqual(len(result["pairs"]), 14, result)
            for selector, ratio in result["pairs"].items():
                self.assertGreaterEqual(ratio, 4.5, "%s in the %s scheme" % (selector, scheme))
            if scheme == "dark":
                self.assertLess(result["page"], 0.05)
            else:
                self.assertGreater(result["page"], 0.8)


# --- Features, the text a family draws, copies of a face ----------------------------------------


def assert_aa_in_both_schemes(test, page, selectors):
    """Each selector's text meets WCAG AA (4.5:1) on its background, light and dark."""
    js = re.sub(r"for \(const selector of \[.*?\]\)",
                "for (const selector of %s)" % json.dumps(selectors), NarrowAndDark.CONTRAST,
                flags=re.S)
    for scheme in ("light", "dark"):
        page.call("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": scheme}]})
        pairs = page.js(js)["pairs"]
        test.assertEqual(sorted(pairs), sorted(selectors), scheme)
        for selector, ratio in pairs.items():
            test.assertGreaterEqual(ratio, 4.5, "%s in the %s scheme" % (selector, scheme))


class FeatureToggles(PageTest):
    TOGGLES = ("[...document.querySelectorAll('#panel-features .feature')].map((l) => "
               "[l.querySelector('input').dataset.tag, l.textContent, "
               "l.querySelector('input').checked])")

    @property
    def agent_url(self):
        return WORLD.origin.url + "fake/features/"

    def toggle(self, tag):
        self.js("document.querySelector('#panel-features input[data-tag=\"' + %s + '\"]')"
                ".click()", tag)

    def test_toggles_draw_the_panel_sample_and_go_into_the_css(self):
        self.assertEqual(self.page.wait_catalogue(), "ready")
        self.assertEqual(self.open_face("ExampleLigatures-Regular"), "loaded")
        # The font's own name, else a standard name, else the tag; default-on features on.
        self.assertEqual(self.page.js(self.TOGGLES), [
            ["kern", "Kerningkern", True], ["liga", "Standard ligaturesliga", True],
            ["ss01", "Single-storey ass01", False], ["ss02", "ss02", False]])
        preview = "document.getElementById('panel-preview')"
        css = "document.getElementById('css-text').textContent"
        self.set_panel_size(16)
        self.js("{ const t = document.getElementById('panel-text'); t.value = %s;"
                "t.dispatchEvent(new Event('input')) }", "fiaa")
        self.assertNotIn("font-feature-settings", self.page.js(css))
        # Advances: f_i 678, f 531, i 552, a 496, a.alt 685 units.
        for tag, settings, units in (("liga", '"liga" 0', 531 + 552 + 2 * 496),
                                     ("ss01", '"liga" 0, "ss01"', 531 + 552 + 2 * 685),
                                     ("liga", '"ss01"', 678 + 2 * 685)):
            self.toggle(tag)
            self.assertEqual(self.page.js("getComputedStyle(%s).fontFeatureSettings" % preview),
                             settings)
            self.assertAlmostEqual(self.page.js("__t.textWidth(%s)" % preview), units * 16 / 1000,
                                   delta=1.0, msg=settings)
            self.assertIn("  font-feature-settings: %s;\n}" % settings, self.page.js(css))
        assert_aa_in_both_schemes(self, self.page, [".feature", ".feature-tag",
                                                    "#panel-features legend"])

    def test_features_the_agent_lists_are_offered(self):
        faces = [face for family in WORLD.agent.catalogue("?details=1")
                 for face in family["childList"] if face.get("features")]
        if not faces:
            self.skipTest("agent lists no features: ?details=1 must add \"features\" "
                          "([{\"tag\": \"liga\"}, {\"tag\": \"ss01\", \"name\": ...}]) to the "
                          "faces of a font with GSUB or GPOS features")
        page = WORLD.open()
        self.addCleanup(page.close)
        self.addCleanup(page.js, "localStorage.clear()")  # the face opened is a recent one
        self.assertEqual(page.wait_catalogue(), "ready")
        # A face with a feature named by the font, if there is one.
        face = max(faces, key=lambda face: any("name" in f for f in face["features"]))
        self.assertEqual(page.js("__t.openFace(%s)" % json.dumps(face["postScript"])), "loaded")
        toggles = page.js(self.TOGGLES)
        self.assertEqual([t[0] for t in toggles], [f["tag"] for f in face["features"]])
        for (tag, label, _), feature in zip(toggles, face["features"]):
            self.assertTrue(label.endswith(tag), label)
            if "name" in feature:
                self.assertEqual(label, feature["name"] + tag)
        before = page.js("getComputedStyle(document.getElementById('panel-preview'))"
                         ".fontFeatureSettings")
        page.js("document.querySelector('#panel-features input').click()")
        self.assertNotEqual(page.js("getComputedStyle(document.getElementById('panel-preview'))"
                                    ".fontFeatureSettings"), before)


class DrawsThisText(PageTest):
    shown = FiltersAndKeyboard.shown

    @property
    def covers(self):
        return WORLD.features["covers"]

    @property
    def base(self):
        return self.agent_url or WORLD.agent.url

    def setUp(self):
        super().setUp()
        self.assertEqual(self.page.wait_catalogue(), "ready")

    def type(self, text):
        self.js("{ const i = document.getElementById('f-draws'); i.value = %s;"
                "i.dispatchEvent(new Event('input', {bubbles: true})) }", text)

    def settled(self):
        return self.page.js("__t.until(() => { const s = document.getElementById('f-draws')"
                            ".dataset.state; return s !== 'checking' && s; })")

    def test_only_families_that_draw_every_character_stay(self):
        everything = self.shown()
        self.type("Ω ά")
        self.assertEqual(self.settled(), "done")
        greek = self.shown()
        self.assertIn("Example Greek", greek)
        self.assertNotIn("Example Sans", greek)
        self.assertEqual(self.page.js("document.getElementById('f-draws-state').textContent"),
                         "%d families draw it." % len(greek) if len(greek) > 1 else
                         "1 family draws it.")
        # A text typed before the last one was answered: only the last one counts.
        self.type("Ωx")
        self.type("Sans")
        self.assertEqual(self.settled(), "done")
        self.assertIn("Example Sans", self.shown())
        self.assertTrue(self.page.js("document.getElementById('counts').textContent")
                        .startswith("Showing "))
        asked = self.page.js("performance.getEntriesByType('resource').map((e) => e.name)")
        if self.covers:
            self.assertIn(self.base + "?covers=Sans", asked)
        else:
            self.assertNotIn(self.base + "?covers=Sans", asked)
            self.assertIn(self.base + "?menu=1&text=Sans", asked)
        self.type("")
        self.assertEqual(self.settled(), "idle")
        self.assertEqual(self.shown(), everything)
        self.type("Ω")
        assert_aa_in_both_schemes(self, self.page, [".draws label", ".draws-state"])
        self.page.call("Emulation.setDeviceMetricsOverride",
                       {"width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
        self.addCleanup(self.page.call, "Emulation.clearDeviceMetricsOverride")
        self.assertEqual(self.settled(), "done")
        self.assertLessEqual(*self.page.js(
            "document.getElementById('filters-box').open = true, __t.frames().then(() => "
            "[Math.max(document.scrollingElement.scrollWidth, document.getElementById("
            "'f-draws-state').getBoundingClientRect().right), innerWidth])"))
        if not self.covers and self.agent_url is None:
            self.skipTest("agent does not filter by text: GET /?covers= must answer 400 and "
                          "/?covers=TEXT only the faces that map all of TEXT (the page checked "
                          "each family's menu subset instead)")


class DrawsThisTextFromMenus(DrawsThisText):
    """The same against the agent as an older one, without covers: each family's font-menu
    subset for the text decides."""
    covers = False

    @property
    def agent_url(self):
        return WORLD.origin.url + "fake/older/"


class DrawsThisTextByCovers(PageTest):
    """Against a stand-in that filters by text, the page keeps only the faces it names."""
    type = DrawsThisText.type
    settled = DrawsThisText.settled

    @property
    def agent_url(self):
        return WORLD.origin.url + "fake/covers/"

    def test_faces_that_lack_a_character_are_left_out(self):
        self.assertEqual(self.page.wait_catalogue(), "ready")
        self.type("b")
        self.assertEqual(self.settled(), "done")
        self.page.js("__t.family('Covers Latin').click()")
        self.assertEqual(self.page.js("__t.frames().then(() => [...document.querySelectorAll("
                                      "'.row')].map((r) => r.dataset.family || "
                                      "r.dataset.postscript))"),
                         ["Covers Latin", "CoversLatin-Regular"])
        self.assertEqual(self.page.js("document.getElementById('f-draws-state').textContent"),
                         "1 family draws it.")
        self.assertIn(WORLD.origin.url + "fake/covers/?covers=b", self.page.js(
            "performance.getEntriesByType('resource').map((e) => e.name)"))


class DuplicateFaces(PageTest):
    FILES = ("[...document.querySelectorAll('#panel-copies .copy')].map((c) => "
             "[c.querySelector('.copy-file').textContent, c.querySelector('.copy-facts')"
             ".textContent, c.querySelector('input').checked])")

    def test_a_face_in_two_files_is_listed_once_with_its_copies(self):
        self.addCleanup(self.page.js, "localStorage.clear()")  # the face opened is a recent one
        self.page.call("Emulation.setDeviceMetricsOverride",
                       {"width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
        self.addCleanup(self.page.call, "Emulation.clearDeviceMetricsOverride")
        self.assertEqual(self.page.wait_catalogue(), "ready")
        files = [face["file"] for family in WORLD.agent.catalogue() for face in family["childList"]
                 if face["postScript"] == "ExampleCopies-Regular"]
        self.assertEqual(len(files), 2)
        self.assertEqual(self.show("ExampleCopies-Regular"), "loaded")
        self.assertEqual(self.page.js("[...document.querySelectorAll('.row.face')]"
                                      ".map((r) => r.dataset.postscript)"),
                         ["ExampleCopies-Regular"])
        self.assertEqual(self.page.js("__t.face('ExampleCopies-Regular')"
                                      ".querySelector('.copies-note').textContent"), "2 copies")
        self.assertEqual(self.open_face("ExampleCopies-Regular"), "loaded")
        facts = "TrueType · 3 KiB" if WORLD.features["details"] else ""
        self.assertEqual(self.page.js(self.FILES),
                         [[files[0], facts, True], [files[1], facts, False]])
        # The other copy, chosen from the keyboard: the panel and its CSS take its file, and
        # the focus stays on the choice.
        self.page.js("document.querySelector('#panel-copies input:checked').focus()")
        self.page.key("ArrowDown")
        self.assertEqual(self.js("__t.until(() => document.getElementById('panel-file')"
                                 ".textContent === %s && __t.panel().dataset.state)", files[1]),
                         "loaded")
        self.assertEqual([c[2] for c in self.page.js(self.FILES)], [False, True])
        self.assertTrue(self.page.js("document.activeElement.matches("
                                     "'#panel-copies input:checked')"))
        self.assertIn(urllib.parse.quote(files[1], safe=""),
                      self.page.js("document.getElementById('css-text').textContent"))
        self.assertEqual(self.page.js("[...document.querySelectorAll('.row.face')]"
                                      ".map((r) => r.dataset.postscript)"),
                         ["ExampleCopies-Regular"])
        width, panel, inner = self.page.js("[document.scrollingElement.scrollWidth, "
                                           "__t.panel().scrollWidth, innerWidth]")
        self.assertLessEqual(max(width, panel), inner)
        assert_aa_in_both_schemes(self, self.page, [".copy-file", ".copy-facts",
                                                    "#panel-copies legend", ".copies-note"])


# --- Favourites, recent faces and Compare ------------------------------------------------------


class FavouritesAndCompare(PageTest):
    ROWS = ("[...document.querySelectorAll('.row')].sort((a, b) => a.dataset.index - "
            "b.dataset.index).map((r) => r.dataset.family || r.dataset.postscript || "
            "r.textContent)")

    def setUp(self):
        # Every page of the test origin shares one localStorage: start from none and leave none.
        first = WORLD.open()
        first.js("localStorage.clear()")
        first.close()
        super().setUp()
        self.addCleanup(self.page.js, "localStorage.clear()")
        self.assertEqual(self.page.wait_catalogue(), "ready")

    def test_favourites_and_the_recent_face_survive_a_reload(self):
        self.js("__t.search(%s)", "Example Heavy")
        self.page.js("__t.family('Example Heavy').querySelector('.star').click()")
        self.assertEqual(self.open_face("ExampleTrio-Italic"), "loaded")
        self.page.key("f")  # the face row just opened is the active one
        again = WORLD.open()
        self.addCleanup(again.close)
        self.assertEqual(again.wait_catalogue(), "ready")
        self.assertEqual(again.js(self.ROWS)[:2], ["Recent", "ExampleTrio-Italic"])
        self.assertEqual(again.js("__t.family('Example Heavy').querySelector('.star')"
                                  ".getAttribute('aria-pressed')"), "true")
        again.js("document.getElementById('f-favourites').click()")
        self.assertEqual(again.js("__t.frames().then(() => %s)" % self.ROWS),
                         ["Recent", "ExampleTrio-Italic", "Example Heavy", "Example Trio"])
        self.assertEqual(again.js("__t.family('Example Trio').querySelector('.meta').textContent"),
                         "1 of 3 faces")

    def test_pinned_faces_are_drawn_side_by_side_in_one_text(self):
        pin = "document.getElementById('panel-pin').click()"
        slide = ("{ const i = document.querySelector('#panel-axes input[data-tag=wght]');"
                 " i.value = %d; i.dispatchEvent(new Event('input')) }")
        self.assertEqual(self.open_face("ExampleSans-Bold"), "loaded")
        self.page.js(pin)
        self.assertEqual(self.open_face("ExampleVarDeltas-Bold"), "loaded")
        for wght in (100, 300, 400, 500):  # the fifth pin is refused
            self.page.js(slide % wght)
            self.page.js(pin)
        self.assertIn("unpin one", self.page.js("document.getElementById('pin-state').textContent"))
        self.page.js("document.querySelectorAll('.pin .unpin')[3].click()")
        self.page.js("document.querySelectorAll('.pin .unpin')[2].click()")
        self.page.js("{ const t = document.getElementById('compare-text'); t.value = "
                     "'Hamburgefonstiv'; t.dispatchEvent(new Event('input'));"
                     "const s = document.getElementById('compare-size'); s.value = 16;"
                     "s.dispatchEvent(new Event('input')) }")
        self.page.js("__t.until(() => [...document.querySelectorAll('.pin')]"
                     ".every((p) => p.dataset.state === 'loaded'))")
        cards = "[...document.querySelectorAll('.pin')].map((p) => [p.dataset.postscript, " \
                "p.querySelector('.pin-sample').textContent, p.getBoundingClientRect().x, " \
                "p.getBoundingClientRect().y])"
        (first, text1, x1, y1), (second, text2, x2, y2) = self.page.js(cards)
        self.assertEqual([first, second, text1, text2],
                         ["ExampleSans-Bold", "ExampleVarDeltas-Bold"] + ["Hamburgefonstiv"] * 2)
        self.assertEqual(y1, y2)
        self.assertLess(x1, x2)
        # ExampleVarDeltas' advance is 600 + (wght - 400) / 5 units.
        for i, adv in ((0, 660), (1, 540)):
            self.assertDrawnWithAdvance("document.querySelectorAll('.pin-sample')[%d]" % i, adv)
        self.page.call("Emulation.setDeviceMetricsOverride",
                       {"width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
        self.addCleanup(self.page.call, "Emulation.clearDeviceMetricsOverride")
        (_, _, x1, y1), (_, _, x2, y2) = self.page.js(cards)
        self.assertEqual(x1, x2)
        self.assertLess(y1, y2)
        self.assertLessEqual(self.page.js("document.scrollingElement.scrollWidth"), 390)


# --- Live updates -------------------------------------------------------------------------------


class LiveUpdates(unittest.TestCase):
    def test_a_catalogue_event_brings_the_new_family_without_a_reload(self):
        page = PreviewPage(WORLD.browser, WORLD.page_url(WORLD.origin.url + "fake/live/"))
        self.addCleanup(page.close)
        self.addCleanup(LIVE["done"].set)
        self.assertEqual(page.wait_catalogue(), "ready")
        self.assertEqual(page.js("__t.until(() => document.body.dataset.live === 'on' && 'on')"),
                         "on")
        self.assertIsNone(page.js("__t.family('Live Added') || null"))
        LIVE["version"] = 2
        LIVE["changed"].set()
        page.js("__t.until(() => document.body.dataset.updates === '1')")
        self.assertIsNotNone(page.js("__t.until(() => __t.family('Live Added')) && 1"))
        self.assertEqual(page.js("document.getElementById('counts').textContent"),
                         "2 families, 2 faces")
        self.assertIn("1 added", page.js("document.getElementById('status').textContent"))

    def test_the_agents_own_stream_reaches_the_page(self):
        page = WORLD.open()
        self.addCleanup(page.close)
        self.assertEqual(page.wait_catalogue(), "ready")
        live = page.js("__t.until(() => ['on', 'off'].includes(document.body.dataset.live) && "
                       "document.body.dataset.live)")
        if not WORLD.features["events"]:
            self.assertEqual(live, "off")
            self.skipTest("agent has no event stream: ?events=1 must answer text/event-stream "
                          "(with the CORS header) and send \"event: catalogue\" on connect")
        self.assertEqual(live, "on")


# --- Failures and hostile data ------------------------------------------------------------------


class AgentNotRunning(PageTest):
    def setUp(self):
        # A port bound here but never listened on: the kernel refuses every connection to it,
        # and no other process can start listening there while the test runs.
        self.nobody = socket.socket()
        self.addCleanup(self.nobody.close)
        self.nobody.bind((LOOPBACK, 0))
        super().setUp()

    @property
    def agent_url(self):
        return "http://%s:%d/" % (LOOPBACK, self.nobody.getsockname()[1])

    def test_says_the_agent_cannot_be_reached(self):
        self.assertEqual(self.page.wait_catalogue(), "error")
        status = self.page.js("document.getElementById('status').textContent")
        self.assertIn("Cannot reach the agent", status)
        self.assertEqual(self.page.js("document.querySelectorAll('.row').length"), 0)


class AgentStatuses(unittest.TestCase):
    def status_text(self, kind):
        page = PreviewPage(WORLD.browser, WORLD.page_url(WORLD.origin.url + "fake/%s/" % kind))
        self.addCleanup(page.close)
        self.assertEqual(page.wait_catalogue(), "error")
        return page.js("document.getElementById('status').textContent")

    def test_204_is_explained_as_a_utf8_error(self):
        self.assertIn("utf-8 error", self.status_text("status204"))

    def test_500_says_the_list_could_not_be_built(self):
        status = self.status_text("status500")
        self.assertIn("500", status)
        self.assertIn("failed to build", status)


class HostileCatalogue(PageTest):
    @property
    def agent_url(self):
        return WORLD.origin.url + "fake/hostile/"

    def setUp(self):
        super().setUp()
        self.assertEqual(self.page.wait_catalogue(), "ready")

    def test_names_are_shown_as_text_never_as_markup(self):
        family = HOSTILE_CATALOGUE[0]
        self.assertEqual(self.page.js("document.querySelector('.row.family').dataset.family"),
                         family["family"])
        self.assertEqual(self.page.js("document.querySelector('.family-name').textContent"),
                         family["family"])
        self.assertEqual(self.open_face("NotAFont"), "error")
        self.assertIn("also named " + family["localName"],
                      self.page.js("document.getElementById('panel-facts').textContent"))
        self.assertEqual(self.page.js(
            "document.querySelectorAll('main img, main script, main b, main i').length"), 0)
        self.assertIsNone(self.page.js("window.__injected"))

    def test_unusable_axis_tag_gets_no_slider(self):
        self.open_face("QuotedAxis")
        self.assertEqual(self.page.js(
            "[...document.querySelectorAll('#panel-axes input[type=range]')]"
            ".map((i) => i.dataset.tag)"), ["wght"])

    def test_refused_file_and_unreadable_font_are_reported_on_the_face(self):
        self.assertEqual(self.show("<b>Gone</b>"), "error")
        self.assertIn("404", self.page.js("__t.face('<b>Gone</b>').textContent"))
        self.assertEqual(self.show("NotAFont"), "error")
        self.assertIn("rejected the font data",
                      self.page.js("__t.face('NotAFont').textContent"))


def main():
    return vorn_harness.run_browser_tests(
        sys.modules[__name__], World, "chromium", "chromium",
        "the browser test of web/preview.html")


if __name__ == "__main__":
    sys.exit(main())
