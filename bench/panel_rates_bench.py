#!/usr/bin/env python3
"""`deckctl serve` with decks at several rates, and with a day's clip log:

- mixed rates: two decks at 25 and two at 29.97 drop frame in one server, decksim at 9600
  baud, each deck's time reads a second against a lone 25 fps deck's, in the same round;
  also one 25 and one 59.94 drop-frame deck, which share the module's video format with the
  rest, so the format gate never makes their calls take turns (no target: shown beside the
  mixed four);
- a 10,000-clip log: adding a clip (p99, fsyncs included), CSV export, EDL export of 999
  events, re-importing the exported CSV, and the server's peak RSS with 100 stream clients;
- the log's memory: per clip over 10,000 clips added by 8 clients while 20 streams watch, and
  the peak above idle while 4 MiB imports of several shapes are read (and refused);
- a slow disk: a deck's stop while every fsync stalls for 5 s (tests/support/fsync_stall.cpp
  preloaded) and 60 requests of the log wait or read meanwhile.

Writes report.py's form: {"figures": [{section, name, unit, median, lo, hi, runs, target,
pass, note}]}.
"""
import argparse
import json
import os
import shutil
import socket
import statistics
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
import deckrig  # noqa: E402

SECTION = "deckctl serve, rates and a 10,000-clip log"


def figure(name, unit, values, target, passed, note=""):
    return deckrig.figure(SECTION, name, unit, values, target, passed, note)


class Rig:
    """decksims at 9600 baud on the given rates, one server for all of them."""

    def __init__(self, deckctl, decksim, rates, work):
        self.decks, links = [], {}
        for n, rate in enumerate(rates, 1):
            fps = rate.replace("df", "")
            d = deckrig.Decksim(decksim, link=os.path.join(work, "deck%d-%d" % (len(rates), n)),
                                trace=True, baud=9600, fps=fps, drop_frame=rate.endswith("df"),
                                limit=15.0)
            self.decks.append(d)
            links[n] = d.link
        self.server = deckrig.Server(deckctl, os.path.join(work, "server-%d.txt" % len(rates)),
                                     os.path.join(work, "log-%d.json" % len(rates)),
                                     links=links, rates=dict(enumerate(rates, 1)), limit=15.0)
        try:
            deckrig.wait(
                lambda: all(d["answering"] for d in self.api("GET", "/api/decks")["decks"]),
                "the decks to answer", 15.0, fail=SystemExit, tolerate=(OSError, ValueError))
        except BaseException:
            self.close()  # a rig that never came up must not leave its processes running
            raise

    def api(self, method, path, body=None):
        status, data = deckrig.request(self.server.port, method, path, body,
                                       token=self.server.token)
        if status >= 300:
            raise SystemExit("panel_rates_bench: %s %s: %d %s" % (method, path, status, data[:200]))
        return json.loads(data) if data[:1] in (b"{", b"[") else data

    def reads(self):
        return [d.trace_bytes().count("A0") for d in self.decks]

    def close(self):
        self.server.stop()
        for d in self.decks:
            d.stop()


def read_rates(rigs, span):
    """Time reads a second of every deck of every rig, over the same span."""
    before = [r.reads() for r in rigs]
    time.sleep(span)
    return [[(b - a) / span for a, b in zip(x, r.reads())] for x, r in zip(before, rigs)]


def mixed_rates(a, work, rounds, span):
    rigs = []
    try:
        for rates in (["25"], ["25", "25", "29.97df", "29.97df"], ["25", "59.94df"]):
            rigs.append(Rig(a.deckctl, a.decksim, rates, work))
        lone, mixed, gated = rigs
        worst, gate, ones = [], [], []
        for _ in range(rounds):
            (one,), four, two = read_rates([lone, mixed, gated], span)
            ones.append(one)
            worst.append(min(four) / one)
            gate.append(min(two) / one)
    finally:
        for r in rigs:
            r.close()
    return [figure("time reads, each of 2 x 25 + 2 x 29.97df decks / a lone deck (worst)", "",
                   worst, ">= 0.90", statistics.median(worst) >= 0.90,
                   "lone deck %.1f a second" % statistics.median(ones)),
            figure("time reads, 25 beside 59.94df (one format, no turns) / a lone deck (worst)",
                   "", gate, "", True)]


def timed(fn):
    t0 = time.monotonic()
    result = fn()
    return (time.monotonic() - t0) * 1000.0, result


def big_log(a, work, adds, clients):
    rig = Rig(a.deckctl, a.decksim, ["25"], work)
    rows = ["in,out,name,note"] + ["%02d:%02d:%02d:00,%02d:%02d:%02d:10,clip %d,take %d" % (
        i // 3600 % 24, i // 60 % 60, i % 60, i // 3600 % 24, i // 60 % 60, i % 60, i, i)
        for i in range(10000)]
    try:
        rig.api("POST", "/api/log.csv", "\r\n".join(rows) + "\r\n")
        add = sorted(timed(lambda: rig.api("POST", "/api/log", json.dumps(
            {"in": "10:00:00:00", "out": "10:00:01:00", "name": "added"})))[0]
            for _ in range(adds))
        csv_ms, csv = timed(lambda: rig.api("GET", "/api/log.csv"))
        edl_ms, _ = timed(lambda: rig.api("GET", "/api/log.edl?first=1&last=999"))
        imp_ms, _ = timed(lambda: rig.api("POST", "/api/log.csv", csv))
        socks = []
        for _ in range(clients):
            s = socket.create_connection(("127.0.0.1", rig.server.port))
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                      b"Authorization: Bearer %s\r\n\r\n"
                      % (rig.server.port, rig.server.token.encode()))
            socks.append(s)
        for _ in range(5):  # changes while they watch (and do not read)
            rig.api("POST", "/api/log", json.dumps({"in": "11:00:00:00"}))
        time.sleep(1.0)
        with open("/proc/%d/status" % rig.server.proc.pid) as f:
            mem = {k: int(v.split()[0]) / 1024.0 for k, v in (x.split(":", 1) for x in f)
                   if k in ("VmRSS", "VmHWM")}
        for s in socks:
            s.close()
    finally:
        rig.close()
    p99 = add[min(len(add) - 1, int(len(add) * 0.99))]
    return [figure("adding a clip to a 10,000-clip log, p99", "ms", [p99], "<= 50", p99 <= 50,
                   "median %.1f, n=%d" % (statistics.median(add), len(add))),
            figure("CSV export, 10,000 clips", "ms", [csv_ms], "<= 200", csv_ms <= 200),
            figure("EDL export, 999 events of 10,000 clips", "ms", [edl_ms], "<= 200",
                   edl_ms <= 200),
            figure("re-importing the exported CSV (%d KiB)" % (len(csv) // 1024), "ms", [imp_ms],
                   "<= 2000", imp_ms <= 2000),
            figure("server RSS, 100 stream clients on a 10,000-clip log", "MiB",
                   [mem["VmRSS"]], "<= 128", mem["VmRSS"] <= 128,
                   "peak %.0f MiB, the imports included" % mem["VmHWM"])]


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def lone_server(a, work, name, env=None, deck=None):
    """A server of its own with an empty log; port 1 on `deck` when given."""
    return deckrig.Server(a.deckctl, os.path.join(work, name + ".txt"),
                          os.path.join(work, name + ".json"),
                          links={1: deck.link} if deck else None, env=env, limit=15.0)


def call(srv, method, path, body=None):
    try:
        return deckrig.request(srv.port, method, path, body, token=srv.token, timeout=30)
    except OSError as e:  # a lost sample is counted by the caller, not a crash
        return 0, str(e).encode()


def log_memory(a, work, clips):
    """RSS per clip once `clips` clips were added by 8 clients, each POST a save, while 20
    streams watch and a reader takes the whole log now and then."""
    srv = lone_server(a, work, "memory")
    socks = []
    try:
        for _ in range(20):
            s = socket.create_connection(("127.0.0.1", srv.port))
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                      b"Authorization: Bearer %s\r\n\r\n" % (srv.port, srv.token.encode()))
            socks.append(s)
        stop = threading.Event()

        def drain(s):  # the streams read what they are sent, as pages do
            s.settimeout(0.5)
            while not stop.is_set():
                try:
                    if not s.recv(1 << 16):
                        return
                except socket.timeout:
                    pass
                except OSError:
                    return

        readers = [threading.Thread(target=drain, args=(s,)) for s in socks]
        for t in readers:
            t.start()
        time.sleep(1.0)
        idle = status_kib(srv.proc.pid, "VmRSS")
        failed = [0]

        def adder(k):
            for i in range(k, clips, 8):
                st, _ = call(srv, "POST", "/api/log", json.dumps(
                    {"in": "01:00:00:00", "out": "01:00:10:00", "name": "clip %d" % i,
                     "note": "take %d" % i}))
                failed[0] += st != 201
                if i % 500 == 0:
                    call(srv, "GET", "/api/log")
                    call(srv, "GET", "/api/log.csv")

        adders = [threading.Thread(target=adder, args=(k,)) for k in range(8)]
        for t in adders:
            t.start()
        for t in adders:
            t.join()
        time.sleep(1.0)
        rss = status_kib(srv.proc.pid, "VmRSS")
        stop.set()
        for t in readers:
            t.join()
    finally:
        for s in socks:
            s.close()
        srv.stop()
    per = (rss - idle) / float(clips)
    return [figure("log memory per clip, %d clips added by 8 clients, 20 streams" % clips, "KiB",
                   [per], "<= 2", per <= 2.0 and failed[0] == 0,
                   "RSS %.1f MiB idle, %.1f MiB after; %d adds failed"
                   % (idle / 1024.0, rss / 1024.0, failed[0]))]


def import_shapes():
    """4 MiB imports of the shapes that cost memory to read: (name, body)."""
    size = 4 << 20
    rows = "in,name,note\r\n"
    row = "00:00:01:00,a name of some length,%s\r\n" % ("n" * 150)
    return [("commas", "," * size),
            ("one huge field", 'in,note\r\n00:00:00:00,"' + "x" * (size - 30) + '"\r\n'),
            ("short rows", "in\r\n" + "0\r\n" * ((size - 4) // 3)),
            ("quotes", 'in,note\r\n00:00:00:00,"' + '"' * (size - 30) + '"\r\n'),
            ("20,000 clips", rows + row * min(20000, (size - len(rows)) // len(row)))]


def import_memory(a, work):
    """The server's RSS peak above idle while each shape is imported, each into a server of
    its own with an empty log."""
    peaks, notes = [], []
    for n, (name, body) in enumerate(import_shapes()):
        srv = lone_server(a, work, "import-%d" % n)
        try:
            pid = srv.proc.pid
            call(srv, "GET", "/api/log")
            time.sleep(0.3)
            idle = status_kib(pid, "VmRSS")
            with open("/proc/%d/clear_refs" % pid, "w") as f:
                f.write("5")  # VmHWM starts again from here
            st, _ = call(srv, "POST", "/api/log.csv", body)
            peak = (status_kib(pid, "VmHWM") - idle) / 1024.0
            peaks.append(peak)
            notes.append("%s %.1f (%d)" % (name, peak, st))
        finally:
            srv.stop()
    return [figure("a 4 MiB import's RSS peak above idle, worst shape", "MiB", [max(peaks)],
                   "<= 32", max(peaks) <= 32, "; ".join(notes))]


def fsync_shim(a):
    """The fsync shim beside this build's tools, or None."""
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(a.deckctl))))
    path = os.path.join(build, "tests", "support", "libfsync_stall.so")
    return path if os.path.exists(path) else None


def slow_disk(a, work, stall):
    """A deck's stop, every 0.5 s, while every fsync stalls for `stall` seconds and 60
    requests of the log are in flight: 30 adds that wait for the disk, 30 reads."""
    shim = fsync_shim(a)
    if shim is None:
        return [figure("a deck stop during a %g s fsync stall" % stall, "ms", [0], "<= 100",
                       False, "no fsync shim in this build (tests/support)")]
    control = os.path.join(work, "disk")
    deck = deckrig.Decksim(a.decksim, link=os.path.join(work, "stall-deck"), baud=9600,
                           limit=15.0)
    srv = lone_server(a, work, "stall", deck=deck, env=dict(
        os.environ, LD_PRELOAD=shim, FSYNC_STALL_CONTROL=control,
        ASAN_OPTIONS="verify_asan_link_order=0"))
    stops, usual, refused = [], [], []

    def stop_ms():
        t0 = time.monotonic()
        st, _ = call(srv, "POST", "/api/decks/1/stop", "{}")
        return st, (time.monotonic() - t0) * 1000.0

    try:
        deckrig.wait(lambda: json.loads(call(srv, "GET", "/api/decks")[1])["decks"][0][
            "answering"], "the deck to answer", 15.0, fail=SystemExit, tolerate=(ValueError,))
        usual = [stop_ms()[1] for _ in range(5)]
        with open(control, "w") as f:
            f.write("stall")
        end = time.monotonic() + stall
        release = threading.Timer(stall, lambda: os.path.exists(control) and os.unlink(control))
        release.start()
        load = [threading.Thread(target=call, args=(
            srv, "POST", "/api/log", json.dumps({"in": "00:00:01:00"})) if i % 2 else (
            srv, "GET", "/api/log")) for i in range(60)]
        for t in load:
            t.start()
        time.sleep(0.3)
        while time.monotonic() < end - 0.5:
            st, ms = stop_ms()
            stops.append(ms)
            if st != 200:
                refused.append(st)  # a lost sample: counted, and the row fails
            time.sleep(0.5)
        release.join()
        for t in load:
            t.join()
    finally:
        if os.path.exists(control):
            os.unlink(control)
        srv.stop()
        deck.stop()
    return [figure("a deck stop during a %g s fsync stall, worst" % stall, "ms", [max(stops)],
                   "<= 100", max(stops) <= 100 and not refused,
                   "%d stops, %d not answered 200 %s; median %.1f; %.1f ms before the stall"
                   % (len(stops), len(refused), refused, statistics.median(stops),
                      statistics.median(usual)))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--deckctl", required=True)
    ap.add_argument("--decksim", required=True)
    ap.add_argument("--json", required=True)
    ap.add_argument("--quick", action="store_true", help="one short pass, to show it runs")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="panel-rates-bench-")
    try:
        figures = mixed_rates(a, work, 1 if a.quick else 5, 1.0 if a.quick else 3.0)
        figures += big_log(a, work, 20 if a.quick else 200, 100)
        figures += log_memory(a, work, 1000 if a.quick else 10000)
        figures += import_memory(a, work)
        figures += slow_disk(a, work, 1.5 if a.quick else 5.0)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    deckrig.write_figures(a.json, figures, 70)
    return 0


if __name__ == "__main__":
    sys.exit(main())
