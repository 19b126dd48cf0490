#!/usr/bin/env bash
# Makes docs/preview.png (or the path given as $1): web/preview.html in headless Chromium,
# against an agent serving this machine's own fonts; $2, when given, is typed into the search
# box first. The agent and the static server listen on
# 127.0.0.1 only, and everything started here is stopped by its pid.
set -euo pipefail
source "$(dirname "$0")/common.sh"
vorn_install_packages "${VORN_PACKAGES[@]}" chromium
vorn_build "$VORN_ROOT/build"

out="${1:-$VORN_ROOT/docs/preview.png}"
mkdir -p "$(dirname "$out")"
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
import sys

sys.path.insert(0, sys.argv[1])
from devtools import UNTIL, Browser, Page  # noqa: E402

work, url, out = sys.argv[2:5]
browser = Browser("/usr/bin/chromium", work, window_size=(1280, 1600))
try:
    page = Page(browser, url)
    state = page.js("(%s)(() => ['ready', 'error'].includes(document.body.dataset.state) && "
                    "document.body.dataset.state)" % UNTIL)
    if state != "ready":
        sys.exit("the page did not get the catalogue: " +
                 page.js("document.getElementById('status').textContent"))
    # Faces load as they come into view; wait until each one in the window is drawn or failed.
    page.js("(%s)(() => [...document.querySelectorAll('.face')].filter((c) => {"
            "  const r = c.getBoundingClientRect(); return r.bottom > 0 && r.top < innerHeight;"
            "}).every((c) => ['loaded', 'error'].includes(c.dataset.state)))" % UNTIL)
    page.js("document.fonts.ready.then(() => new Promise((done) => "
            "requestAnimationFrame(() => requestAnimationFrame(() => done(true)))))")
    shot = page.call("Page.captureScreenshot", {"format": "png"})
    with open(out, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    print("wrote", out)
finally:
    browser.close()
EOF
