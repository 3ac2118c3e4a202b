#!/usr/bin/env python3
"""`deckctl serve` under load, against decksim at 9600 baud, 25 fps:

- flood: a client posting 200 commands a second for 10 s; the deck's time-read rate against
  idle, and how soon a hang-up of the line darkens the deck's lamp meanwhile;
- sixteen decks in one server: each deck's time-read rate against a lone deck's, the
  server's CPU, its wake-ups a second per deck, and command arrival to the wire on every deck;
- late replies: decksim answers one reply in ten late; every time shown, marked or logged
  over 2,000 time reads must be one the deck reported in its trace.

Writes report.py's form: {"figures": [{section, name, unit, median, lo, hi, runs, target,
pass, note}]}.
"""
import argparse
import asyncio
import http.client
import json
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
import deckrig  # noqa: E402

SECTION = "deckctl serve under load, decksim at 9600 baud, 25 fps"
FPS = 25


class Deck:
    """One decksim with its trace read as it comes: (arrival, byte in, reply bytes).

    The arrival is decksim's own time of the byte on this process's clock, not the moment
    this process read the line, which a busy interpreter can put off by milliseconds.
    """

    def __init__(self, decksim, work, name):
        self.link = os.path.join(work, name)
        self.control_path = os.path.join(work, name + ".ctl")
        self.lines, self.lock = [], threading.Lock()
        self.offset = float("inf")  # least (read here - traced there): the pipe's own delay
        self.proc = subprocess.Popen(
            [decksim, "--link", self.link, "--trace", "--baud", "9600", "--fps", str(FPS),
             "--control", self.control_path], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
            bufsize=0)
        threading.Thread(target=self._read, daemon=True).start()
        wait(lambda: os.path.exists(self.link) and os.path.exists(self.control_path),
             "decksim's line")

    def _read(self):
        for raw in iter(self.proc.stdout.readline, b""):
            m = re.match(rb"([0-9.]+) in ([0-9A-F]{2}) out ([0-9A-F ]+|-) ", raw)
            if m:
                traced = float(m.group(1))
                with self.lock:
                    self.offset = min(self.offset, time.monotonic() - traced)
                    self.lines.append((traced, m.group(2).decode(),
                                       m.group(3).decode().split()))

    def control(self, line):
        s = socket.socket(socket.AF_UNIX)
        s.connect(self.control_path)
        s.sendall(line.encode() + b"\n")
        reply = s.recv(4096).decode()
        s.close()
        return reply

    def count(self, byte, since=0.0):
        with self.lock:
            return sum(1 for t, b, _ in self.lines if b == byte and t + self.offset >= since)

    def first_after(self, t0, byte, limit=1.0):
        end = time.monotonic() + limit
        while True:
            with self.lock:
                found = deckrig.first_after(self.lines, t0 - self.offset, byte)
                if found is not None:
                    return found + self.offset
            if time.monotonic() >= end:
                return None
            time.sleep(0.001)

    def reported_times(self):
        """Every time the deck sent, in frames: the eight digits of each reply to A0."""
        out = set()
        with self.lock:
            for _, b, reply in self.lines:
                if b == "A0" and len(reply) == 8:
                    d = [int(x, 16) & 0x0F for x in reply]
                    h, m, s, f = (d[0] * 10 + d[1], d[2] * 10 + d[3], d[4] * 10 + d[5],
                                  d[6] * 10 + d[7])
                    out.add(((h * 60 + m) * 60 + s) * FPS + f)
        return out


class Server:
    def __init__(self, deckctl, work, decks):
        out = os.path.join(work, "server.txt")
        env = dict(os.environ)
        cmd = deckctl + ["serve", "--listen", "127.0.0.1:0", "--log",
               os.path.join(work, "log.json")]
        for i, d in enumerate(decks, 1):
            cmd += ["--port", str(i)]
            env["TAPEDECK_COM%d" % i] = d.link
        with open(out, "w") as f:
            self.proc = subprocess.Popen(cmd, stdout=f, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL, env=env)
        url = re.compile(r"http://127\.0\.0\.1:(\d+)/(\?token=(\S+))?")
        m = wait(lambda: url.search(open(out).read()), "the server's URL")
        self.port = int(m.group(1))
        self.headers = {"Authorization": "Bearer " + m.group(3)} if m.group(3) else {}
        wait(lambda: all(d["answering"] for d in self.decks()), "the decks to answer", 30)

    def call(self, method, path, body=None, conn=None):
        c = conn or http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        h = dict(self.headers, **({"Content-Type": "application/json"} if body else {}))
        c.request(method, path, body=body, headers=h)
        r = c.getresponse()
        data = r.read()
        if conn is None:
            c.close()
        return r.status, data

    def decks(self):
        return json.loads(self.call("GET", "/api/decks")[1])["decks"]

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def wait(cond, what, limit=15.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            r = cond()
        except (OSError, ValueError, KeyError, http.client.HTTPException):
            r = None
        if r:
            return r
        time.sleep(0.05)
    raise SystemExit("panel_load_bench: timed out waiting for " + what)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wakeups(pid):
    """Context switches of all the process's threads: each is a wake-up or a preemption."""
    n = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                n += sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)
        except OSError:
            pass
    return n


def rate(deck, seconds):
    t0 = time.monotonic()
    time.sleep(seconds)
    return deck.count("A0", t0) / (time.monotonic() - t0)


def figure(name, unit, values, target, passed, note=""):
    return deckrig.figure(SECTION, name, unit, values, target, passed, note)


def percentile(values, q):
    """The q-th quantile of the values, or infinity when there are none."""
    values = sorted(values)
    return values[int(q * (len(values) - 1))] if values else float("inf")


def post_steadily(srv, per_second, stop, tally):
    """Posts `per_second` commands a second, each on a connection of its own, whatever the
    server answers and however late: a client that does not wait for its replies."""
    head = ("POST /api/decks/1/shuttle HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % srv.port +
            "".join("%s: %s\r\n" % kv for kv in srv.headers.items()) +
            "Content-Type: application/json\r\nConnection: close\r\n")

    async def one(k):
        body = '{"speed": %d}' % (k % 2 + 1)
        status = 0
        try:
            r, w = await asyncio.open_connection("127.0.0.1", srv.port)
            w.write(("%sContent-Length: %d\r\n\r\n%s" % (head, len(body), body)).encode())
            await w.drain()
            status = int((await r.readline()).split()[1])
            w.close()
        except (OSError, ValueError, IndexError):
            pass
        tally[status] = tally.get(status, 0) + 1

    async def run():
        loop, pending, k = asyncio.get_running_loop(), set(), 0
        at = loop.time()
        while not stop.is_set():
            at += 1.0 / per_second
            await asyncio.sleep(max(0.0, at - loop.time()))
            task = asyncio.ensure_future(one(k))
            pending.add(task)
            task.add_done_callback(pending.discard)
            k += 1
        for task in list(pending):
            task.cancel()
        await asyncio.gather(*pending, return_exceptions=True)

    asyncio.run(run())


def flood(a, work, quick):
    deck = Deck(a.decksim, work, "flood")
    srv = Server(a.deckctl, work, [deck])
    span = 2.0 if quick else 10.0
    try:
        srv.call("POST", "/api/decks/1/play", "{}")
        time.sleep(0.5)
        idle = rate(deck, span / 2)
        stop, tally = threading.Event(), {}
        poster = threading.Thread(target=post_steadily, args=(srv, 200, stop, tally))
        poster.start()
        t0 = time.monotonic()
        flooded = rate(deck, span)
        # The flood's commands wait for one deck only: the log keeps its pace meanwhile.
        logged, clip = [], '{"port": 1, "in": "00:00:10:00", "out": "00:00:20:00"}'
        for _ in range(10):
            t = time.monotonic()
            status, _ = srv.call("POST", "/api/log", clip)
            logged.append((time.monotonic() - t) * 1000.0 if status == 201 else float("inf"))
            time.sleep(0.05)
        # A hang-up in the flood: the lamp (answering) must go dark within a second.
        deck.control("fault hangup 3000")
        th = time.monotonic()
        wait(lambda: not srv.decks()[0]["answering"], "the lamp to go dark", 5)
        dark = time.monotonic() - th
        stop.set()
        poster.join()
        dt = time.monotonic() - t0
    finally:
        srv.stop()
        deck.proc.terminate()
    ratio = flooded / idle
    answers = ", ".join("%d %s" % (n, code or "no answer") for code, n in sorted(tally.items()))
    return [figure("200 commands a second: time-read rate / idle", "", [ratio], ">= 0.45",
                   ratio >= 0.45, "%.1f / %.1f a second; %.0f posted a second: %s"
                   % (flooded, idle, sum(tally.values()) / dt, answers)),
            figure("200 commands a second: a hang-up darkens the lamp", "s", [dark], "<= 1",
                   dark <= 1.0),
            figure("200 commands a second: a clip logged meanwhile (worst of 10)", "ms",
                   [max(logged)], "<= 500", max(logged) <= 500.0)]


def latencies(srv, deck, port, n, out):
    conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=30)
    for i in range(n):
        time.sleep(random.uniform(0.05, 0.15))
        byte, action, body = ("B5", "shuttle", '{"speed": 1}') if i % 2 else ("3A", "play", "{}")
        t0 = time.monotonic()
        srv.call("POST", "/api/decks/%d/%s" % (port, action), body, conn)
        t = deck.first_after(t0, byte)
        out.append(None if t is None else (t - t0) * 1000.0)


def sixteen(a, work, quick):
    span = 2.0 if quick else 10.0
    decks = [Deck(a.decksim, work, "deck%d" % i) for i in range(16)]
    try:
        lone = Server(a.deckctl, work, decks[:1])
        lone.call("POST", "/api/decks/1/play", "{}")
        time.sleep(0.5)
        alone = rate(decks[0], span)
        lone.stop()
        srv = Server(a.deckctl, work, decks)
        for i in range(1, 17):
            srv.call("POST", "/api/decks/%d/play" % i, "{}")
        time.sleep(1.0)
        t0, c0, w0 = time.monotonic(), cpu_seconds(srv.proc.pid), wakeups(srv.proc.pid)
        counts0 = [d.count("A0") for d in decks]
        time.sleep(span)
        dt = time.monotonic() - t0
        cpu = 100.0 * (cpu_seconds(srv.proc.pid) - c0) / dt
        woken = (wakeups(srv.proc.pid) - w0) / dt / 16
        rates = [(d.count("A0") - c) / dt for d, c in zip(decks, counts0)]
        lat = [[] for _ in decks]
        threads = [threading.Thread(target=latencies,
                                    args=(srv, d, i + 1, 6 if quick else 40, lat[i]))
                   for i, d in enumerate(decks)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        srv.stop()
    finally:
        for d in decks:
            d.proc.terminate()
    worst = min(rates) / alone
    # A command whose byte never showed in the trace is counted as lost; a deck that lost
    # every one has no p99 and fails the row.
    lost = sum(1 for l in lat for x in l if x is None)
    p99s = [percentile([x for x in l if x is not None], 0.99) for l in lat]
    return [figure("16 decks: each deck's time-read rate / a lone deck's (worst)", "",
                   [r / alone for r in rates], ">= 0.95", worst >= 0.95,
                   "worst %.1f, lone %.1f a second" % (min(rates), alone)),
            figure("16 decks: server CPU in all", "% of a core", [cpu], "<= 10", cpu <= 10.0,
                   "%.0f wake-ups a second per deck" % woken),
            figure("16 decks: command arrival to the wire, p99 (worst deck)", "ms",
                   [max(p99s)], "<= 20", max(p99s) <= 20.0 and lost == 0,
                   "median deck %.1f, %d lost" % (statistics.median(p99s), lost))]


def late(a, work, quick):
    deck = Deck(a.decksim, work, "late")
    srv = Server(a.deckctl, work, [deck])
    cycles = 200 if quick else 2000
    shown, marked, logged = set(), set(), set()
    stop = threading.Event()

    def watch():
        # Every state the server publishes, as the page sees it.
        s = socket.create_connection(("127.0.0.1", srv.port))
        auth = "".join("%s: %s\r\n" % kv for kv in srv.headers.items())
        s.sendall(("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s\r\n"
                   % (srv.port, auth)).encode())
        s.settimeout(0.5)
        buf = b""
        while not stop.is_set():
            try:
                buf += s.recv(65536)
            except socket.timeout:
                continue
            *events, buf = buf.split(b"\n\n")
            for e in events:
                m = re.search(rb"event: decks\ndata: (.*)", e)
                if m:
                    for d in json.loads(m.group(1))["decks"]:
                        if d["answering"]:
                            shown.add(d["frames"])
        s.close()

    watcher = threading.Thread(target=watch)
    try:
        srv.call("POST", "/api/decks/1/play", "{}")
        time.sleep(0.5)
        watcher.start()
        deck.control("fault late 60 10")
        start = deck.count("A0")
        # A server that loses the deck for good must not hold the benchmark up.
        give_up = time.monotonic() + (40 if quick else 300)
        while deck.count("A0") - start < cycles and time.monotonic() < give_up:
            time.sleep(0.3)
            st, data = srv.call("POST", "/api/decks/1/mark", '{"which": "in"}')
            d = srv.decks()[0]
            if st == 200 and json.loads(data).get("ok", True) and d["markIn"] is not None:
                marked.add(d["markIn"])
                st, data = srv.call("POST", "/api/log", json.dumps(
                    {"in": tc(d["markIn"])}))
                if st == 201:
                    logged.add(json.loads(data)["in"])
        reads = deck.count("A0") - start
        stop.set()
        watcher.join()
    finally:
        srv.stop()
        deck.proc.terminate()
    reported = deck.reported_times()
    wrong = (shown - reported) | (marked - reported) | {x for x in logged
                                                        if frames_of(x) not in reported}
    return [figure("1 reply in 10 late: times shown, marked or logged the deck never sent",
                   "", [len(wrong)], "0", not wrong and reads >= cycles,
                   "%d time reads, %d shown, %d marked, %d logged%s"
                   % (reads, len(shown), len(marked), len(logged),
                      (", e.g. " + ", ".join(map(str, sorted(wrong, key=str)[:3])))
                      if wrong else ""))]


def tc(frames):
    s, f = divmod(frames, FPS)
    return "%02d:%02d:%02d:%02d" % (s // 3600, s // 60 % 60, s % 60, f)


def frames_of(text):
    h, m, s, f = (int(x) for x in text.split(":"))
    return ((h * 60 + m) * 60 + s) * FPS + f


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--deckctl", required=True)
    ap.add_argument("--decksim", required=True)
    ap.add_argument("--json", required=True)
    ap.add_argument("--quick", action="store_true", help="one short pass, to show it runs")
    ap.add_argument("--only", default="flood,sixteen,late")
    ap.add_argument("--module", help="the plug-in module deckctl loads, to compare builds")
    a = ap.parse_args()
    a.deckctl = [a.deckctl] + (["--module", a.module] if a.module else [])
    work = tempfile.mkdtemp(prefix="panel-load-")
    figures = []
    try:
        for part in a.only.split(","):
            figures += {"flood": flood, "sixteen": sixteen, "late": late}[part](
                a, work, a.quick)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    deckrig.write_figures(a.json, figures, 66)
    return 0


if __name__ == "__main__":
    sys.exit(main())
