#!/usr/bin/env python3
"""A machine room under its working load: a Mosquitto broker (the shipped config and ACL),
four machines (`deckctl serve --machine`) with four decks each (decksim at 9600 baud, 25 fps,
playing) and a hub (`deckctl serve --hub`):

- a command from the hub's API to its first byte on the deck's wire, every deck;
- a deck's state change (its shuttle byte on the wire) to the hub's event stream;
- each deck's time-read rate against a lone deck's in a server of its own;
- the CPU of the broker, the four servers and the hub together, and the messages a second
  through the broker, from which the README scales the room up on paper.

Writes report.py's form: {"figures": [{section, name, unit, median, lo, hi, runs, target,
pass, note}]}. Exit 77 when Mosquitto is not installed.
"""
import argparse
import json
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, HERE)
import deckrig  # noqa: E402
from panel_load_bench import Deck, cpu_seconds, percentile, rate, wait  # noqa: E402

SECTION = "machine room: 4 machines x 4 decks at 9600 baud, a hub, Mosquitto"
MACHINES, DECKS = 4, 4
TOKEN = deckrig.new_token()


def figure(name, unit, values, target, passed, note=""):
    return deckrig.figure(SECTION, name, unit, values, target, passed, note)


class Room:
    def __init__(self, a, work):
        self.a, self.work = a, work
        users = {u: "%s-%08x" % (u, random.getrandbits(32))
                 for u in ["hub"] + ["M%d" % m for m in range(MACHINES)]}
        self.broker = deckrig.Broker(work, users)
        self.decks = {("M%d" % m, p): Deck(a.decksim, work, "deck-%d-%d" % (m, p))
                      for m in range(MACHINES) for p in range(1, DECKS + 1)}
        self.servers = {}
        for name in users:
            pw = os.path.join(work, name + ".pw")
            with open(pw, "w") as f:
                f.write(users[name] + "\n")
            role = ["--hub"] if name == "hub" else ["--machine", name]
            links = {p: d.link for (m, p), d in self.decks.items() if m == name}
            self.servers[name] = deckrig.Server(
                a.deckctl, os.path.join(work, name + ".txt"), os.path.join(work, name + ".json"),
                links=links or None, token=TOKEN, limit=30,
                extra=["--broker", self.broker.url, "--broker-password-file", pw, "--quiet"] +
                role)
        wait(lambda: len([d for d in self.hub_decks() if d["answering"]]) == len(self.decks),
             "every deck to answer on the hub", 60)

    def call(self, who, method, path, body=None):
        return deckrig.request(self.servers[who].port, method, path, body, token=TOKEN)

    def hub_decks(self):
        return json.loads(self.call("hub", "GET", "/api/decks")[1])["decks"]

    def pids(self):
        return {"broker": self.broker.proc.pid,
                **{n: s.proc.pid for n, s in self.servers.items()}}

    def close(self):
        for s in self.servers.values():
            s.stop()
        self.broker.stop()
        for d in self.decks.values():
            d.proc.terminate()


def lone_rate(a, work, span):
    """A deck's time reads a second in a server of its own, off any broker."""
    deck = Deck(a.decksim, work, "lone")
    srv = deckrig.Server(a.deckctl, os.path.join(work, "lone.txt"),
                         os.path.join(work, "lone.json"), links={1: deck.link}, token=TOKEN)
    try:
        wait(lambda: json.loads(deckrig.request(srv.port, "GET", "/api/decks", token=TOKEN)[1])
             ["decks"][0]["answering"], "the lone deck")
        deckrig.request(srv.port, "POST", "/api/decks/1/play", "{}", token=TOKEN)
        time.sleep(0.5)
        return rate(deck, span)
    finally:
        srv.stop()
        deck.proc.terminate()


def commands(room, key, n, out):
    """Commands to one deck through the hub at random points of its cycle: send to first byte."""
    (machine, port), deck = key, room.decks[key]
    for i in range(n):
        time.sleep(random.uniform(0.05, 0.15))
        byte, action, body = ("B5", "shuttle", '{"speed": 1}') if i % 2 else ("3A", "play", "{}")
        t0 = time.monotonic()
        room.call("hub", "POST", "/api/decks/%s:%d/%s" % (machine, port, action), body)
        t = deck.first_after(t0, byte)
        out.append(None if t is None else (t - t0) * 1000.0)


class Stream:
    """The hub's event stream: when each deck was first seen at each shuttle speed."""

    def __init__(self, port):
        self.seen, self.lock, self.stop = [], threading.Lock(), threading.Event()
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.sendall(("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                           "Authorization: Bearer %s\r\n\r\n" % (port, TOKEN)).encode())
        self.sock.settimeout(0.2)
        self.thread = threading.Thread(target=self._read)
        self.thread.start()

    def _read(self):
        buf = b""
        while not self.stop.is_set():
            try:
                buf += self.sock.recv(1 << 20)
            except socket.timeout:
                continue
            now = time.monotonic()
            *events, buf = buf.split(b"\n\n")
            for e in events:
                at = e.find(b"event: decks\ndata: ")
                if at < 0:
                    continue
                for d in json.loads(e[at + 19:])["decks"]:
                    if d["mode"] == "shuttle":
                        with self.lock:
                            self.seen.append((now, (d["machine"], d["port"]), d["speed"]))

    def first(self, key, speed, after, limit=2.0):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            with self.lock:
                t = next((t for t, k, s in self.seen if t >= after and k == key and s == speed),
                         None)
            if t is not None:
                return t
            time.sleep(0.002)
        return None

    def close(self):
        self.stop.set()
        self.thread.join()
        self.sock.close()


def state_changes(room, rounds):
    """A shuttle speed sent through the machine's own API: from its byte on the wire to the
    first event of the hub's stream that shows the deck at that speed."""
    stream = Stream(room.servers["hub"].port)
    out, keys = [], sorted(room.decks)
    try:
        for i in range(rounds):
            key = keys[i % len(keys)]
            speed = 2 + i % 2
            t0 = time.monotonic()
            room.call(key[0], "POST", "/api/decks/%d/shuttle" % key[1], '{"speed": %d}' % speed)
            wire = room.decks[key].first_after(t0, "B5")
            seen = None if wire is None else stream.first(key, speed, wire)
            out.append(None if seen is None else (seen - wire) * 1000.0)
            time.sleep(random.uniform(0.02, 0.08))
    finally:
        stream.close()
    return out


def broker_messages(room, span):
    """Messages a second the broker takes in: what a subscriber to everything of ours hears."""
    count = [0]
    p = subprocess.Popen(room.broker._client("mosquitto_sub", room.broker.listener()) +
                         ["-t", "tapedeck5500/v1/#", "-F", "x"], stdout=subprocess.PIPE)
    threading.Thread(target=lambda: [count.__setitem__(0, count[0] + 1)
                                     for _ in iter(p.stdout.readline, b"")], daemon=True).start()
    time.sleep(1.0)  # the retained states first
    c0, t0 = count[0], time.monotonic()
    time.sleep(span)
    n = (count[0] - c0) / (time.monotonic() - t0)
    p.terminate()
    p.wait()
    return n


def run(a, work):
    span = 2.0 if a.quick else 10.0
    alone = lone_rate(a, work, span)
    room = Room(a, work)
    try:
        for (machine, port) in room.decks:
            room.call("hub", "POST", "/api/decks/%s:%d/play" % (machine, port), "{}")
        time.sleep(1.0)
        pids = room.pids()
        c0 = {n: cpu_seconds(p) for n, p in pids.items()}
        counts0 = {k: d.count("A0") for k, d in room.decks.items()}
        t0 = time.monotonic()
        time.sleep(span)
        dt = time.monotonic() - t0
        cpu = {n: 100.0 * (cpu_seconds(p) - c0[n]) / dt for n, p in pids.items()}
        rates = [(d.count("A0") - counts0[k]) / dt for k, d in room.decks.items()]
        per_second = broker_messages(room, span / 2)
        lat = {k: [] for k in room.decks}
        threads = [threading.Thread(target=commands, args=(room, k, 4 if a.quick else 40, lat[k]))
                   for k in room.decks]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        changes = state_changes(room, 16 if a.quick else 320)
    finally:
        room.close()
    lost = sum(1 for v in lat.values() for x in v if x is None)
    p99s = [percentile([x for x in v if x is not None], 0.99) for v in lat.values()]
    seen = [x for x in changes if x is not None]
    change99 = percentile(seen, 0.99)
    total = sum(cpu.values())
    servers = sum(v for n, v in cpu.items() if n.startswith("M"))
    worst = min(rates) / alone
    return [
        figure("command from the hub's API to the deck's wire, p99 (worst deck)", "ms",
               [max(p99s)], "<= 30", max(p99s) <= 30.0 and lost == 0,
               "median deck %.1f, %d lost" % (statistics.median(p99s), lost)),
        figure("a deck's state change to the hub's event stream, p99", "ms", [change99],
               "<= 100", change99 <= 100.0 and len(seen) == len(changes),
               "median %.1f over %d, %d not seen" % (statistics.median(seen) if seen else 0,
                                                     len(changes), len(changes) - len(seen))),
        figure("each deck's time-read rate / a lone deck's (worst)", "",
               [r / alone for r in rates], ">= 0.95", worst >= 0.95,
               "worst %.1f, lone %.1f a second" % (min(rates), alone)),
        figure("broker, 4 servers and hub CPU in all", "% of a core", [total], "<= 25",
               total <= 25.0, "broker %.1f, servers %.1f, hub %.1f"
               % (cpu["broker"], servers, cpu["hub"])),
        figure("messages a second into the broker", "", [per_second], "", True,
               "%.0f a deck" % (per_second / len(rates))),
    ]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--deckctl", required=True)
    ap.add_argument("--decksim", required=True)
    ap.add_argument("--json", required=True)
    ap.add_argument("--quick", action="store_true", help="one short pass, to show it runs")
    a = ap.parse_args()
    if not shutil.which("mosquitto"):
        print("mosquitto is not installed (scripts/install-deps broker)")
        return 77
    work = tempfile.mkdtemp(prefix="room-bench-")
    try:
        figures = run(a, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    deckrig.write_figures(a.json, figures, 66)
    return 0


if __name__ == "__main__":
    sys.exit(main())
