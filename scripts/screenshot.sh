#!/usr/bin/env bash
# Makes the picker's screenshots in docs/ (or the folder given as $1) from web/preview.html in
# headless Chromium, against an agent serving this machine's own fonts, and checks what they
# show on the way:
#   picker-list.png   the family list (first screen drawn: every name on it loaded or refused)
#   picker-panel.png  the face panel of the face with the most axes, every axis with a slider
#   picker-dark.png   the same at 390 px wide in the dark scheme, with no sideways overflow
# $2, when given, is typed into the search box for the list. The agent and the static server
# listen on 127.0.0.1 only, and everything started here is stopped by its pid.
set -euo pipefail
source "$(dirname "$0")/common.sh"
vorn_install_packages "${VORN_PACKAGES[@]}" chromium
vorn_build "$VORN_ROOT/build"

out="${1:-$VORN_ROOT/docs}"
mkdir -p "$out"
work="$(mktemp -d)"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_listening() {
    local attempt
    for attempt in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "nothing listens on 127.0.0.1:$1" >&2
    return 1
}

agent_port="$(free_port)"
# The machine's real fonts: no private fontconfig.
env -u FONTCONFIG_FILE -u FONTCONFIG_PATH \
    "$VORN_ROOT/build/vorn-font-agent" -l 127.0.0.1 -p "$agent_port" >"$work/agent.log" 2>&1 &
pids+=("$!")
web_port="$(free_port)"
/usr/bin/python3 -m http.server --bind 127.0.0.1 --directory "$VORN_ROOT/web" "$web_port" \
    >"$work/web.log" 2>&1 &
pids+=("$!")
wait_listening "$agent_port"
wait_listening "$web_port"

search="$(/usr/bin/python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "${2:-}")"
url="http://127.0.0.1:$web_port/preview.html?agent=http%3A%2F%2F127.0.0.1%3A$agent_port%2F&search=$search"
/usr/bin/python3 - "$VORN_ROOT/tests/browser" "$work" "$url" "$out" <<'EOF'
import base64
import json
import os
import sys

sys.path.insert(0, sys.argv[1])
from devtools import UNTIL, Browser, Page  # noqa: E402

work, url, out = sys.argv[2:5]
browser = Browser("/usr/bin/chromium", work, window_size=(1280, 860))


def shot(page, name):
    until(page, "document.body.dataset.pending === '0' && "
                "document.getElementById('panel').dataset.state !== 'loading'")
    page.js("document.fonts.ready.then(() => new Promise((done) => "
            "requestAnimationFrame(() => requestAnimationFrame(() => done(true)))))")
    data = page.call("Page.captureScreenshot", {"format": "png"})["data"]
    with open(os.path.join(out, name), "wb") as f:
        f.write(base64.b64decode(data))
    print("wrote", os.path.join(out, name))


def until(page, predicate):
    return page.js("(%s)(() => %s)" % (UNTIL, predicate))


def fail(page, what):
    sys.exit(what + ": " + page.js("document.getElementById('status').textContent"))


# The regular face of the family with the most axes; opened through search, as a reader
# would.
PICK = """(() => {
  const axes = (family) => Math.max(0, ...family.faces.map((f) => (f.variations || []).length));
  const families = vornPicker.state.model.filter((family) => family.regular);
  families.sort((a, b) => axes(b) - axes(a));
  const [family] = families;
  return family ? [family.name, family.faces.indexOf(family.regular)] : null;
})()"""

OPEN = """(async ([family, face], until) => {
  const search = document.getElementById('search');
  search.value = family;
  search.dispatchEvent(new Event('input'));
  await new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)));
  [...document.querySelectorAll('.row.family')].find((r) => r.dataset.family === family).click();
  const list = document.getElementById('families');
  await until(() => document.querySelector(".row.face"));
  // Scrolled until the face's row exists; the list draws only the rows on screen.
  for (let i = 0; i < 200 && !list.querySelector(`.row.face[data-face="${face}"]`); i++) {
    list.scrollTop += list.clientHeight / 2;
    await new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)));
  }
  list.querySelector(`.row.face[data-face="${face}"]`).click();
})(%s, %s)"""

try:
    page = Page(browser, url)
    if until(page, "['ready', 'error'].includes(document.body.dataset.state) && "
                   "document.body.dataset.state") != "ready":
        fail(page, "the page did not get the catalogue")
    until(page, "document.body.dataset.firstScreen === 'drawn'")
    drawn = page.js("[...document.querySelectorAll('.row.family')].filter((r) => "
                    "r.dataset.state === 'ready').length")
    if not drawn:
        fail(page, "no family name on the first screen was drawn in its own face")
    shot(page, "picker-list.png")

    family, face = page.js(PICK)
    page.js(OPEN % (json.dumps([family, face]), UNTIL))
    postScript = page.js("vornPicker.panel.face.postScript")
    if until(page, "['loaded', 'error'].includes(document.getElementById('panel').dataset"
                   ".state) && document.getElementById('panel').dataset.state") != "loaded":
        fail(page, "the face panel could not draw " + postScript)
    axes = page.js("document.querySelectorAll('#panel-axes .axis').length")
    print("face panel: %s with %d axes" % (postScript, axes))
    if page.js("vornPicker.panel.face.variations?.length || 0") > axes:
        fail(page, "the face panel shows fewer axes than %s has" % postScript)
    # The sample, the instances and the axes in view.
    page.js("document.getElementById('panel-preview').scrollIntoView({block: 'start'})")
    shot(page, "picker-panel.png")

    page.call("Emulation.setDeviceMetricsOverride",
              {"width": 390, "height": 844, "deviceScaleFactor": 2, "mobile": True})
    page.call("Emulation.setEmulatedMedia",
              {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    if page.js("document.scrollingElement.scrollWidth > innerWidth || "
               "document.getElementById('panel').scrollWidth > innerWidth"):
        fail(page, "the page is wider than 390 px")
    shot(page, "picker-dark.png")
finally:
    browser.close()
EOF
