#!/usr/bin/python3
"""web/preview.html (the font picker) in headless Firefox ESR, against the real agent.

Usage: firefox_test.py --agent BINARY --fixtures DIR --web DIR [--firefox PATH]

As in preview_test.py: the agent serves a copy of the fixture fonts under a private fontconfig,
web/ is served from a second loopback origin, and the browser keeps the machine's own fonts,
so a fixture face reaches it only through the agent. Firefox is driven over WebDriver BiDi
(firefox.py, standard library only).

Exits 77 (CTest's skip code for this test) when Firefox is not installed.
"""

import os
import shutil
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import vorn_harness  # noqa: E402
from devtools import UNTIL  # noqa: E402
from firefox import Firefox, Page  # noqa: E402

ARGS = None
WORLD = None

HELPERS = """window.__t = {
  until: %s,
  frames: () => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))),
  // How far apart the advances of the node's characters lie, each drawn alone in the node's
  // style, or in `family` instead.
  spread: (node, family) => {
    const widths = [...new Set(node.textContent.replace(/\\s/g, ''))].map((c) => {
      const copy = node.cloneNode(false);
      if (family) copy.style.fontFamily = family;
      copy.textContent = c;
      node.after(copy);
      const range = document.createRange();
      range.selectNodeContents(copy);
      const width = range.getBoundingClientRect().width;
      copy.remove();
      return width;
    });
    return Math.max(...widths) - Math.min(...widths);
  },
}""" % UNTIL

# For each family row inside the list's viewport: the face the picker set on the node that
# draws in it (the name, or a snippet when the face cannot draw its name), what the style
# system computed for that node, and how the page's font set holds that face.
VISIBLE_ROWS = """(() => {
  const list = document.getElementById('families').getBoundingClientRect();
  const firstName = (value) => value.split(',')[0].trim().replace(/^["']|["']$/g, '');
  return [...document.querySelectorAll('.row.family')].filter((row) => {
    const box = row.getBoundingClientRect();
    return box.bottom > list.top && box.top < list.bottom;
  }).map((row) => {
    const node = [...row.querySelectorAll('.family-name, .snippet')]
      .find((n) => n.style.fontFamily);
    const face = node ? firstName(node.style.fontFamily) : null;
    return {
      family: row.dataset.family, state: row.dataset.state, face,
      computed: node ? firstName(getComputedStyle(node).fontFamily) : null,
      statuses: [...document.fonts].filter((f) => firstName(f.family) === face)
        .map((f) => f.status),
      usable: face ? document.fonts.check('16px "' + face + '"', node.textContent) : false,
      spread: node ? __t.spread(node) : -1,
      fallbackSpread: node ? __t.spread(node, 'serif') : -1,
      note: row.title, text: node ? node.textContent : '',
    };
  });
})()"""

# Its format 13 cmap is refused by the font sanitiser Firefox and Chromium share.
REJECTED = "Example Cjk"


class World:
    def __init__(self):
        self.files = vorn_harness.FontWorld(prefix="vorn-firefox-")
        self.root = self.files.root
        self.agent = self.origin = self.firefox = None
        try:
            # The web-face fixtures hold more "Trio" families than the picker tests expect, and
            # they and the layout-feature fonts built like them have letters of unequal widths.
            shutil.copytree(ARGS.fixtures, self.files.fonts,
                            ignore=shutil.ignore_patterns("webface", "ExampleFeatures*"),
                            dirs_exist_ok=True)
            self.agent_log = open(os.path.join(self.root, "agent.log"), "wb")
            self.agent = vorn_harness.Agent(ARGS.agent, self.files.conf, log=self.agent_log)
            self.origin = vorn_harness.StaticOrigin(ARGS.web)
            # Firefox takes the page's origin for a public site, so its local-network rules
            # apply to every request the page makes to the agent, as on a real site.
            self.public = {"network.lna.address_space.public.override":
                           "%s:%d" % (vorn_harness.LOOPBACK, self.origin.port)}
            self.firefox = Firefox(ARGS.firefox, self.root, self.public)
        except BaseException:
            self.stop()
            raise

    def open(self, firefox=None):
        url = (self.origin.url + "preview.html?agent=" +
               urllib.parse.quote(self.agent.url, safe=""))
        return Page(firefox or self.firefox, url, prelude=HELPERS)

    def stop(self):
        if self.firefox:
            self.firefox.close()
        if self.origin:
            self.origin.close()
        if self.agent:
            self.agent.stop()
            self.agent_log.close()
        self.files.close()


class FirstScreen(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.page = WORLD.open()
        cls.addClassCleanup(cls.page.close)
        cls.outcome = cls.page.js(
            "__t.until(() => (document.body.dataset.state === 'error' || "
            "document.body.dataset.firstScreen === 'drawn') && document.body.dataset.state)"
            ".then((s) => __t.frames().then(() => s))")

    def status(self):
        return self.page.js("document.getElementById('status').textContent")

    def test_rows_on_screen_are_drawn_in_their_families_own_faces(self):
        self.assertEqual(self.outcome, "ready", self.status())
        rows = self.page.js(VISIBLE_ROWS)
        drawn = 0
        for row in rows:
            if row["state"] == "empty":
                continue  # a family without a face the picker can stand for it
            with self.subTest(family=row["family"]):
                if row["family"] == REJECTED:
                    self.assertEqual(row["state"], "error", row)
                    self.assertIn("rejected the font data", row["note"])
                    continue
                self.assertEqual(row["state"], "ready", row)
                # The face the picker made for this family is what the style system uses,
                # and the page's font set holds it loaded.
                self.assertTrue(row["face"], row)
                self.assertEqual(row["computed"], row["face"], row)
                self.assertEqual(row["statuses"], ["loaded"], row)
                self.assertTrue(row["usable"], row)
                # And it is what draws: every letter of a fixture face is equally wide, unlike
                # those of the fallback.
                self.assertLess(row["spread"], 0.1, row)
                self.assertGreater(row["fallbackSpread"], 1, row)
                drawn += 1
        self.assertGreaterEqual(drawn, 5, rows)

    def test_details_and_the_event_stream_follow_the_first_screen(self):
        self.assertEqual(self.outcome, "ready", self.status())
        self.assertEqual(self.page.js(
            "__t.until(() => document.body.dataset.details !== 'pending' && "
            "['on', 'off'].includes(document.body.dataset.live) && "
            "[document.body.dataset.details, document.body.dataset.live])"), ["yes", "on"])


class LoopbackRefused(unittest.TestCase):
    def test_a_public_page_refused_loopback_says_what_to_allow(self):
        firefox = Firefox(ARGS.firefox, os.path.join(WORLD.root, "refused"),
                          dict(WORLD.public, **{"permissions.default.loopback-network": 2}))
        self.addCleanup(firefox.close)
        page = WORLD.open(firefox)
        self.assertEqual(page.js("__t.until(() => ['ready', 'error'].includes("
                                 "document.body.dataset.state) && document.body.dataset.state)"),
                         "error")
        self.assertIn("needs the browser's permission to reach local addresses",
                      page.js("document.getElementById('status').textContent"))


def main():
    return vorn_harness.run_browser_tests(
        sys.modules[__name__], World, "firefox", "firefox-esr",
        "the Firefox test of web/preview.html")


if __name__ == "__main__":
    sys.exit(main())
