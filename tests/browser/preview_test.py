#!/usr/bin/python3
"""web/preview.html in a real headless Chromium, against the real agent.

Usage: preview_test.py --agent BINARY --fixtures DIR --web DIR [--chromium PATH]

The agent runs under a private fontconfig holding a copy of the fixture fonts;
web/ is served from a second loopback origin, so the catalogue and font bytes
cross origins and depend on the agent's CORS header. Chromium keeps the
machine's own fontconfig, so a fixture face can only reach it through the
agent's file route. The browser is driven over the DevTools protocol on a pipe
(devtools.py, standard library only).

Exits 77 (CTest's skip code for this test) when Chromium is not installed.
"""

import argparse
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import urllib.request

from devtools import UNTIL, Browser, Page, stop_pid

SKIP = 77
LOOPBACK = "127.0.0.1"

# Families the fixture set must show, whatever else the agent lists.
FIXTURE_FAMILIES = [
    "Example Sans", "Example Heavy", "Example Width", "Example Trio",
    "Example Broken Tail", "Example Var", "Example Var Width", "Example Slant",
    "Example No Instances", "Example Zero Default", "Example Var Italic",
    "Example Var Deltas", "Example Instance Names", "Example Names",
    "Example Same", "Example Latin", "Example Pfa", "Example NoExt",
]

ARGS = None
WORLD = None


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


# --- The agent and the static origin --------------------------------------------------------


class Agent:
    def __init__(self, binary, root):
        fonts = os.path.join(root, "fonts")
        # The web-face fixtures hold more "Trio" families than the search test expects.
        shutil.copytree(ARGS.fixtures, fonts, ignore=shutil.ignore_patterns("webface"))
        cache = os.path.join(root, "cache")
        os.makedirs(cache)
        conf = os.path.join(root, "fonts.conf")
        with open(conf, "w") as f:
            f.write('<?xml version="1.0"?>\n<!DOCTYPE fontconfig SYSTEM "fonts.dtd">\n'
                    "<fontconfig><dir>%s</dir><cachedir>%s</cachedir></fontconfig>\n"
                    % (fonts, cache))
        self.fonts = fonts
        self.port = free_port()
        env = dict(os.environ, FONTCONFIG_FILE=conf)
        self.log = open(os.path.join(root, "agent.log"), "wb")
        self.proc = subprocess.Popen([binary, "-l", LOOPBACK, "-p", str(self.port)],
                                     env=env, stdout=self.log, stderr=subprocess.STDOUT)
        self.url = "http://%s:%d/" % (LOOPBACK, self.port)
        for _ in range(200):
            if self.proc.poll() is not None:
                raise RuntimeError("the agent exited with status %d" % self.proc.returncode)
            try:
                socket.create_connection((LOOPBACK, self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("the agent did not start listening")

    def catalogue(self):
        with urllib.request.urlopen(self.url, timeout=30) as reply:
            return json.loads(reply.read().decode("utf-8"))

    def stop(self):
        stop_pid(self.proc)
        self.log.close()


# Replies of a stand-in agent, same origin as the page, for what the real one
# cannot be made to do on demand: odd statuses and hostile names.
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
     "childList": []},
]

# A variable font listed the way the agent lists one that shares a family with static
# files: named instances with weight names but neither coordinates nor axes.
PLAIN_VARIABLE_CATALOGUE = [
    {"family": "Plain Variable", "localName": "Plain Variable", "childList": [
        {"file": "/fonts/ExampleVarDeltas.ttf", "postScript": "PlainVar-" + weight,
         "weight": weight, "width": "Normal", "slant": "Normal"}
        for weight in ("Thin", "Normal", "Black")]},
]


class StaticHandler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=ARGS.web, **kwargs)

    def log_message(self, *args):
        pass

    def reply(self, status, body=b"", content_type="text/plain; charset=UTF-8"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

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
            with open(os.path.join(ARGS.fixtures, "variable/ExampleVarDeltas.ttf"), "rb") as f:
                return self.reply(200, f.read(), "application/octet-stream")
        return self.reply(404)


class StaticOrigin:
    def __init__(self):
        self.server = http.server.ThreadingHTTPServer((LOOPBACK, 0), StaticHandler)
        self.port = self.server.server_address[1]
        self.url = "http://%s:%d/" % (LOOPBACK, self.port)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


# --- The page under test ---------------------------------------------------------------------

# Helpers the tests call in the page, as window.__t.
HELPERS = """
window.__t = {
  until: %s,
  family: (name) => [...document.querySelectorAll('.family')]
      .find((s) => s.dataset.family === name),
  face: (postScript) => [...document.querySelectorAll('.face')]
      .find((c) => c.dataset.postscript === postScript),
  textWidth: (node) => {
    const range = document.createRange();
    range.selectNodeContents(node);
    return range.getBoundingClientRect().width;
  },
  // The width the fixture glyphs give: letters `adv`, spaces adv / 2, in font units per 1000.
  expectedWidth: (sample, adv) => {
    const size = parseFloat(getComputedStyle(sample).fontSize);
    const text = sample.textContent;
    const letters = (text.match(/[A-Za-z]/g) || []).length;
    const spaces = (text.match(/ /g) || []).length;
    return size * (letters * adv + spaces * adv / 2) / 1000;
  },
  fallbackWidth: (sample) => {
    const copy = sample.cloneNode(true);
    copy.style.fontFamily = '';
    copy.style.fontVariationSettings = '';
    sample.after(copy);
    const width = window.__t.textWidth(copy);
    copy.remove();
    return width;
  },
  loadedFace: (postScript) => window.__t.until(() => {
    const card = window.__t.face(postScript);
    return card && (card.dataset.state === 'loaded' || card.dataset.state === 'error') &&
        card.dataset.state;
  }),
};
""" % UNTIL


class PreviewPage(Page):
    """A tab on web/preview.html with the test helpers installed."""

    def __init__(self, browser, url):
        super().__init__(browser, url, prelude=HELPERS)

    def wait_catalogue(self):
        return self.js("__t.until(() => ['ready', 'error'].includes(document.body.dataset.state)"
                       " && document.body.dataset.state)")


class World:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="vorn-browser-")
        self.agent = None
        self.browser = None
        self.origin = None
        try:
            self.agent = Agent(ARGS.agent, self.root)
            # Chromium is started before the server thread exists: preexec_fn is only safe
            # in a single-threaded parent.
            self.browser = Browser(ARGS.chromium, self.root)
            self.browser.call("Target.getTargets")
            self.origin = StaticOrigin()
        except BaseException:
            self.stop()
            raise

    def page_url(self, agent_url):
        return self.origin.url + "preview.html?agent=" + urllib.parse.quote(agent_url, safe="")

    def open(self, agent_url=None):
        return PreviewPage(self.browser, self.page_url(agent_url or self.agent.url))

    def stop(self, show_logs=False):
        if self.browser:
            self.browser.close()
        if self.origin:
            self.origin.stop()
        if self.agent:
            self.agent.stop()
        if show_logs:
            for name in ("agent.log", "chromium.log"):
                path = os.path.join(self.root, name)
                if os.path.exists(path):
                    # Chromium's complaints about the missing D-Bus are noise here.
                    with open(path, errors="replace") as f:
                        lines = [line for line in f if "dbus" not in line]
                    print("--- last lines of %s ---\n%s" % (name, "".join(lines[-40:])))
        shutil.rmtree(self.root, ignore_errors=True)


class PageTest(unittest.TestCase):
    agent_url = None

    def setUp(self):
        self.page = WORLD.open(self.agent_url)
        self.addCleanup(self.page.close)

    def show(self, postScript):
        """Scrolls a face into view and returns the state it ends in."""
        self.page.js("__t.face(%s).scrollIntoView({block: 'center'})" % json.dumps(postScript))
        return self.page.js("__t.loadedFace(%s)" % json.dumps(postScript))

    def sample_width(self, postScript):
        return self.page.js("__t.textWidth(__t.face(%s).querySelector('.sample'))"
                            % json.dumps(postScript))

    def expected_width(self, postScript, adv):
        return self.page.js("__t.expectedWidth(__t.face(%s).querySelector('.sample'), %d)"
                            % (json.dumps(postScript), adv))

    def fetches(self, fixture):
        """How often the page asked the agent for this fixture's bytes."""
        url = WORLD.agent.url + "?file=" + urllib.parse.quote(
            os.path.join(WORLD.agent.fonts, fixture), safe="")
        return self.page.js("performance.getEntriesByType('resource')"
                            ".filter((e) => e.name === %s).length" % json.dumps(url))

    def assertDrawnWithAdvance(self, postScript, adv):
        self.assertAlmostEqual(self.sample_width(postScript),
                               self.expected_width(postScript, adv), delta=1.0,
                               msg="%s not drawn with advance %d" % (postScript, adv))


# --- Catalogue ----------------------------------------------------------------------------------


class CatalogueAcrossOrigins(PageTest):
    def test_page_and_agent_are_different_origins(self):
        self.assertNotEqual(self.page.js("location.origin"),
                            WORLD.agent.url.rstrip("/"))

    def test_every_family_the_agent_lists_is_shown_with_counts(self):
        self.assertEqual(self.page.wait_catalogue(), "ready",
                         self.page.js("document.getElementById('status').textContent"))
        catalogue = WORLD.agent.catalogue()
        shown = self.page.js("[...document.querySelectorAll('.family')]"
                             ".map((s) => s.dataset.family)")
        self.assertEqual(sorted(shown), sorted(f["family"] for f in catalogue))
        for family in FIXTURE_FAMILIES:
            self.assertIn(family, shown)
        faces = sum(len(f["childList"]) for f in catalogue)
        self.assertEqual(self.page.js("document.getElementById('counts').textContent"),
                         "%d families, %d faces" % (len(catalogue), faces))
        self.assertEqual(self.page.js("document.querySelectorAll('.face').length"), faces)

    def test_face_shows_its_names_and_traits(self):
        self.page.wait_catalogue()
        meta = self.page.js("__t.face('ExampleSans-Bold').querySelector('.face-meta')"
                            ".textContent")
        for part in ("ExampleSans-Bold", "weight Bold", "width Normal", "slant Normal"):
            self.assertIn(part, meta)
        self.assertEqual(
            self.page.js("__t.face('ExampleSans-Bold').querySelector('.file').textContent"),
            os.path.join(WORLD.agent.fonts, "static/ExampleSans-Bold.ttf"))

    def test_search_narrows_families_and_counts(self):
        self.page.wait_catalogue()
        self.page.js("{ const s = document.getElementById('search'); s.value = 'TRIO';"
                     "s.dispatchEvent(new Event('input')) }")
        visible = self.page.js("[...document.querySelectorAll('.family')]"
                               ".filter((s) => !s.hidden).map((s) => s.dataset.family)")
        self.assertEqual(visible, ["Example Trio"])
        self.assertTrue(self.page.js("document.getElementById('counts').textContent")
                        .startswith("Showing 1 of "))


class CatalogueFromDisk(unittest.TestCase):
    def test_page_opened_as_file_reaches_the_agent(self):
        url = ("file://" + os.path.join(os.path.abspath(ARGS.web), "preview.html") +
               "?agent=" + urllib.parse.quote(WORLD.agent.url, safe=""))
        page = PreviewPage(WORLD.browser, url)
        self.addCleanup(page.close)
        self.assertEqual(page.wait_catalogue(), "ready",
                         page.js("document.getElementById('status').textContent"))
        self.assertIsNotNone(page.js("__t.family('Example Sans') && 1"))
        self.assertEqual(self.show_state(page, "ExampleSans-Regular"), "loaded")

    def show_state(self, page, postScript):
        page.js("__t.face(%s).scrollIntoView()" % json.dumps(postScript))
        return page.js("__t.loadedFace(%s)" % json.dumps(postScript))


# --- Faces --------------------------------------------------------------------------------------


class FaceThroughFileRoute(PageTest):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.page.wait_catalogue(), "ready")

    def test_face_is_fetched_from_the_file_route_and_draws_the_fixture(self):
        self.assertEqual(self.show("ExampleSans-Bold"), "loaded",
                         self.page.js("__t.face('ExampleSans-Bold').textContent"))
        name = self.page.js("__t.face('ExampleSans-Bold').dataset.fontName")
        self.assertTrue(self.page.js("document.fonts.check(%s)" %
                                     json.dumps('16px "%s"' % name)))
        self.assertEqual(self.fetches("static/ExampleSans-Bold.ttf"), 1)
        # Bold's glyphs are 660 units wide; the machine's fallback font draws something else.
        self.assertDrawnWithAdvance("ExampleSans-Bold", 660)
        fallback = self.page.js("__t.fallbackWidth(__t.face('ExampleSans-Bold')"
                                ".querySelector('.sample'))")
        self.assertGreater(abs(self.sample_width("ExampleSans-Bold") - fallback), 5.0)

    def test_faces_below_the_fold_wait_until_scrolled_to(self):
        last = self.page.js("[...document.querySelectorAll('.face')].at(-1).dataset.postscript")
        self.assertEqual(self.page.js("__t.face(%s).dataset.state" % json.dumps(last)), "idle")
        self.assertEqual(self.show(last), "loaded")

    def test_collection_face_is_cut_out_by_its_postscript_name(self):
        # ExampleTrio.ttc holds Bold (660) first, then Regular and Italic (600).
        for postScript, adv, position in (("ExampleTrio-Regular", 600, "Face 2 of 3"),
                                          ("ExampleTrio-Bold", 660, "Face 1 of 3"),
                                          ("ExampleTrio-Italic", 600, "Face 3 of 3")):
            self.assertEqual(self.show(postScript), "loaded", postScript)
            self.assertDrawnWithAdvance(postScript, adv)
            self.assertIn(position, self.page.js(
                "__t.face(%s).querySelector('.face-note').textContent" %
                json.dumps(postScript)))
        self.assertEqual(self.fetches("collection/ExampleTrio.ttc"), 1)

    def test_collection_with_a_broken_later_face_still_shows_its_first(self):
        self.assertEqual(self.show("ExampleBrokenTail-Regular"), "loaded")
        self.assertDrawnWithAdvance("ExampleBrokenTail-Regular", 600)


# --- Variable families --------------------------------------------------------------------------


class VariableFamily(PageTest):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.page.wait_catalogue(), "ready")

    def axes(self, family):
        return self.page.js(
            "[...__t.family(%s).querySelectorAll('.axis input')].map((i) => "
            "[i.dataset.tag, Number(i.min), Number(i.value), Number(i.max)])" % json.dumps(family))

    def test_one_slider_per_axis_with_decoded_tag_and_range(self):
        self.assertEqual(self.axes("Example Var"), [["wght", 100, 400, 900]])
        self.assertEqual(self.axes("Example Slant"), [["slnt", -13, 0, 0], ["wdth", 50, 100, 100]])
        self.assertEqual(self.axes("Example Sans"), [])

    def test_named_instances_are_listed_with_coordinates(self):
        coords = self.page.js("[...__t.family('Example Var').querySelectorAll('.face')]"
                              ".map((c) => c.querySelector('.coords').textContent)")
        self.assertEqual(sorted(coords), ["wght 100", "wght 400", "wght 600", "wght 700"])

    def test_instances_draw_at_their_coordinates_and_sliders_move_the_family(self):
        # ExampleVarDeltas' advance is 600 + (wght - 400) / 5 units.
        for postScript in ("ExampleVarDeltas", "ExampleVarDeltas-Bold"):
            self.assertEqual(self.show(postScript), "loaded", postScript)
        self.assertDrawnWithAdvance("ExampleVarDeltas", 600)
        self.assertDrawnWithAdvance("ExampleVarDeltas-Bold", 660)
        self.assertEqual(self.fetches("variable/ExampleVarDeltas.ttf"), 1)

        def slide(value):
            self.page.js("{ const i = __t.family('Example Var Deltas').querySelector("
                         "'.axis input'); i.value = '%s'; i.dispatchEvent(new Event('input')) }"
                         % value)

        slide(900)
        self.assertDrawnWithAdvance("ExampleVarDeltas", 700)
        self.assertDrawnWithAdvance("ExampleVarDeltas-Bold", 700)
        slide(100)
        self.assertDrawnWithAdvance("ExampleVarDeltas", 540)
        self.assertDrawnWithAdvance("ExampleVarDeltas-Bold", 540)
        self.page.js("__t.family('Example Var Deltas').querySelector('.reset').click()")
        self.assertDrawnWithAdvance("ExampleVarDeltas", 600)
        self.assertDrawnWithAdvance("ExampleVarDeltas-Bold", 660)


class VariableFaceWithoutCoordinates(PageTest):
    @property
    def agent_url(self):
        return WORLD.origin.url + "fake/plainvariable/"

    def test_weight_name_picks_the_weight_axis(self):
        self.assertEqual(self.page.wait_catalogue(), "ready")
        for postScript, adv in (("PlainVar-Thin", 540), ("PlainVar-Normal", 600),
                                ("PlainVar-Black", 700)):
            self.assertEqual(self.show(postScript), "loaded", postScript)
            self.assertDrawnWithAdvance(postScript, adv)


# --- Failures and hostile data ------------------------------------------------------------------


class AgentNotRunning(PageTest):
    @property
    def agent_url(self):
        return "http://%s:%d/" % (LOOPBACK, free_port())

    def test_says_the_agent_cannot_be_reached(self):
        self.assertEqual(self.page.wait_catalogue(), "error")
        status = self.page.js("document.getElementById('status').textContent")
        self.assertIn("Cannot reach the agent", status)
        self.assertEqual(self.page.js("document.querySelectorAll('.family').length"), 0)


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
        self.assertEqual(self.page.js("document.querySelector('.family-name').textContent"),
                         family["family"])
        self.assertEqual(self.page.js("document.querySelector('.local-name').textContent"),
                         family["localName"])
        self.assertEqual(self.page.js(
            "document.querySelectorAll('#families img, #families script, #families b, "
            "#families i').length"), 0)
        self.assertIsNone(self.page.js("window.__injected"))

    def test_unusable_axis_tag_gets_no_slider(self):
        self.assertEqual(self.page.js(
            "[...__t.family('Quoted Axis').querySelectorAll('.axis input')]"
            ".map((i) => i.dataset.tag)"), ["wght"])

    def test_refused_file_and_unreadable_font_are_reported_on_the_face(self):
        self.assertEqual(self.page.js("__t.loadedFace('<b>Gone</b>')"), "error")
        self.assertIn("404", self.page.js("__t.face('<b>Gone</b>').textContent"))
        self.assertEqual(self.page.js("__t.loadedFace('NotAFont')"), "error")
        self.assertIn("rejected the font data",
                      self.page.js("__t.face('NotAFont').textContent"))


def main():
    global ARGS, WORLD
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--web", required=True)
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    ARGS, rest = parser.parse_known_args()
    if not os.access(ARGS.chromium, os.X_OK):
        print("SKIP: %s is not installed (Debian package: chromium); the browser test of "
              "web/preview.html did not run." % ARGS.chromium)
        return SKIP
    WORLD = World()
    passed = False
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
        passed = program.result.wasSuccessful()
    finally:
        WORLD.stop(show_logs=not passed)
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
