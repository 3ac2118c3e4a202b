#!/usr/bin/env python3
"""`deckctl serve` with decks at several rates, and with a day's clip log:

- mixed rates: two decks at 25 and two at 29.97 drop frame in one server, decksim at 9600
  baud, each deck's time reads a second against a lone 25 fps deck's, in the same round;
  also one 25 and one 59.94 drop-frame deck, whose video formats differ, so the format gate
  makes their calls take turns (no target: it shows the gate's cost);
- a 10,000-clip log: adding a clip (p99, fsyncs included), CSV export, EDL export of 999
  events, re-importing the exported CSV, and the server's peak RSS with 100 stream clients.

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
            figure("time reads, 25 beside 59.94df (formats take turns) / a lone deck", "", gate,
                   "", True)]


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
    finally:
        shutil.rmtree(work, ignore_errors=True)
    deckrig.write_figures(a.json, figures, 70)
    return 0


if __name__ == "__main__":
    sys.exit(main())
