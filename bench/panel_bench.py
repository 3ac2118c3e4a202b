#!/usr/bin/env python3
"""`deckctl serve` against decksim at 9600 baud, 25 fps, playing:

- command latency: from a command's arrival at the server to its first byte on the wire (the
  client's send to decksim's trace line of the byte; loopback adds well under a millisecond),
  99th percentile over many commands sent at random points of the deck thread's cycle;
- the deck's poll rate (time reads a second, from the trace) with 100 connected stream clients
  against one client;
- the server's CPU while it idle-polls one stopped deck with no client;
- 1,000 hostile connections held at once (request lines that never end, chunked bodies that
  never end, one byte a second): the server's memory above idle, and the 99th percentile of a
  normal client's GET /api/decks beside them (measured in a process of its own);
- 1,100 strangers (more than the server's 1,024 connections) kept connected without the
  token, each asking for the page again every 20 s and reconnecting when closed: the 99th
  percentile of the token holder's GET /api/decks, each on a new connection.

Writes report.py's form: {"figures": [{section, name, unit, median, lo, hi, runs, target,
pass, note}]}.
"""
import argparse
import http.client
import json
import os
import random
import re
import resource
import selectors
import shutil
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

SECTION = "deckctl serve, decksim at 9600 baud, 25 fps"


class Rig:
    def __init__(self, deckctl, decksim):
        self.work = tempfile.mkdtemp(prefix="panel-bench-")
        self.link = os.path.join(self.work, "deck")
        self.unacknowledged = 0
        self.lost = 0
        self.procs = []
        try:
            # Its trace is read from a pipe: deck.inputs holds (arrival, byte) of every byte.
            self.decksim = deckrig.Decksim(decksim, link=self.link, trace=True, baud=9600,
                                           fps=25, limit=15.0)
            self.procs.append(self.decksim.proc)
            srv = deckrig.Server(deckctl, os.path.join(self.work, "server.txt"),
                                 os.path.join(self.work, "log.json"), links={1: self.link},
                                 limit=15.0)
        except AssertionError as e:
            self.close()
            raise SystemExit("panel_bench: %s" % e)
        self.server, self.port, self.token = srv.proc, srv.port, srv.token
        self.procs.append(self.server)
        self._wait(lambda: self.deck()["answering"], "the deck to answer")

    def _wait(self, cond, what, limit=15.0):
        return deckrig.wait(cond, what, limit, fail=lambda m: SystemExit("panel_bench: " + m),
                            tolerate=(OSError, ValueError, http.client.HTTPException))

    def conn(self):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=15)

    def post(self, conn, action, body="{}"):
        """True when the deck acknowledged; a late answer on a loaded machine only counts."""
        conn.request("POST", "/api/decks/1/" + action, body=body,
                     headers={"Content-Type": "application/json",
                              "Authorization": "Bearer " + self.token})
        r = conn.getresponse()
        data = r.read()
        if r.status not in (200, 409):  # 409: the deck refused it or did not answer
            raise SystemExit("panel_bench: %s failed: %s" % (action, data))
        return r.status == 200

    def deck(self):
        c = self.conn()
        c.request("GET", "/api/decks", headers={"Authorization": "Bearer " + self.token})
        d = json.loads(c.getresponse().read())["decks"][0]
        c.close()
        return d

    def count(self, byte):
        with self.decksim.lock:
            return sum(1 for _, b in self.decksim.inputs if b == byte)

    def first_after(self, t0, byte, limit=1.0):
        end = time.monotonic() + limit
        while True:
            with self.decksim.lock:
                found = deckrig.first_after(self.decksim.inputs, t0, byte)
            if found is not None or time.monotonic() >= end:
                return found
            time.sleep(0.001)

    def close(self):
        for p in reversed(self.procs):
            deckrig.stop(p)
        shutil.rmtree(self.work, ignore_errors=True)


def latency(rig, n):
    """Shuttle speed 1 and play in turn (first bytes B5 and 3A), each at a random moment."""
    conn = rig.conn()
    # The connection is made before the clock runs.
    conn.request("GET", "/api/decks", headers={"Authorization": "Bearer " + rig.token})
    conn.getresponse().read()
    samples = []
    for i in range(n):
        time.sleep(random.uniform(0.03, 0.08))
        byte, action, body = ("B5", "shuttle", '{"speed": 1}') if i % 2 else ("3A", "play", "{}")
        t0 = time.monotonic()
        if not rig.post(conn, action, body):
            rig.unacknowledged += 1
        t = rig.first_after(t0, byte)
        if t is None:
            # On a starved machine the deck's answers can come later than the plug-in's 50 ms;
            # two in a row and the server drops the link until the deck answers again.
            rig.lost += 1
            rig._wait(lambda: rig.deck()["answering"], "the deck to answer again")
            continue
        samples.append((t - t0) * 1000.0)
    conn.close()
    return samples


class Watchers:
    """Stream clients that read everything they are sent, all served by one thread so that
    the benchmark itself takes little of the machine."""

    def __init__(self, port, token, n):
        self.sel = selectors.DefaultSelector()
        self.socks, self.stop = [], threading.Event()
        for _ in range(n):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                      b"Authorization: Bearer %s\r\n\r\n" % (port, token.encode()))
            s.setblocking(False)
            self.sel.register(s, selectors.EVENT_READ)
            self.socks.append(s)
        self.thread = threading.Thread(target=self._drain, daemon=True)
        self.thread.start()

    def _drain(self):
        while not self.stop.is_set():
            for key, _ in self.sel.select(0.2):
                try:
                    if not key.fileobj.recv(65536):
                        self.sel.unregister(key.fileobj)
                except OSError:
                    self.sel.unregister(key.fileobj)

    def close(self):
        self.stop.set()
        self.thread.join()
        for s in self.socks:
            s.close()
        self.sel.close()


def poll_rate(rig, seconds):
    a = rig.count("A0")
    time.sleep(seconds)
    return (rig.count("A0") - a) / seconds


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


class Hostile:
    """Connections that hold the server as an attacker would, all from one thread: a request
    line that never ends (1 KiB every 100 ms), a chunked body that never ends (4 KiB every
    100 ms, with the token, so it gets past the screen to the body limit), and a request one
    byte a second. Each one the server closes is replaced at once, so `n` stay open."""

    def __init__(self, port, token, n):
        self.port, self.n, self.sel = port, n, selectors.DefaultSelector()
        host = "Host: 127.0.0.1:%d\r\n" % port
        self.first = {
            "line": (b"GET /", b"a" * 1024, 0.1),
            "chunked": (("POST /api/log HTTP/1.1\r\n%sAuthorization: Bearer %s\r\n"
                         "Transfer-Encoding: chunked\r\n\r\n" % (host, token)).encode(),
                        b"1000\r\n" + b"c" * 4096 + b"\r\n", 0.1),
            "slow": (b"", ("GET /api/decks HTTP/1.1\r\n" + host).encode(), 1.0),
        }
        self.conns = {}  # socket: [kind, next send time, bytes left of a one-byte-a-second line]
        self.opened = self.replaced = 0

    def _open(self):
        kind = ("line", "chunked", "slow")[self.opened % 3]
        s = socket.create_connection(("127.0.0.1", self.port), timeout=2)
        s.setblocking(False)
        first, repeat, _ = self.first[kind]
        if first:
            s.send(first)
        self.sel.register(s, selectors.EVENT_READ)
        self.conns[s] = [kind, time.monotonic(), repeat]
        self.opened += 1

    def _drop(self, s):
        self.sel.unregister(s)
        s.close()
        del self.conns[s]
        self.replaced += 1

    def _feed(self, now):
        for s, state in list(self.conns.items()):
            kind, due, left = state
            if now < due:
                continue
            _, repeat, every = self.first[kind]
            piece = left[:1] if kind == "slow" else repeat
            try:
                s.send(piece)
            except BlockingIOError:
                pass
            except OSError:
                self._drop(s)
                continue
            state[1] = now + every
            state[2] = (left[1:] or repeat) if kind == "slow" else repeat

    def hold(self, seconds, sample):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            while len(self.conns) < self.n:
                self._open()
            for key, _ in self.sel.select(0.02):
                try:
                    if not key.fileobj.recv(65536):
                        self._drop(key.fileobj)
                except OSError:
                    self._drop(key.fileobj)
            self._feed(time.monotonic())
            sample()

    def close(self):
        for s in list(self.conns):
            self.sel.unregister(s)
            s.close()
        self.conns.clear()
        self.sel.close()


def probe(port, token, seconds):
    """A normal client beside the attack: GET /api/decks on one kept-alive connection, 20 a
    second; prints each latency in ms as JSON."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    headers = {"Authorization": "Bearer " + token}
    out, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        t0 = time.monotonic()
        conn.request("GET", "/api/decks", headers=headers)
        r = conn.getresponse()
        r.read()
        if r.status != 200:
            raise SystemExit("probe: GET /api/decks gave %d" % r.status)
        out.append((time.monotonic() - t0) * 1000.0)
        time.sleep(max(0.0, 0.05 - (time.monotonic() - t0)))
    print(json.dumps(out))


def hostile(rig, n, seconds, rounds):
    """Server RSS above idle (MiB) and the probe's p99 (ms) with n hostile connections held."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, n + 256)), hard))
    growth, p99s, notes = [], [], []
    for _ in range(rounds):
        time.sleep(1.0)
        idle = rss_kib(rig.server.pid)
        peak = [idle]
        attack = Hostile(rig.port, rig.token, n)
        prober = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--probe",
                                   str(rig.port), rig.token, str(seconds)],
                                  stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        try:
            attack.hold(seconds + 0.5,
                        lambda: peak.append(max(peak[-1], rss_kib(rig.server.pid))))
        finally:
            attack.close()
        out, _ = prober.communicate(timeout=30)
        if prober.returncode != 0:
            raise SystemExit("panel_bench: the probe failed beside the attack")
        lat = sorted(json.loads(out))
        growth.append((peak[-1] - idle) / 1024.0)
        p99s.append(lat[min(len(lat) - 1, int(len(lat) * 0.99))])
        notes.append("%d held, %d closed by the server and replaced, %d GETs, idle RSS %.1f MiB"
                     % (n, attack.replaced, len(lat), idle / 1024.0))
    return growth, p99s, notes[-1]


class Strangers:
    """`n` connections without the token, all from one thread: each asks for the page, again
    every 20 s, reads what it is sent, and is replaced at once when the server closes it."""

    REQUEST = "GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n"

    def __init__(self, port, n):
        self.port, self.n, self.sel = port, n, selectors.DefaultSelector()
        self.request = (self.REQUEST % port).encode()
        self.conns = {}  # socket: when it next asks
        self.opened = self.closed = 0

    def _open(self):
        try:
            s = socket.create_connection(("127.0.0.1", self.port), timeout=2)
        except OSError:
            return False  # the backlog is full; tried again on the next turn
        s.setblocking(False)
        self.sel.register(s, selectors.EVENT_READ)
        self.conns[s] = 0.0
        self.opened += 1
        return True

    def _drop(self, s):
        self.sel.unregister(s)
        s.close()
        del self.conns[s]
        self.closed += 1

    def hold(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            while len(self.conns) < self.n and self._open():
                pass
            for key, _ in self.sel.select(0.02):
                try:
                    if not key.fileobj.recv(65536):
                        self._drop(key.fileobj)
                except OSError:
                    self._drop(key.fileobj)
            now = time.monotonic()
            for s, due in list(self.conns.items()):
                if now >= due:
                    try:
                        s.send(self.request)
                        self.conns[s] = now + 20.0
                    except BlockingIOError:
                        pass
                    except OSError:
                        self._drop(s)

    def close(self):
        for s in list(self.conns):
            self._drop(s)
        self.sel.close()


def holder(port, token, seconds):
    """The token's holder beside the strangers: GET /api/decks on a new connection each time,
    5 a second; prints each latency in seconds as JSON, 10 for one never answered."""
    out, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        t0 = time.monotonic()
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            conn.request("GET", "/api/decks", headers={"Authorization": "Bearer " + token})
            r = conn.getresponse()
            r.read()
            conn.close()
            out.append(time.monotonic() - t0 if r.status == 200 else 10.0)
        except (OSError, http.client.HTTPException):
            out.append(10.0)
        time.sleep(max(0.0, 0.2 - (time.monotonic() - t0)))
    print(json.dumps(out))


def strangers(rig, n, seconds, rounds):
    """The holder's p99 (s) with n strangers kept connected, one per round, and a note."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, n + 256)), hard))
    p99s, worst, answers, unanswered, closed = [], 0.0, 0, 0, 0
    for _ in range(rounds):
        crowd = Strangers(rig.port, n)
        try:
            crowd.hold(2.0)  # every stranger in, before the holder starts
            prober = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--holder",
                                       str(rig.port), rig.token, str(seconds)],
                                      stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            crowd.hold(seconds + 1.0)
        finally:
            crowd.close()
        out, _ = prober.communicate(timeout=seconds + 60)
        lat = sorted(json.loads(out)) if prober.returncode == 0 and out.strip() else [10.0]
        p99s.append(lat[min(len(lat) - 1, int(len(lat) * 0.99))])
        worst = max(worst, lat[-1])
        answers += len(lat)
        unanswered += sum(1 for x in lat if x >= 10.0)
        closed += crowd.closed
    note = ("%d strangers; %d requests, worst %.2f s, %d unanswered; the server closed %d "
            "strangers' connections, each replaced" % (n, answers, worst, unanswered, closed))
    return p99s, note


def figure(name, unit, values, target, passed, note=""):
    return deckrig.figure(SECTION, name, unit, values, target, passed, note)


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--probe":
        probe(int(sys.argv[2]), sys.argv[3], float(sys.argv[4]))
        return 0
    if len(sys.argv) == 5 and sys.argv[1] == "--holder":
        holder(int(sys.argv[2]), sys.argv[3], float(sys.argv[4]))
        return 0
    ap = argparse.ArgumentParser()
    ap.add_argument("--deckctl", required=True)
    ap.add_argument("--decksim", required=True)
    ap.add_argument("--json", required=True)
    ap.add_argument("--quick", action="store_true", help="one short pass, to show it runs")
    a = ap.parse_args()
    rounds = 1 if a.quick else 5
    commands = 20 if a.quick else 300
    span = 1.0 if a.quick else 3.0

    rig = Rig(a.deckctl, a.decksim)
    figures = []
    try:
        conn = rig.conn()
        rig.post(conn, "play")
        conn.close()
        time.sleep(0.5)

        lat = latency(rig, commands)
        # A command that never reached the wire is counted as lost, and fails the row.
        p99 = sorted(lat)[min(len(lat) - 1, int(len(lat) * 0.99))] if lat else float("inf")
        figures.append(figure("command arrival to its first byte on the wire, p99", "ms",
                              [p99], "<= 20", p99 <= 20.0 and rig.lost <= commands // 10,
                              "median %.1f, max %.1f, n=%d, %d not acknowledged, %d lost"
                              % (statistics.median(lat or [p99]), max(lat or [p99]), len(lat),
                                 rig.unacknowledged, rig.lost)))

        conn = rig.conn()
        rig.post(conn, "play")
        conn.close()
        ratios, ones, hundreds = [], [], []
        for _ in range(rounds):
            one = Watchers(rig.port, rig.token, 1)
            time.sleep(0.5)
            r1 = poll_rate(rig, span)
            one.close()
            many = Watchers(rig.port, rig.token, 100)
            time.sleep(1.0)
            r100 = poll_rate(rig, span)
            many.close()
            ones.append(r1)
            hundreds.append(r100)
            ratios.append(r100 / r1)
        figures.append(figure("deck poll rate, 100 stream clients / 1 client", "", ratios,
                              ">= 0.95", statistics.median(ratios) >= 0.95,
                              "%.1f / %.1f time reads a second" % (statistics.median(hundreds),
                                                                   statistics.median(ones))))

        conn = rig.conn()
        rig.post(conn, "stop")
        conn.close()
        time.sleep(1.0)
        loads = []
        for _ in range(rounds):
            c0, t0 = cpu_seconds(rig.server.pid), time.monotonic()
            time.sleep(span * 3)
            loads.append(100.0 * (cpu_seconds(rig.server.pid) - c0) / (time.monotonic() - t0))
        figures.append(figure("server CPU, idle-polling one stopped deck", "% of a core", loads,
                              "< 5", max(loads) < 5.0,
                              "%.1f time reads a second" % poll_rate(rig, 1.0)))

        # Twelve seconds outlast the 10 s deadline, so every kind is closed and replaced.
        growth, p99s, note = hostile(rig, 100 if a.quick else 1000, 2.0 if a.quick else 12.0,
                                     1 if a.quick else 3)
        figures.append(figure("server RSS above idle, 1,000 hostile connections held", "MiB",
                              growth, "<= 64", max(growth) <= 64.0, note))
        figures.append(figure("GET /api/decks p99 beside the hostile connections", "ms", p99s,
                              "<= 100", statistics.median(p99s) <= 100.0))

        # 25 s: past the strangers' 20 s, so each has asked twice.
        p99s, note = strangers(rig, 1100, 3.0 if a.quick else 25.0, 1 if a.quick else 3)
        figures.append(figure("token holder's p99 with 1,100 strangers connected", "s", p99s,
                              "<= 1", max(p99s) <= 1.0, note))
    finally:
        rig.close()
    deckrig.write_figures(a.json, figures, 60)
    return 0


if __name__ == "__main__":
    sys.exit(main())
