#!/usr/bin/python3
"""Web-ready faces and live changes in a real headless Chromium, against the real agent.

Usage: webface_test.py --agent BINARY --fixtures DIR [--chromium PATH]

The agent runs under a private fontconfig holding copies of a few fixtures; the page comes
from a second loopback origin, so every font and every event crosses origins. Faces cut
from collections and subsets must pass Chromium's font sanitizer and draw with the fixture
glyphs' own advances, kerning and ligatures; a variable subset must still vary. An
EventSource must see the catalogue change when a font is copied in.

Exits 77 (CTest's skip code for this test) when Chromium is not installed.
"""

import http.server
import json
import os
import shutil
import sys
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import vorn_harness  # noqa: E402
from devtools import Browser, Page  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fonts"))
from make_fixtures import web_advance  # noqa: E402  (the glyphs' advances, in font units)

COPIED = ["collection/ExampleTrio.ttc", "webface/ExampleWebTrio.ttc",
          "webface/ExampleLigatures.otf", "variable/ExampleVarDeltas.ttf"]
# Bounds on waits in the page, in milliseconds; the conditions end them far sooner.
EVENT_WAIT_MS = 10000
ARGS = WORLD = None

PAGE = b"""<!DOCTYPE html><meta charset="utf-8"><body><script>
window.events = [];
window.loadFace = async (name, url) => {
  const face = new FontFace(name, 'url(' + url + ')');
  await face.load();
  document.fonts.add(face);
};
// Width of TEXT drawn at 1000px in the family NAME: one pixel per font unit.
window.width = (name, text, settings) => {
  const span = document.createElement('span');
  span.style.cssText = 'font: 1000px "' + name + '"; font-kerning: normal; white-space: pre;' +
                       'font-variation-settings: ' + (settings || 'normal');
  span.textContent = text;
  document.body.append(span);
  const width = span.getBoundingClientRect().width;
  span.remove();
  return width;
};
window.openEvents = (agent) => {
  const source = new EventSource(agent + '?events=1');
  source.addEventListener('catalogue', (e) => window.events.push(JSON.parse(e.data)));
};
window.eventCount = (n, ms) => new Promise((resolve) => {
  const end = Date.now() + ms;
  const poll = () => (events.length >= n || Date.now() > end) ? resolve(events.length)
                                                              : setTimeout(poll, 20);
  poll();
});
</script>"""


class World:
    def __init__(self):
        self.files = vorn_harness.FontWorld(prefix="vorn-webface-")
        self.root, self.fonts = self.files.root, self.files.fonts
        self.agent = self.browser = self.origin = None
        for name in COPIED:
            self.files.install(os.path.join(ARGS.fixtures, name), name)
        self.log = open(os.path.join(self.root, "agent.log"), "wb")
        try:
            self.agent = vorn_harness.Agent(ARGS.agent, self.files.conf, log=self.log)
            self.url = self.agent.url
            # Chromium first: its pipe is wired in preexec_fn, safe only without threads.
            self.browser = Browser(ARGS.chromium, self.root)
            handler = type("Handler", (http.server.BaseHTTPRequestHandler,), {
                "do_GET": lambda h: (h.send_response(200), h.send_header(
                    "Content-Type", "text/html"), h.end_headers(), h.wfile.write(PAGE)),
                "log_message": lambda *a: None})
            self.origin = vorn_harness.StaticOrigin(handler=handler)
        except BaseException:
            self.stop()
            raise

    def open(self):
        return Page(self.browser, self.origin.url)

    def file_url(self, name, query):
        return self.url + "?file=" + urllib.parse.quote(os.path.join(self.fonts, name), safe="") \
            + query

    def stop(self):
        if self.browser:
            self.browser.close()
        if self.origin:
            self.origin.close()
        if self.agent:
            self.agent.stop()
        self.log.close()
        self.files.close()


def common(text, adv):
    """Width of TEXT in the common fixture glyphs: letters ADV, spaces ADV / 2."""
    return sum(adv // 2 if c == " " else adv for c in text)


def web(*glyphs, kern=0):
    return sum(web_advance(g) for g in glyphs) + kern


class WebFacesDraw(unittest.TestCase):
    # (file, query, sample, expected width in font units)
    CASES = [
        # Italic, 600 units; face 0 (Bold) would draw at 660.
        ("collection/ExampleTrio.ttc", "&face=2", "Aa Zz", common("Aa Zz", 600)),
        ("webface/ExampleWebTrio.ttc", "&face=2", "Bold", common("Bold", 660)),
        # A TrueType subset of the layout face: the ligature and the kerning pair survive.
        ("webface/ExampleWebTrio.ttc", "&face=0&text=" + urllib.parse.quote("fi AV"), "fi AV",
         web("f_i", "space", "A", "V", kern=-80)),
        ("webface/ExampleLigatures.otf", "&text=" + urllib.parse.quote("To fi"), "To fi",
         web("T", "o", "space", "f_i", kern=-60)),
    ]

    def test_cut_faces_and_subsets_load_and_draw_their_own_glyphs(self):
        page = WORLD.open()
        self.addCleanup(page.close)
        for i, (name, query, sample, expected) in enumerate(self.CASES):
            with self.subTest(name=name, query=query):
                page.js("loadFace('case%d', %s)" % (i, json.dumps(WORLD.file_url(name, query))))
                self.assertAlmostEqual(page.js("width('case%d', %s)" % (i, json.dumps(sample))),
                                       expected, delta=2)

    def test_variable_subset_still_varies(self):
        page = WORLD.open()
        self.addCleanup(page.close)
        page.js("loadFace('var', %s)" % json.dumps(
            WORLD.file_url("variable/ExampleVarDeltas.ttf", "&text=Aa")))
        widths = {w: page.js("width('var', 'Aa', '\"wght\" %d')" % w) for w in (100, 900)}
        # adv = 600 + (wght - 400) / 5: 540 at 100, 700 at 900.
        self.assertAlmostEqual(widths[100], 2 * 540, delta=2)
        self.assertAlmostEqual(widths[900], 2 * 700, delta=2)


class LiveChanges(unittest.TestCase):
    def test_event_stream_across_origins_sees_a_font_copied_in(self):
        page = WORLD.open()
        self.addCleanup(page.close)
        page.js("openEvents(%s)" % json.dumps(WORLD.url))
        self.assertEqual(page.js("eventCount(1, %d)" % EVENT_WAIT_MS), 1)
        with urllib.request.urlopen(WORLD.url, timeout=30) as reply:
            catalogue = json.load(reply)
        first = page.js("events[0]")
        self.assertEqual(first["families"], len(catalogue))
        self.assertEqual(first["faces"], sum(len(f["childList"]) for f in catalogue))
        shutil.copy(os.path.join(ARGS.fixtures, "static/ExampleSans-Regular.ttf"), WORLD.fonts)
        self.assertEqual(page.js("eventCount(2, %d)" % EVENT_WAIT_MS), 2)
        second = page.js("events[1]")
        self.assertEqual((second["families"], second["faces"]),
                         (first["families"] + 1, first["faces"] + 1))
        self.assertNotEqual(second["validator"], first["validator"])


def main():
    return vorn_harness.run_browser_tests(
        sys.modules[__name__], World, "chromium", "chromium",
        "the web-face test in a browser", web=False)


if __name__ == "__main__":
    sys.exit(main())
