#!/usr/bin/python3
"""Socket-level clients for bench/load.py (bench/load.sh), standard library only, loopback only.

Each subcommand prints its figures as rows of text and exits 0 (pass), 1 (fail) or 2 (could not
run). Every wait is bounded by a socket time-out and by an overall deadline.
"""

import argparse
import errno
import http.client
import json
import os
import selectors
import socket
import statistics
import sys
import threading
import time
import urllib.parse

HOST = "127.0.0.1"


def row(label, value):
    print("  %-44s %s" % (label, value), flush=True)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for pid %d" % pid)


def file_target(path):
    return "/?file=" + urllib.parse.quote(path, safe="/")


def get(port, target, timeout):
    """One request on a new connection: (status, body bytes, seconds)."""
    t0 = time.monotonic()
    conn = http.client.HTTPConnection(HOST, port, timeout=timeout)
    try:
        conn.request("GET", target)
        reply = conn.getresponse()
        body = reply.read()
        return reply.status, len(body), time.monotonic() - t0
    finally:
        conn.close()


# --- Font files for the file route ------------------------------------------------------------

def cmd_files(args):
    """Picks from the catalogue the listed file nearest to 100 KB, and MIX files of up to 1 MiB
    spread over the size range, for the rotating load."""
    doc = json.load(open(args.catalogue, encoding="utf-8"))
    files = sorted({c["file"] for f in doc for c in f.get("childList", [])})
    sizes = sorted((os.path.getsize(p), p) for p in files if os.path.isfile(p))
    small = min(sizes, key=lambda s: (abs(s[0] - 100 * 1024), s[1]))
    pool = [s for s in sizes if 10 * 1024 <= s[0] <= 1024 * 1024]
    if len(pool) < args.mix:
        print("only %d listed files between 10 KiB and 1 MiB" % len(pool), file=sys.stderr)
        return 2
    step = len(pool) / args.mix
    mix = [pool[int(i * step + step / 2)] for i in range(args.mix)]
    with open(args.small_out, "w") as f:
        f.write("%d %s\n" % small)
    with open(args.mix_out, "w") as f:
        for _, p in mix:
            f.write(file_target(p) + "\n")
    print(len(files), min(s for s, _ in mix), max(s for s, _ in mix))
    return 0


# --- Catalogue, repeated ----------------------------------------------------------------------

def cmd_soak(args):
    deadline = time.monotonic() + args.max_seconds
    times = []
    sizes = set()
    rss_early = None
    for i in range(1, args.count + 1):
        if time.monotonic() > deadline:
            row("stopped at the time limit", "%d s after %d requests" % (args.max_seconds, i - 1))
            return 2
        try:
            status, size, secs = get(args.port, "/", args.timeout)
        except OSError as e:
            row("request %d failed" % i, repr(e))
            return 1
        if status != 200:
            row("request %d answered" % i, status)
            return 1
        times.append(secs)
        sizes.add(size)
        if i == args.early:
            rss_early = rss_kib(args.pid)
    rss_end = rss_kib(args.pid)
    growth = rss_end - rss_early
    row("requests, all 200", "%d (%d distinct body size%s: %s bytes)" % (
        len(times), len(sizes), "" if len(sizes) == 1 else "s", ", ".join(map(str, sorted(sizes)))))
    row("time per request: median / p99 / max", "%.1f / %.1f / %.1f ms" % (
        statistics.median(times) * 1e3, sorted(times)[int(len(times) * 0.99) - 1] * 1e3,
        max(times) * 1e3))
    row("VmRSS after %d / after %d" % (args.early, args.count),
        "%.2f / %.2f MiB (growth %+d KiB, limit < 1024 KiB)" % (rss_early / 1024, rss_end / 1024, growth))
    return 0 if growth < 1024 and len(sizes) == 1 else 1


# --- Slow clients -----------------------------------------------------------------------------

def wait_closed(sock, deadline):
    """Waits until the agent closes SOCK or DEADLINE passes: (how, bytes received)."""
    got = b""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return "still open", got
        sock.settimeout(left)
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            return "still open", got
        except ConnectionResetError:
            return "reset", got
        if not chunk:
            return "closed", got
        got += chunk


def is_open_now(sock):
    """True when the agent has neither closed SOCK nor written to it yet."""
    sock.setblocking(False)
    try:
        sock.recv(1, socket.MSG_PEEK)  # end of stream or a reply: either way no longer held
        return False
    except BlockingIOError:
        return True
    except OSError:
        return False
    finally:
        sock.setblocking(True)


def cmd_slow(args):
    small = file_target(args.file)
    # The one asked for: headers begun but never finished; and one that connects and says nothing.
    half = socket.create_connection((HOST, args.port), timeout=5)
    half.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n" % small).encode())
    half_t0 = time.monotonic()
    silent = socket.create_connection((HOST, args.port), timeout=5)
    silent_t0 = time.monotonic()

    results = [None] * args.clients

    def client(i):
        target = "/" if i % 2 == 0 else small
        try:
            status, _, secs = get(args.port, target, args.bound)
            results[i] = (status, secs, None)
        except OSError as e:
            results[i] = (None, None, repr(e))

    threads = [threading.Thread(target=client, args=(i,)) for i in range(args.clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(args.bound + 5)
    served_within = time.monotonic() - half_t0
    ok = [r for r in results if r and r[0] == 200 and r[1] <= args.bound]
    failed = [r for r in results if not (r and r[0] == 200 and r[1] <= args.bound)]
    lat = [r[1] for r in ok]
    still_open = is_open_now(half) and is_open_now(silent)
    row("other clients, catalogue and file in turn", "%d at once, %d answered 200 within %.0f s each"
        % (args.clients, len(ok), args.bound))
    if lat:
        row("  their latency: median / max", "%.1f / %.1f ms" % (statistics.median(lat) * 1e3, max(lat) * 1e3))
    for r in failed[:5]:
        row("  failed", "status %s, %s s, %s" % r if r else "no result")
    row("slow connections held meanwhile", "yes (%.2f s after the half request)" % served_within
        if still_open else "NO: closed before the other clients were done")

    deadline = half_t0 + args.max_wait
    how_half, got_half = wait_closed(half, deadline)
    half_s = time.monotonic() - half_t0
    how_silent, got_silent = wait_closed(silent, silent_t0 + args.max_wait)
    silent_s = time.monotonic() - silent_t0
    half.close()
    silent.close()

    def describe(how, got, secs):
        first = got.split(b"\r\n", 1)[0].decode("latin-1") if got else "nothing"
        when = "after %.2f s" % secs if how != "still open" else "for %d s" % args.max_wait
        return "%s %s (received: %s)" % (how, when, first)

    row("half request (%d s time-out) was" % args.timeout, describe(how_half, got_half, half_s))
    row("silent connection was", describe(how_silent, got_silent, silent_s))
    lo, hi = args.timeout - 0.5, args.max_wait
    closed_in_time = all(how != "still open" and lo <= s <= hi
                         for how, s in ((how_half, half_s), (how_silent, silent_s)))
    return 0 if not failed and still_open and closed_in_time else 1


# --- Many connections at once -----------------------------------------------------------------

class Conn:
    __slots__ = ("kind", "sock", "request", "sent", "head", "body", "length", "status", "outcome", "t0",
                 "t_conn")

    def __init__(self, kind, sock, request):
        self.kind, self.sock, self.request, self.sent = kind, sock, request, 0
        self.head, self.body, self.length, self.status, self.outcome = b"", 0, None, None, None
        self.t0, self.t_conn = time.monotonic(), None


def cmd_flood(args):
    small = file_target(args.file)
    expected = {"catalogue": args.catalogue_size, "file": os.path.getsize(args.file)}
    requests = [("catalogue", "/") if i % 2 == 0 else ("file", small) for i in range(args.count)]
    requests = [(kind, ("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % target).encode()) for kind, target in requests]
    sel = selectors.DefaultSelector()
    conns = []
    start = time.monotonic()
    for kind, req in requests:
        s = socket.socket()
        s.setblocking(False)
        c = Conn(kind, s, req)
        err = s.connect_ex((HOST, args.port))
        if err not in (0, errno.EINPROGRESS):
            c.outcome = "refused" if err == errno.ECONNREFUSED else "error:" + errno.errorcode.get(err, str(err))
            s.close()
        else:
            sel.register(s, selectors.EVENT_WRITE, c)
        conns.append(c)
    opened = time.monotonic() - start

    def finish(c, outcome):
        c.outcome = outcome
        sel.unregister(c.sock)
        c.sock.close()

    deadline = start + args.max_seconds
    open_count = sum(1 for c in conns if c.outcome is None)
    while open_count and time.monotonic() < deadline:
        for key, _ in sel.select(timeout=0.5):
            c = key.data
            try:
                if c.t_conn is None:
                    err = c.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                    if err:
                        finish(c, "refused" if err == errno.ECONNREFUSED else "reset" if err == errno.ECONNRESET
                               else "error:" + errno.errorcode.get(err, str(err)))
                        open_count -= 1
                        continue
                    c.t_conn = time.monotonic()
                if c.sent < len(c.request):
                    c.sent += c.sock.send(c.request[c.sent:])
                    if c.sent == len(c.request):
                        sel.modify(c.sock, selectors.EVENT_READ, c)
                    continue
                chunk = c.sock.recv(262144)
            except (ConnectionResetError, BrokenPipeError):
                # Before any reply this is a refusal; in the middle of one, a lost reply.
                finish(c, "reset" if c.status is None else "reset mid-reply")
                open_count -= 1
                continue
            except BlockingIOError:
                continue
            if not chunk:
                if c.status is None:
                    finish(c, "reset" if not c.head else "bad reply")
                elif c.length is not None and c.body == c.length:
                    # A 200 must carry the whole document or file, not just agree with itself.
                    wrong = c.status == 200 and c.body != expected[c.kind]
                    finish(c, "200 of %d bytes" % c.body if wrong else str(c.status))
                else:
                    finish(c, "truncated")
                open_count -= 1
                continue
            if c.status is None:
                c.head += chunk
                end = c.head.find(b"\r\n\r\n")
                if end < 0:
                    continue
                lines = c.head[:end].decode("latin-1").split("\r\n")
                try:
                    c.status = int(lines[0].split()[1])
                except (IndexError, ValueError):
                    c.status = -1
                for line in lines[1:]:
                    name, _, value = line.partition(":")
                    if name.strip().lower() == "content-length":
                        c.length = int(value.strip())
                c.body = len(c.head) - end - 4
                c.head = c.head[:end]
            else:
                c.body += len(chunk)
    for c in conns:
        if c.outcome is None:
            finish(c, "unfinished")
    took = time.monotonic() - start

    kinds = {}
    for c in conns:
        key = (c.kind, c.outcome)
        kinds[key] = kinds.get(key, 0) + 1
    connect_times = [c.t_conn - c.t0 for c in conns if c.t_conn is not None]
    row("connections (catalogue, small file in turn)", "%d opened in %.2f s, all done in %.2f s"
        % (args.count, opened, took))
    for kind in ("catalogue", "file"):
        row("  %s: outcomes" % kind, ", ".join("%s %d" % (k[1], n) for k, n in sorted(kinds.items()) if k[0] == kind))
    if connect_times:
        row("time to connect: median / max", "%.3f / %.3f s" % (statistics.median(connect_times), max(connect_times)))
    clean = {"200", "refused", "reset"}
    return 0 if {k[1] for k in kinds} <= clean else 1


# --- Oversized requests -----------------------------------------------------------------------

def probe(port, payload, timeout):
    """Sends PAYLOAD (as far as the agent takes it) and reads the reply: (what came back, status)."""
    s = socket.create_connection((HOST, port), timeout=timeout)
    sent, send_error = 0, None
    try:
        view = memoryview(payload)
        while sent < len(payload):
            sent += s.send(view[sent:sent + 65536])
    except (BrokenPipeError, ConnectionResetError) as e:
        send_error = e.__class__.__name__
    except socket.timeout:
        send_error = "send stalled"
    got, read_error = b"", None
    try:
        while len(got) < 65536:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
    except ConnectionResetError:
        read_error = "reset"
    except socket.timeout:
        read_error = "no reply within %d s" % timeout
    finally:
        s.close()
    line = got.split(b"\r\n", 1)[0].decode("latin-1")
    status = None
    if line.startswith("HTTP/"):
        try:
            status = int(line.split()[1])
        except (IndexError, ValueError):
            pass
    what = repr(line) if line else "no reply"
    what += ", then %s" % (read_error or "closed")
    what += "; sent %d of %d bytes%s" % (sent, len(payload), " (%s)" % send_error if send_error else "")
    return what, status, read_error


def cmd_oversized(args):
    big_uri = b"GET /?file=" + b"a" * (100 * 1024) + b" HTTP/1.1\r\nHost: x\r\n\r\n"
    many = b"".join(b"X-Filler-%04d: %s\r\n" % (i, b"v" * 24) for i in range(5000))
    many_headers = b"GET / HTTP/1.1\r\nHost: x\r\n" + many + b"\r\n"
    body = 2 * 1024 * 1024
    big_body = b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % body + b"z" * body
    chunked = (b"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
               + b"".join(b"10000\r\n" + b"z" * 0x10000 + b"\r\n" for _ in range(body // 0x10000)) + b"0\r\n\r\n")
    cases = [("URI of 100 KiB", big_uri), ("%d headers (%d KiB)" % (5000, len(many_headers) // 1024), many_headers),
             ("body of 2 MiB (Content-Length)", big_body), ("body of 2 MiB (chunked)", chunked)]
    ok = True
    for label, payload in cases:
        what, status, read_error = probe(args.port, payload, args.timeout)
        stalled = read_error is not None and read_error.startswith("no reply")
        refused = (400 <= status < 500) if status is not None else not stalled
        ok = ok and refused
        row(label, what)
    return 0 if ok else 1


# --- wrk's report -----------------------------------------------------------------------------

def cmd_wrk_report(args):
    """Reads wrk's output (with --latency): figures, and whether every reply was as expected."""
    import re
    text = open(args.output).read()
    m = re.search(r"(\d+) requests in ([\d.]+)(us|ms|s|m)", text)
    if not m:
        print("  could not run: wrk printed no summary: %r" % text[:300])
        return 2
    requests = int(m.group(1))
    scale = {"us": 1e-3, "ms": 1.0, "s": 1e3, "m": 6e4}
    pct = {p: float(v) * scale[u] for p, v, u in re.findall(r"^\s*(50|99)%\s+([\d.]+)(us|ms|s|m)\s*$", text, re.M)}
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
    errors = dict(re.findall(r"(connect|read|write|timeout) (\d+)", text))
    errors = {k: int(errors.get(k, 0)) for k in ("connect", "read", "write", "timeout")}
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    non2xx = int(m.group(1)) if m else 0
    row("requests", "%d (%.0f req/s)" % (requests, rps))
    row("latency p50 / p99", "%.2f / %.2f ms" % (pct.get("50", float("nan")), pct.get("99", float("nan"))))
    row("socket errors", ", ".join("%s %d" % kv for kv in errors.items()))
    row("non-2xx replies (wrk)", non2xx)
    ok = requests > 0 and sum(errors.values()) == 0
    if not args.mix:
        return 0 if ok and non2xx == 0 else 1
    m = re.search(r"^mix: (.*)$", text, re.M)
    if not m:
        print("  could not run: the Lua script printed no counts")
        return 2
    c = {k: int(v) for k, v in (kv.split("=") for kv in m.group(1).split())}
    row("listed files: 200 / anything else", "%d / %d" % (c["listed_200"], c["listed_other"]))
    row("%s: 404 / anything else" % args.unlisted, "%d / %d (%d sent; the rest were in flight at the end)"
        % (c["unlisted_404"], c["unlisted_other"], c["unlisted_sent"]))
    row("replies not told apart", c["unknown"])
    return 0 if (ok and c["listed_other"] == 0 and c["unlisted_other"] == 0 and c["unknown"] == 0
                 and c["unlisted_404"] > 0 and non2xx == c["unlisted_404"]) else 1


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    sub = ap.add_subparsers(dest="cmd", required=True)
    p = sub.add_parser("files")
    p.add_argument("catalogue")
    p.add_argument("small_out")
    p.add_argument("mix_out")
    p.add_argument("--mix", type=int, default=20)
    p = sub.add_parser("soak")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--early", type=int, default=10)
    p.add_argument("--timeout", type=float, default=30)
    p.add_argument("--max-seconds", type=int, default=600)
    p = sub.add_parser("slow")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--file", required=True)
    p.add_argument("--clients", type=int, default=50)
    p.add_argument("--bound", type=float, default=2.0)
    p.add_argument("--timeout", type=int, required=True, help="the agent's -t")
    p.add_argument("--max-wait", type=int, default=10)
    p = sub.add_parser("flood")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--file", required=True)
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--catalogue-size", type=int, required=True)
    p.add_argument("--max-seconds", type=int, default=60)
    p = sub.add_parser("oversized")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--timeout", type=int, default=10)
    p = sub.add_parser("wrk-report")
    p.add_argument("output")
    p.add_argument("--mix", action="store_true")
    p.add_argument("--unlisted", default="")
    args = ap.parse_args()
    try:
        return globals()["cmd_" + args.cmd.replace("-", "_")](args)
    except (OSError, ValueError, RuntimeError) as e:
        print("  could not run: %r" % e, flush=True)
        return 2


if __name__ == "__main__":
    sys.exit(main())
