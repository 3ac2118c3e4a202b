#!/usr/bin/env python3
"""`deckctl serve` from outside, as clients and attackers meet it, with decksim's trace as the
witness of what reached the deck.

usage: serve_test.py DECKCTL DECKSIM CASE [FSYNC_SHIM]
       (CASE: security, clients, slow_client, kill9, slow_disk, stream_race, deck_faults, rates,
       capture;
       slow_disk preloads FSYNC_SHIM, tests/support/fsync_stall.cpp, into the server)
"""
import http.client
import json
import os
import random
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import deckrig  # noqa: E402

# What the deck thread asks on its own: status, video system, time.
IDLE_BYTES = {"D7", "B0", "DE", "C1", "A0"}
# Every server here is given this token (TAPEDECK_TOKEN) unless a case says otherwise, and
# every request carries it unless its headers name an Authorization of their own.
TOKEN = "serve-test-%032x" % random.getrandbits(128)


class Failure(Exception):
    pass


def check(ok, what):
    if not ok:
        raise Failure(what)


class Rig:
    def __init__(self, deckctl, decksim, shim=None):
        self.deckctl, self.decksim, self.shim = deckctl, decksim, shim
        self.work = tempfile.mkdtemp(prefix="serve-test-")
        self.procs = []
        self.link = os.path.join(self.work, "deck")
        self.trace = os.path.join(self.work, "trace.txt")
        self.deck = None
        os.mkdir(os.path.join(self.work, "run"), 0o700)  # XDG_RUNTIME_DIR, for token files

    def start_deck(self, baud=None, extra=()):
        self.deck = deckrig.Decksim(self.decksim, link=self.link, trace=True, baud=baud,
                                    control=os.path.join(self.work, "control"), out=self.trace,
                                    extra=extra)
        self.procs.append(self.deck.proc)

    def server_env(self, **extra):
        """The environment of a server: TOKEN, and a runtime folder for its token file."""
        env = dict(os.environ, TAPEDECK_TOKEN=TOKEN, XDG_RUNTIME_DIR=os.path.join(self.work, "run"))
        env.update(extra)
        return {k: v for k, v in env.items() if v is not None}

    def start_server(self, *extra, log=None, deck=True, env=None, file_limit=None):
        out_path = os.path.join(self.work, "server-%d.txt" % len(self.procs))
        # A file size limit makes writes fail with EFBIG (SIGXFSZ stays ignored, as here).
        popen = dict(restore_signals=False, preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_FSIZE, (file_limit, file_limit))) if file_limit else None
        srv = deckrig.Server(self.deckctl, out_path, log or os.path.join(self.work, "log.json"),
                             links={1: self.link} if deck else None,
                             listen=None if "--listen" in extra else "127.0.0.1:0", extra=extra,
                             env=env or self.server_env(), token=None, popen=popen)
        p = srv.proc
        p.out_path, p.url_host, p.port, p.token = out_path, srv.host, srv.port, srv.token
        self.procs.append(p)
        return p

    def trace_bytes(self):
        return self.deck.trace_bytes()

    def close(self):
        """Ends every process; names those that did not end cleanly (a crash, a sanitizer's
        report at exit, a stop that hung), with the end of their output."""
        problems = []
        for p in reversed(self.procs):
            if not deckrig.stop(p):
                problems.append("%s did not stop on SIGTERM" % p.args[:2])
            if p.returncode != 0 and not getattr(p, "killed", False):
                out = getattr(p, "out_path", None)
                tail = open(out).read()[-1500:] if out and os.path.exists(out) else ""
                problems.append("%s exited with %d: %s" % (p.args[:2], p.returncode, tail))
        shutil.rmtree(self.work, ignore_errors=True)
        return problems


def wait(cond, what, limit=10.0):
    return deckrig.wait(cond, what, limit, fail=Failure)


def request(port, method, path, body=None, headers=None, host=None):
    return deckrig.request(port, method, path, body, headers, host, token=TOKEN)


def decks(port):
    status, data = request(port, "GET", "/api/decks")
    check(status == 200, "GET /api/decks gave %d" % status)
    return json.loads(data)["decks"]


def wait_answering(port):
    wait(lambda: decks(port)[0]["answering"], "the deck to answer")


def security(rig):
    rig.start_deck()
    srv = rig.start_server()
    port = srv.port
    wait_answering(port)
    huge = json.dumps({"speed": 1, "pad": "x" * (16 * 1024)})
    other = "127.0.0.1:%d" % (port + 1 if port < 65535 else port - 1)
    cases = [
        # method, path, body, headers, host, status, words in the error
        ("POST", "/api/decks/1/play", "{}", {}, "evil.example:%d" % port, 403, "Host"),
        ("GET", "/api/decks", None, {}, "attacker.test", 403, "Host"),
        ("POST", "/api/decks/1/play", "{}", {}, other, 403, "Host"),
        ("POST", "/api/decks/1/play", "{}", {"Origin": "http://evil.example"}, None, 403, "site"),
        ("POST", "/api/decks/1/shuttle", huge, {}, None, 413, "16 KiB"),
        ("POST", "/api/decks/1/shuttle", '{"speed": 1', {}, None, 400, "JSON object"),
        ("POST", "/api/decks/1/shuttle", "[1]", {}, None, 400, "JSON object"),
        ("POST", "/api/decks/1/shuttle", '{"speed": 5}', {}, None, 400, "-4 to 4"),
        ("POST", "/api/decks/1/shuttle", '{"speed": "1"}', {}, None, 400, "-4 to 4"),
        ("POST", "/api/decks/1/fly", "{}", {}, None, 404, "unknown action"),
        ("POST", "/api/decks/9/play", "{}", {}, None, 404, "no deck"),
        ("POST", "/api/decks/0/play", "{}", {}, None, 404, "no deck"),
        ("POST", "/api/decks/1x/play", "{}", {}, None, 404, "no deck"),
        ("POST", "/api/decks/1/cue", '{"timecode": "00:00:00:25"}', {}, None, 400, "frames below"),
        ("POST", "/api/decks/1/cue", '{"timecode": "00:01:00;24"}', {}, None, 400, "drop-frame"),
        ("POST", "/api/decks/1/rate", '{"rate": "29.98"}', {}, None, 400, "29.97df"),
        ("POST", "/api/log", '{"in": "00:00:02:00", "out": "00:00:01:00"}', {}, None, 400,
         "before the in"),
        ("POST", "/api/log", '{"in": "00:00:00:00", "rate": "31"}', {}, None, 400, "rate must"),
        ("POST", "/api/log.csv", "in,rate\r\n00:00:00:00,31\r\n", {}, None, 400, "row 2: rate"),
        ("GET", "/api/log.edl?port=1x", None, {}, None, 400, "port must"),
        ("GET", "/api/log.edl?first=5&last=2", None, {}, None, 400, "first <= last"),
        ("POST", "/api/decks/1/cue", '{"timecode": "24:00:00:00"}', {}, None, 400, "hours 0-23"),
        ("POST", "/api/decks/1/cue", '{"timecode": "-00:00:01:00"}', {}, None, 400, "below zero"),
        ("POST", "/api/decks/1/cue", '{"frames": 1e12}', {}, None, 400, "whole number"),
        ("POST", "/api/decks/1/cue", '{"frames": 2160000}', {}, None, 400, "within 24"),
        ("POST", "/api/decks/1/cue", "{}", {}, None, 400, "timecode"),
        ("POST", "/api/decks/1/mark", '{"which": "middle"}', {}, None, 400, "which"),
        ("POST", "/api/log", '{"in": "00:00:00:99"}', {}, None, 400, "timecode"),
        ("PUT", "/api/log/12345", '{"name": "x"}', {}, None, 404, "no clip"),
        ("POST", "/api/log.csv", 'in,name\r\n00:00:00:00,"open', {}, None, 400, "malformed"),
        ("GET", "/art/../../etc/passwd", None, {}, None, 404, ""),
        ("GET", "/nothing-here.js", None, {}, None, 404, "no such file"),
        # Bounds, by the HTTP layer; a body past its limit is refused by any transfer encoding.
        ("GET", "/api/decks?" + "a" * 8200, None, {}, None, 414, "request line"),
        ("GET", "/api/decks", None, {"X-%d" % i: "v" for i in range(100)}, None, 431, "fields"),
        ("GET", "/api/decks", None, {"X-Big": "v" * (16 * 1024)}, None, 431, "16 KiB"),
        ("POST", "/api/decks/1/shuttle", [b"{" + b" " * 8192] * 3, {}, None, 413, "16 KiB"),
        ("POST", "/api/log.csv", "x" * ((4 << 20) + 1), {}, None, 413, "4 MiB"),
        # The token: none, a wrong one, in a cookie (of this port or another server's).
        ("GET", "/api/decks", None, {"Authorization": ""}, None, 401, "needs its token"),
        ("POST", "/api/decks/1/play", "{}", {"Authorization": "Bearer " + TOKEN[:-1] + "x"},
         None, 401, "wrong token"),
        ("GET", "/api/decks", None, {"Authorization": "",
                                     "Cookie": "tapedeck5500-%d=%s" % (port + 1, TOKEN)},
         None, 401, "needs its token"),
        ("GET", "/api/decks", None, {"Authorization": "",
                                     "Cookie": "tapedeck5500-%d=%s" % (port, TOKEN)},
         None, 401, "needs its token"),
        ("GET", "/art/%231000", None, {"Authorization": ""}, None, 401, "needs its token"),
    ]
    time.sleep(0.3)
    start = len(rig.trace_bytes())
    for method, path, body, headers, host, want, words in cases:
        status, data = request(port, method, path, body, headers, host)
        what = "%s %s %s" % (method, path, (body or "")[:40])
        check(status == want, "%s: HTTP %d, wanted %d (%s)" % (what, status, want, data[:200]))
        err = json.loads(data).get("error", "")
        check(words in err, "%s: error %r lacks %r" % (what, err, words))
    # Garbage on the socket: not HTTP at all, a header without end, a request cut short.
    for junk in [b"\x00\xff\x10garbage\r\n\r\n", b"GET / HTTP/1.1\r\nHost: " + b"a" * 9000,
                 b"POST /api/decks/1/play HTTP/1.1\r\nContent-Length: 100\r\n\r\n{"]:
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(junk)
        s.close()
    time.sleep(0.3)
    stray = [b for b in rig.trace_bytes()[start:] if b not in IDLE_BYTES]
    check(not stray, "refused requests reached the deck: %s" % stray)
    check(srv.poll() is None, "the server died")
    # The error log: one line for each request refused past a limit (the six 413, 414 and 431
    # rows above); none from a quiet server.
    logged = open(srv.out_path).read().count("deckctl serve: refused a request")
    check(logged == 6, "%d lines in the error log for 6 requests past a limit" % logged)
    quiet = rig.start_server("--quiet", log=os.path.join(rig.work, "log4.json"), deck=False)
    request(quiet.port, "GET", "/api/decks?" + "a" * 8200)
    check("refused" not in open(quiet.out_path).read(), "--quiet still logged")

    # The witness works: the same request, well formed, does reach the deck.
    status, data = request(port, "POST", "/api/decks/1/shuttle", '{"speed": 2}',
                           {"Origin": "http://127.0.0.1:%d" % port})
    check(status == 200 and json.loads(data)["ok"], "a good shuttle failed: %s" % data)
    time.sleep(0.2)
    check("B5" in rig.trace_bytes()[start:], "the good shuttle's B5 is not in the trace")

    tokens(rig)

    # Off loopback a token is made up when none is given, and printed in the URL.
    wild = rig.start_server("--listen", "0.0.0.0:0", log=os.path.join(rig.work, "log3.json"),
                            deck=False, env=rig.server_env(TAPEDECK_TOKEN=None))
    check(len(wild.token) >= 16, "no token made up for 0.0.0.0: %r" % wild.token)
    status, _ = request(wild.port, "GET", "/api/decks", None, {"Authorization": ""})
    check(status == 401, "0.0.0.0 without the token: %d" % status)
    status, _ = request(wild.port, "GET", "/api/decks?token=" + wild.token, None,
                        {"Authorization": ""})
    check(status == 200, "0.0.0.0 with its token: %d" % status)


def tokens(rig):
    """How a token is given, and what a server does with each; the page's cookie."""
    fixed = "fixed-token-%032x" % random.getrandbits(128)
    token_file = os.path.join(rig.work, "token.txt")
    with open(token_file, "w") as f:
        f.write(fixed + "\n")
    log = os.path.join(rig.work, "log2.json")
    no_env = rig.server_env(TAPEDECK_TOKEN=None)
    shared = os.path.join(rig.work, "shared")  # a runtime folder its group can read
    os.makedirs(os.path.join(shared, "tapedeck5500"))
    os.chmod(os.path.join(shared, "tapedeck5500"), 0o750)
    for args, env, want, words in [
            ([], rig.server_env(XDG_RUNTIME_DIR=shared), None, "this user's alone"),
            (["--token", "s3cret"], no_env, None, "at least 16"),
            (["--token-file", "/nonexistent/token"], no_env, None, "cannot read"),
            ([], rig.server_env(TAPEDECK_TOKEN="has space in it!"), None, "only letters"),
            (["--token", fixed], no_env, fixed, "process list"),
            (["--token-file", token_file], no_env, fixed, ""),
            ([], no_env, "", "")]:
        cmd = [rig.deckctl, "serve", "--log", log, "--listen", "127.0.0.1:0"] + args
        if want is None:
            try:
                r = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=10)
            except subprocess.TimeoutExpired:
                raise Failure("%s started and kept running" % args)
            check(r.returncode != 0 and words in r.stderr,
                  "%s started, or said %r" % (args, r.stderr))
            continue
        srv = rig.start_server("--listen", "127.0.0.1:0", *args, log=log, deck=False, env=env)
        check(len(srv.token) >= 32 and (want == "" or srv.token == want),
              "%s: the URL's token is %r" % (args, srv.token))
        check(words in open(srv.out_path).read(), "%s: no %r said" % (args, words))
        path = os.path.join(rig.work, "run", "tapedeck5500", "serve-%d.token" % srv.port)
        check(open(path).read().strip() == srv.token and os.stat(path).st_mode & 0o777 == 0o600,
              "%s: the token file %s is not the token, mode 0600" % (args, path))
        status, _ = request(srv.port, "GET", "/api/decks", None, {"Authorization": ""})
        check(status == 401, "%s: no token gave %d" % (args, status))
        status, _ = request(srv.port, "GET", "/api/decks?token=" + srv.token, None,
                            {"Authorization": ""})
        check(status == 200, "%s: the URL's token gave %d" % (args, status))
        srv.send_signal(signal.SIGTERM)
        srv.wait(10)
        check(not os.path.exists(path), "%s: the token file outlived the server" % args)

    # The page sets no cookie, and it and its files load without the token (a reload has none).
    srv = rig.start_server(log=log, deck=False)
    for path in ["/?token=" + TOKEN, "/", "/panel.js"]:
        c = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=15)
        c.request("GET", path, headers={"Host": "127.0.0.1:%d" % srv.port})
        r = c.getresponse()
        r.read()
        check(r.status == 200 and r.getheader("Set-Cookie") is None,
              "GET %s: %d, Set-Cookie %r" % (path, r.status, r.getheader("Set-Cookie")))


def sse_connect(port, rcvbuf=None, method=b"GET"):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(10)
    s.connect(("127.0.0.1", port))
    s.sendall(b"%s /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAuthorization: Bearer %s\r\n\r\n"
              % (method, port, TOKEN.encode()))
    return s


def read_until(s, token, limit=1 << 20):
    data = b""
    while token not in data and len(data) < limit:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def threads_of(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def clients(rig):
    rig.start_deck()
    srv = rig.start_server()
    wait_answering(srv.port)
    request(srv.port, "POST", "/api/decks/1/play", "{}")
    base = threads_of(srv.pid)
    errors = []

    def one(i):
        try:
            if i % 4 == 3:
                status, _ = request(srv.port, "GET", "/api/decks")
                check(status == 200, "GET gave %d" % status)
                return
            s = sse_connect(srv.port)
            data = read_until(s, b"event: log")
            check(b"event: decks" in data and b"event: log" in data,
                  "client %d got no first state: %r" % (i, data[:200]))
            if i % 2:
                s.shutdown(socket.SHUT_RDWR)  # the rest just vanish
            s.close()
        except Exception as e:  # each client's fault is collected, not raised in its thread
            errors.append("client %d: %s" % (i, e))

    for _ in range(2):
        pool = [threading.Thread(target=one, args=(i,)) for i in range(200)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
    check(not errors, "; ".join(errors[:5]))
    # Connections that ended give back their threads once the stream writes to them.
    wait(lambda: threads_of(srv.pid) <= base + 4, "the server's threads to come back to %d "
         "(now %d)" % (base, threads_of(srv.pid)), 20)
    before = decks(srv.port)[0]["seq"]
    time.sleep(0.5)
    check(decks(srv.port)[0]["seq"] > before, "the deck's state stopped changing")
    check(srv.poll() is None, "the server died")


def control(rig, line):
    return rig.deck.command(line)


def deck_faults(rig):
    """Refusals reach the panel in words; a hung-up deck goes dark and comes back alone."""
    rig.start_deck()
    srv = rig.start_server()
    wait_answering(srv.port)
    cases = [
        # decksim control line, how long it takes, action, body, words in the error
        ("standby", 0.5, "cue", '{"timecode": "00:01:00:00"}', "refused the cue"),
        # At once: the status questions would soon find the deck gone (below).
        ("fault nak", 0, "play", "{}", "did not acknowledge play"),
    ]
    for line, settle, action, body, words in cases:
        seq = decks(srv.port)[0]["errorSeq"]
        check(control(rig, line) == "ok", "decksim refused '%s'" % line)
        time.sleep(settle)
        status, data = request(srv.port, "POST", "/api/decks/1/" + action, body)
        reply = json.loads(data)
        check(status == 409 and words in reply["error"] and reply["reply"]["ok"] is False and
              reply["reply"]["error"] == reply["error"], "%s after '%s': %d %s"
              % (action, line, status, data))
        d = decks(srv.port)[0]
        check(words in d["error"] and d["errorSeq"] > seq,
              "the deck's error after %s: %r (errorSeq %d)" % (action, d["error"], d["errorSeq"]))
        control(rig, "fault none")
        wait_answering(srv.port)
    control(rig, "play")
    wait(lambda: decks(srv.port)[0]["state"] == "playing", "the deck to play again")

    check(control(rig, "fault hangup 2000") == "ok", "decksim did not hang up")
    d = wait(lambda: (lambda d: d if not d["answering"] else None)(decks(srv.port)[0]),
             "the lamp to go dark", 5)
    check(d["state"] == "not answering" and "stopped answering" in d["error"],
          "a hung-up deck shows as %r, %r" % (d["state"], d["error"]))
    d = wait(lambda: (lambda d: d if d["answering"] else None)(decks(srv.port)[0]),
             "the deck to be back by itself", 8)
    check(d["connected"] and d["error"] == "", "back, but %s" % d)
    f1 = decks(srv.port)[0]["frames"]
    time.sleep(0.5)
    check(decks(srv.port)[0]["frames"] > f1, "the time does not run after the deck came back")
    said = open(srv.out_path).read()
    check("stopped answering" in said and "answers again" in said[said.rfind("stopped"):],
          "the error log did not tell the deck lost and back: %r" % said[-400:])


def capture(rig):
    """Captures through the API against decksim's picture: bad requests refused in words, one
    capture a deck, transport refused while it runs, a stop that cancels it and keeps the clip
    finished, a cancel mid-clip, and the last batch asked for afterwards."""
    sock, root = os.path.join(rig.work, "video.sock"), os.path.join(rig.work, "captures")
    os.mkdir(root)
    os.symlink(rig.work, os.path.join(root, "out"))  # a link out of the capture folder
    rig.start_deck(baud=9600, extra=["--video", sock, "--video-delay", "80", "--audio",
                                     "--ltc-channel", "3"])
    # A sanitizer's quarantine would hold every freed picture: a small one lets the memory
    # bound below mean the same there.
    port = rig.start_server("--capture-input", "unix:" + sock, "--capture-folder", root,
                            "--capture-calibration", os.path.join(rig.work, "offsets.json"),
                            env=rig.server_env(ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
                                               ":quarantine_size_mb=16")).port
    wait_answering(port)
    for a, b in [("00:01:00:00", "00:01:01:00"), ("00:01:10:00", "00:01:14:00"),
                 ("00:01:20:00", "00:01:21:00"), ("00:02:00:00", "00:02:00:00")]:
        request(port, "POST", "/api/log", json.dumps({"name": "c", "in": a, "out": b}))

    def post(path, body):
        status, data = request(port, "POST", path, json.dumps(body))
        return status, json.loads(data)

    def batch(state=None, limit=40):
        return wait(lambda: next((b for b in json.loads(request(port, "GET", "/api/capture")[1])
                                  ["batches"] if state is None or b["state"] == state), None),
                    "a batch %s" % state, limit)

    # No preview without an input open; none of an input the server does not allow.
    status, reply = request(port, "GET", "/api/capture/preview?port=1")
    check(status == 404 and b"no input is open for deck 1" in reply, "preview: %d %s"
          % (status, reply))
    status, reply = request(port, "DELETE", "/api/capture/preview?port=1")
    check(status == 409 and b"no input is open for the preview" in reply, "DELETE preview: %d %s"
          % (status, reply))
    status, reply = post("/api/capture/preview", {"port": 1, "input": "/dev/video0"})
    check(status == 403 and "not one this server captures from" in reply["error"],
          "preview of /dev/video0: %d %s" % (status, reply))
    # While the batch of three runs: 20 pages previewing, and one that asks for pictures
    # without ever reading them.
    previews, watching = [], threading.Event()

    def preview_page():
        seqs = []
        while not watching.is_set():
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=15)
            c.request("GET", "/api/capture/preview?port=1",
                      headers={"Authorization": "Bearer " + TOKEN})
            r = c.getresponse()
            if r.status == 200 and r.read()[:2] == b"\xff\xd8":
                seqs.append(int(r.getheader("X-Preview-Seq")))
            c.close()
            time.sleep(0.2)
        previews.append(seqs)
    pages = [threading.Thread(target=preview_page) for _ in range(20)]
    stuck = socket.socket()
    stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    ask = (b"GET /api/capture/preview?port=1 HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
           b"Authorization: Bearer %s\r\n\r\n" % (port, TOKEN.encode()))
    rss = []

    def memory():
        return int(next(line.split()[1] for line in open("/proc/%d/status" % srv_pid)
                        if line.startswith("VmRSS:")))
    srv_pid = rig.procs[-1].pid

    refused = [
        # body, status, words in the error
        ({"clips": [1], "input": "/dev/video0"}, 403, "not one this server captures from"),
        ({"clips": [1], "folder": "../up"}, 400, "'..'"),
        ({"clips": [1], "folder": "/tmp"}, 400, "not a path from /"),
        ({"clips": [1, 1]}, 400, "named twice"),
        ({"clips": [9]}, 400, "no clip 9"),
        ({"clips": [4]}, 400, "a note at one time"),
        ({"clips": [1], "retries": 21}, 400, "retries must be"),
        ({"clips": [1], "port": 2}, 404, "no deck on port 2"),
        ({"clips": [1]}, 409, "calibrate first"),
        ({"clips": [1], "ltcChannel": 0}, 400, "ltcChannel must be"),
        # With the tape's LTC no calibration is needed.
        ({"clips": [3], "preroll": 1, "folder": "ltc", "ltcChannel": 3}, 202, None),
        ("by LTC", None, None),
        ("calibrated", None, None),
        ({"clips": [1], "folder": "out/x"}, 403, "a link or not a folder"),
        ({"clips": [1, 2, 3], "preroll": 1, "folder": "a"}, 202, None),
        ({"clips": [1], "preroll": 1}, 409, "busy with capture"),
    ]
    for body, want, words in refused:
        if body == "by LTC":
            b = batch("done")
            r = b["clips"][0]["report"]
            check(b["ltcChannel"] == 3 and b["offsetMs"] is None and r["status"] == "captured" and
                  r["ltc"]["checkedFrames"] == 25 and r["ltc"]["disagreeing"] == 0 and
                  deckrig.stripes(r["file"], 320) == list(range(2000, 2025)), "by LTC: %s" % b)
            continue
        if body == "calibrated":
            check(post("/api/capture/calibrate", {"preroll": 1})[0] == 202, "calibration")
            c = batch("done")["calibration"]
            check(c["stored"] and c["agree"] == c["frames"] >= 75, "calibration: %s" % c)
            continue
        status, reply = post("/api/capture", body)
        check(status == want and (words is None or words in reply["error"]),
              "%s: %d %s" % (body, status, reply))
        if body == {"clips": [1, 2, 3], "preroll": 1, "folder": "a"}:
            wait(lambda: request(port, "GET", "/api/capture/preview?port=1")[0] == 200,
                 "the capture's preview", 20)
            stuck.connect(("127.0.0.1", port))
            stuck.sendall(ask * 200)
            wait(lambda: batch()["clips"][0]["frames"] > 0, "the first clip under way", 40)
            rss.append(memory())  # the capture's buffers there
            for t in pages:
                t.start()
    for action, body in [("play", {}), ("cue", {"frames": 250}), ("shuttle", {"speed": 1}),
                         ("rate", {"rate": "25"}), ("mark", {"which": "in"}), ("connect", {}),
                         ("disconnect", {})]:
        status, reply = post("/api/decks/1/" + action, body)
        check(status == 409 and "is capturing (capture " in reply["error"],
              "%s while capturing: %d %s" % (action, status, reply))
    check(post("/api/decks/1/mark", {"which": "in", "frames": 100})[0] == 200, "a given mark")
    # The stop in the second clip: the first is kept, the rest cancelled, the deck stopped.
    wait(lambda: batch()["clips"][1]["frames"] > 10, "the second clip under way", 40)
    status, reply = post("/api/decks/1/stop", {})
    check(status == 200 and reply["capture"] == "cancelled", "stop: %d %s" % (status, reply))
    b = batch("cancelled")
    watching.set()
    for t in pages:
        t.join()
    rss.append(memory())
    # Every page saw the picture change; the one that never read was dropped; memory bounded.
    check(len(previews) == 20 and all(len(set(q)) >= 3 for q in previews),
          "preview pictures seen: %s" % [sorted(set(q))[:5] for q in previews])
    stuck.settimeout(20)
    data = b""
    try:
        while True:
            chunk = stuck.recv(65536)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        pass  # dropped with its requests unread
    except socket.timeout:
        raise Failure("the preview client that never read was never dropped")
    check(data.startswith(b"HTTP/1.1 200") or not data, "the reader that never read: %r"
          % data[:80])
    print("preview: 20 pages saw %d-%d pictures each; the one that never read got %d bytes "
          "before its close; the server's RSS %d -> %d kB" % (
              min(len(set(q)) for q in previews), max(len(set(q)) for q in previews), len(data),
              rss[0], rss[1]))
    check(rss[1] - rss[0] < 64 << 10,
          "the server grew from %d to %d kB with 21 previews" % tuple(rss))
    one, two, three = (c["report"] for c in b["clips"])
    check(one["status"] == "captured" and two["status"] == "cancelled" and
          three["reason"] == "cancelled before it started", "after the stop: %s" % b)
    check(deckrig.stripes(one["file"], 320) == list(range(1500, 1525)), "clip 1's frames")
    check("transport=stopped" in control(rig, "get"), "the deck still runs after the stop")
    # A cancel mid-clip, then the last batch as GET has it; nothing half-written anywhere.
    check(post("/api/capture", {"clips": [2], "preroll": 1, "folder": "b"})[0] == 202, "again")
    wait(lambda: batch()["clips"][0]["frames"] > 10, "the clip under way", 40)
    check(post("/api/capture/cancel", {"port": 1})[0] == 200, "cancel")
    b = batch("cancelled")
    check(b["folder"] == "b" and b["clips"][0]["report"]["reason"].startswith("cancelled at "),
          "after the cancel: %s" % b)
    status, reply = request(port, "DELETE", "/api/capture")
    check(status == 409 and b"no capture is running" in reply, "DELETE: %d %s" % (status, reply))
    files = sorted(os.listdir(os.path.join(root, "a")) + os.listdir(os.path.join(root, "b")))
    check(files == ["DECK1_0001_c.framemd5", "DECK1_0001_c.json", "DECK1_0001_c.mkv",
                    "DECK1_0001_c.poster.jpg", "DECK1_0001_c.qc.csv.gz",
                    "DECK1_0001_c.timecode.csv", "DECK1_0002_c.json", "DECK1_0002_c.json",
                    "DECK1_0003_c.json"],
          "files: %s" % files)


def rates(rig):
    """Decks at 25 and 29.97 drop frame in one server: a cue on the 29.97 deck, while the 25
    deck polls, puts exactly its target's digits on the wire; clips keep their deck's rate
    and each port's EDL its own frame code. Decks at 50 and 59.94 drop frame beside them:
    the panel's times are the deck's to a frame pair, never later than the deck."""
    rig.start_deck()
    deck2 = deckrig.Decksim(rig.decksim, link=os.path.join(rig.work, "deck2"), trace=True,
                            fps="29.97", drop_frame=True, out=os.path.join(rig.work, "trace2.txt"))
    rig.procs.append(deck2.proc)
    pairs = {}
    for p, fps in ((3, "50"), (4, "59.94")):
        pairs[p] = deckrig.Decksim(rig.decksim, link=os.path.join(rig.work, "deck%d" % p),
                                   control=os.path.join(rig.work, "control%d" % p), trace=True,
                                   fps=fps, drop_frame=p == 4, video_system=4 if p == 3 else 1,
                                   out=os.path.join(rig.work, "trace%d.txt" % p))
        rig.procs.append(pairs[p].proc)
    srv = deckrig.Server(rig.deckctl, os.path.join(rig.work, "server-rates.txt"),
                         os.path.join(rig.work, "log.json"),
                         links={1: rig.link, 2: deck2.link, 3: pairs[3].link, 4: pairs[4].link},
                         rates={2: "29.97df", 3: "50", 4: "59.94df"},
                         env=rig.server_env(), token=None)
    srv.proc.out_path = srv.out
    rig.procs.append(srv.proc)
    port = srv.port
    wait(lambda: all(d["answering"] for d in decks(port)), "the four decks to answer")
    d1, d2 = decks(port)[:2]
    check((d1["rate"], d2["rate"], d2["dropFrame"]) == ("25", "29.97df", True) and
          abs(d2["fps"] - 30000 / 1001) < 1e-9, "the decks' rates: %s %s" % (d1, d2))
    start = len(deck2.trace_bytes())
    a0 = rig.trace_bytes().count("A0")
    for tc, want in [("00:01:00;00", 400), ("00:01:00:30", 400), ("00:10:00;00", 200)]:
        status, data = request(port, "POST", "/api/decks/2/cue", json.dumps({"timecode": tc}))
        check(status == want, "cue to %s on the 29.97df deck: %d %s" % (tc, status, data))
    sent = " ".join(deck2.trace_bytes()[start:])
    check(sent.count("DF 93") == 1 and "DF 93 30 30 31 30 30 30 30 30 40" in sent,
          "the cue's bytes on the 29.97df deck: %s" % sent)
    wait(lambda: decks(port)[1]["time"] == "00:10:00;00", "the 29.97df deck at 00:10:00;00")
    check(rig.trace_bytes().count("A0") > a0 + 10, "the 25 fps deck did not poll meanwhile")
    for p, tin, tout in [(1, "00:00:10:00", "00:00:12:00"), (2, "00:00:59;28", "00:01:00;04")]:
        status, data = request(port, "POST", "/api/log",
                               json.dumps({"port": p, "in": tin, "out": tout}))
        check(status == 201, "logging on port %d: %d %s" % (p, status, data))
    status, data = request(port, "GET", "/api/log.edl")
    check(status == 409 and "25 and 29.97df" in json.loads(data)["error"],
          "a mixed-rate EDL: %d %s" % (status, data))
    for p, fcm, line in [
            (1, "NON-DROP FRAME", "001  DECK1    V     C        00:00:10:00 00:00:12:00 "
                                  "01:00:00:00 01:00:02:00"),
            (2, "DROP FRAME", "001  DECK2    V     C        00:00:59;28 00:01:00;04 "
                              "01:00:00;00 01:00:00;04")]:
        status, data = request(port, "GET", "/api/log.edl?port=%d" % p)
        edl = data.decode()
        check(status == 200 and "FCM: %s\n" % fcm in edl and line in edl,
              "port %d's EDL: %s" % (p, edl))
    status, data = request(port, "POST", "/api/decks/1/rate", '{"rate": "29.97df"}')
    check(status == 200 and decks(port)[0]["rate"] == "29.97df", "rate change: %s" % data)
    request(port, "POST", "/api/decks/1/rate", '{"rate": "29.97"}')
    status, data = request(port, "POST", "/api/decks/1/cue", '{"timecode": "00:00:00;10"}')
    check(status == 400 and "runs at 29.97 non-drop" in json.loads(data)["error"],
          "';' on a 29.97 deck: %d %s" % (status, data))
    pair_rates(port, pairs)


def pair_rates(port, pairs):
    """Decks at 50 (video system 4) and 59.94df count frame pairs on the line: still or
    running, the panel shows each pair's first frame, never later than decksim's own time;
    what the line cannot carry is refused in words naming the frames either side."""
    def deck_frames(p):
        return deckrig.tc_to_frames(pairs[p].command("get").split("time=")[1].split()[0],
                                    50 if p == 3 else 60)

    for p, times in ((3, [("00:00:01:45", "00:00:01:44"), ("-00:00:00:01", "-00:00:00:02")]),
                     (4, [("00:00:59;59", "00:00:59;58"), ("01:00:00;45", "01:00:00;44")])):
        check(decks(port)[p - 1]["resolution"] == 2, "port %d's resolution" % p)
        for tc, shown in times:
            check(pairs[p].command("time " + tc) == "ok", "decksim at %s" % tc)
            wait(lambda: decks(port)[p - 1]["time"] == shown, "port %d at %s showing %s" %
                 (p, tc, shown), 3)
        pairs[p].command("play")
        seen = set()
        for _ in range(40):
            shown, now = decks(port)[p - 1]["frames"], deck_frames(p)
            check(shown % 2 == 0 and 0 <= now - shown < 60,
                  "port %d showed frame %d with the deck at %d" % (p, shown, now))
            seen.add(shown)
            time.sleep(0.02)
        check(len(seen) > 10, "port %d's time did not run: %s" % (p, sorted(seen)))
        pairs[p].command("stop")

    start = pairs[3].trace_bytes().count("DF")
    for path, body in (("decks/3/cue", {"timecode": "01:00:00:45"}),
                       ("decks/3/mark", {"which": "in", "frames": 180045}),
                       ("log", {"port": 3, "in": "01:00:00:45"}),
                       ("decks/3/cue", {"timecode": "10:00:00:02"})):
        status, data = request(port, "POST", "/api/" + path, json.dumps(body))
        check(status == 400 and ("01:00:00:44 or 01:00:00:46" in data.decode() or
                                 "-13:59:59:48 to 10:00:00:00;" in data.decode()),
              "%s %s on the 50 fps deck: %d %s" % (path, body, status, data))
    check(pairs[3].trace_bytes().count("DF") == start, "a refused cue reached the deck")
    status, data = request(port, "POST", "/api/decks/3/cue", '{"timecode": "01:00:00:46"}')
    check(status == 200 and "DF 93 30 A1 31 30 30 30 30 32 33 40" in
          " ".join(pairs[3].trace_bytes()), "the cue to 01:00:00:46 at 50: %d %s" % (status, data))
    wait(lambda: decks(port)[2]["time"] == "01:00:00:46" and deck_frames(3) == 180046,
         "the 50 fps deck at 01:00:00:46", 5)


def a0_reads(rig, seconds):
    """The deck's time reads over the next `seconds`: how many a second, and the longest
    pause between two of them, by decksim's own clock."""
    def times():
        return [float(t) for t in re.findall(r"^(\S+) in A0 out", rig.deck.output(), re.M)]
    start = len(times())
    time.sleep(seconds)
    end = len(times())
    # The first read after the window closes it: a pause that began inside shows whole.
    got = deckrig.wait(lambda: times()[max(start - 1, 0):] if len(times()) > end else None,
                       "a time read after the window")
    gaps = [b - a for a, b in zip(got, got[1:])]
    return (end - start) / seconds, max(gaps)


def slow_client(rig):
    rig.start_deck(baud=9600)
    srv = rig.start_server()
    wait_answering(srv.port)
    request(srv.port, "POST", "/api/decks/1/play", "{}")
    watcher = sse_connect(srv.port)
    got = []
    stop = threading.Event()

    def watch():
        while not stop.is_set():
            try:
                chunk = watcher.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            got.append((time.monotonic(), chunk.count(b"event: decks")))

    t = threading.Thread(target=watch)
    t.start()
    time.sleep(1.0)
    before, _ = a0_reads(rig, 3.0)
    stuck = sse_connect(srv.port, rcvbuf=4096)  # connects, then never reads
    time.sleep(2.0)
    during, longest = a0_reads(rig, 3.0)
    now = time.monotonic()
    events = [now - 3.0] + [when for when, n in got if n and when > now - 3.0] + [now]
    recent = len(events) - 2
    event_gap = max(b - a for a, b in zip(events, events[1:]))
    # The stuck client is dropped: once it has been unread for a while, what the kernel still
    # holds for it ends in the server's close.
    time.sleep(12.0)
    stuck.settimeout(5)
    data = b""
    try:
        while len(data) < (8 << 20):
            chunk = stuck.recv(65536)
            if not chunk:
                break
            data += chunk
        else:
            raise Failure("the stuck client was never dropped")
    except socket.timeout:
        raise Failure("the stuck client was never dropped (%d bytes waiting)" % len(data))
    stop.set()
    t.join()
    watcher.close()
    print("time reads a second: %.1f before, %.1f with a stuck client; %d events to the "
          "watcher in 3 s; the stuck client got %d bytes before its close"
          % (before, during, recent, len(data)))
    # A deck thread or a stream that waited on the stuck client would stall for the 5 s write
    # time-out. Pauses, not rates, tell that apart from a busy machine's scheduling.
    check(longest < 2.5, "a stuck client held the deck's time reads for %.2f s" % longest)
    check(event_gap < 2.5, "a stuck client held the reading client's events for %.2f s"
          % event_gap)
    check(srv.poll() is None, "the server died")


def kill9(rig):
    log = os.path.join(rig.work, "data", "log.json")
    rig.start_deck()
    acked_total = 0
    for round_ in range(12):
        srv = rig.start_server(log=log)
        status, data = request(srv.port, "GET", "/api/log")
        check(status == 200, "the log did not load after kill -9 (round %d)" % round_)
        have = len(json.loads(data)["clips"])
        check(acked_total <= have <= acked_total + 1,
              "round %d: %d clips acknowledged, %d in the file" % (round_, acked_total, have))
        acked_total = have
        acked = [0]

        def writer():
            for i in range(100000):
                try:
                    st, _ = request(srv.port, "POST", "/api/log", json.dumps(
                        {"name": "clip %d %s" % (i, "x" * random.randrange(200)),
                         "in": "00:00:%02d:00" % (i % 60)}))
                except (OSError, http.client.HTTPException):
                    return
                if st != 201:
                    return
                acked[0] += 1

        t = threading.Thread(target=writer)
        t.start()
        time.sleep(random.uniform(0.2, 0.6))
        srv.kill()
        srv.wait()
        srv.killed = True
        t.join()
        with open(log) as f:
            text = f.read()
        try:
            doc = json.loads(text)
        except ValueError:
            raise Failure("round %d: a torn log file: ...%r" % (round_, text[-80:]))
        n = len(doc["clips"])
        check(acked_total + acked[0] <= n <= acked_total + acked[0] + 1,
              "round %d: %d clips acknowledged in all, %d in the file"
              % (round_, acked_total + acked[0], n))
        acked_total = n
    check(acked_total > 20, "too few writes happened to prove anything: %d" % acked_total)
    leftovers = [f for f in os.listdir(os.path.dirname(log)) if ".tmp-" in f]
    srv = rig.start_server(log=log)
    request(srv.port, "GET", "/api/log")
    check(all(not os.path.exists(os.path.join(os.path.dirname(log), f)) for f in leftovers),
          "temporary files of killed writes were left behind")
    print("%d clips written over 12 kill -9 rounds; the file was whole every time" % acked_total)
    log_alone(rig, srv)


def log_alone(rig, srv):
    """A second server on the same log is refused and names the first one's pid; a write
    cut off halfway (a file size limit) leaves the old log whole and answers 5xx."""
    log = os.path.join(rig.work, "data", "log.json")
    second = subprocess.run([rig.deckctl, "serve", "--log", log, "--listen", "127.0.0.1:0"],
                            capture_output=True, text=True, timeout=20, env=rig.server_env())
    check(second.returncode != 0 and "pid %d" % srv.pid in second.stdout + second.stderr,
          "a second server on the log: exit %d, %r" % (second.returncode, second.stderr))
    srv.send_signal(signal.SIGTERM)
    srv.wait(10)
    before = open(log).read()
    srv = rig.start_server(log=log, deck=False, file_limit=len(before) + 300)
    st, data = request(srv.port, "POST", "/api/log", json.dumps(
        {"name": "too long for the disk", "note": "n" * 1500, "in": "00:00:01:00"}))
    check(500 <= st < 600, "a write cut off halfway answered %d: %s" % (st, data[:200]))
    check(open(log).read() == before, "a write cut off halfway changed the log")
    st, data = request(srv.port, "GET", "/api/log")
    check(len(json.loads(data)["clips"]) == len(json.loads(before)["clips"]),
          "the server lists a clip it could not write")


def timed_request(port, method, path, body=None):
    t0 = time.monotonic()
    return request(port, method, path, body)[0], time.monotonic() - t0


def slow_disk(rig):
    """While the disk holds every fsync, a deck's stop is answered in its usual time and 60
    reads of the log get its last saved state at once; the clips logged meanwhile are saved
    once the disk lets go. A folder fsync that fails answers 500 and leaves the log as it
    was, in the file and in the server."""
    disk, log = os.path.join(rig.work, "disk"), os.path.join(rig.work, "data", "log.json")
    rig.start_deck()
    port = rig.start_server(log=log, env=rig.server_env(
        LD_PRELOAD=rig.shim, FSYNC_STALL_CONTROL=disk, ASAN_OPTIONS="verify_asan_link_order=0"
    )).port
    wait_answering(port)
    for i in range(3):
        request(port, "POST", "/api/log", json.dumps({"name": "before", "in": "00:00:01:00"}))
    usual = max(timed_request(port, "POST", "/api/decks/1/stop", "{}")[1] for _ in range(3))
    open(disk, "w").write("stall")
    release = threading.Timer(6.0, os.unlink, args=(disk,))
    release.start()
    added, read = [], []

    def reader(i):
        t0 = time.monotonic()
        if i % 3 == 2:
            s = sse_connect(port)
            data = read_until(s, b"event: log")
            s.close()
        else:
            data = request(port, "GET", "/api/log.csv" if i % 3 else "/api/log")[1]
        read.append((data.count(b"before") == 3 and b"meanwhile" not in data,
                     time.monotonic() - t0))

    writers = [threading.Thread(target=lambda: added.append(request(
        port, "POST", "/api/log", '{"name": "meanwhile", "in": "00:00:02:00"}')[0]))
        for _ in range(8)]
    readers = [threading.Thread(target=reader, args=(i,)) for i in range(60)]
    for t in writers + [None] + readers:
        t.start() if t else time.sleep(0.5)  # the writers wait for the disk, then the reads
    status, stop_time = timed_request(port, "POST", "/api/decks/1/stop", "{}")
    # Answered while the disk still holds every fsync (6 s): a stop that waited for the disk
    # would come after. Its time says how the machine fared, not whether it waited.
    stop_in_stall = os.path.exists(disk)
    for t in readers:
        t.join()
    stalled = os.path.exists(disk)
    for t in [release] + writers:
        t.join()
    print("a stop took %.0f ms during the stall (%.0f ms before it); the slowest of 60 reads "
          "%.0f ms" % (stop_time * 1000, usual * 1000, max(t for _, t in read) * 1000))
    check(status == 200 and stop_in_stall,
          "a deck's stop waited for the disk: %.2f s (%.2f s before)" % (stop_time, usual))
    check(stalled and all(ok for ok, _ in read),
          "reads of the log waited for the disk or saw unsaved clips: %s" % read[:5])
    check(added == [201] * 8 and len(json.load(open(log))["clips"]) == 11,
          "the clips logged during the stall: %s" % added)

    before = open(log).read()
    open(disk, "w").write("fail-folder")
    status, data = request(port, "POST", "/api/log", json.dumps({"in": "00:00:03:00"}))
    check(status == 500 and open(log).read() == before and
          len(json.loads(request(port, "GET", "/api/log")[1])["clips"]) == 11,
          "a save whose folder fsync failed answered %d (%s), or the log kept it" % (status, data))
    os.unlink(disk)
    status, data = request(port, "POST", "/api/log", json.dumps({"in": "00:00:03:00"}))
    check(status == 201 and len(json.load(open(log))["clips"]) == 12,
          "saving after the disk recovered: %d %s" % (status, data))


class Watcher(threading.Thread):
    """An event stream's clips, applied as the page applies them: the whole log, then the
    changes it does not already hold (by their seq)."""

    def __init__(self, port):
        super().__init__()
        self.sock = sse_connect(port)
        self.sock.settimeout(0.2)
        self.clips, self.seq, self.error = None, -1, None
        self.done = threading.Event()
        self.start()

    def run(self):
        buf = b""
        while not self.done.is_set() and not self.error:
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            self.error = None if chunk else "the stream closed"
            *events, buf = (buf + chunk).split(b"\n\n")
            for e in events:
                lines = dict(x.split(b": ", 1) for x in e.split(b"\n") if b": " in x)
                data = json.loads(lines.get(b"data", b"null"))
                if lines.get(b"event") == b"log":
                    self.clips = {c["id"]: c for c in data["clips"]}
                    self.seq = data.get("seq", -1)
                elif lines.get(b"event") == b"clips" and data.get("seq", 1 << 62) > self.seq:
                    for gone in data["deleted"]:
                        self.clips.pop(gone, None)
                    self.clips.update({c["id"]: c for c in data["clips"]})
                    self.seq = data.get("seq", self.seq)


def stream_race(rig):
    """Edits, additions and deletions from four clients while forty streams connect: every
    stream ends with the clips the file holds. HEAD /api/events is headers only."""
    log = os.path.join(rig.work, "log.json")
    port = rig.start_server(log=log, deck=False).port
    # A day's log, so that a stream's first state takes a while to make.
    request(port, "POST", "/api/log.csv", "name,in\r\n" + "x,00:00:01:00\r\n" * 3000)
    stop = threading.Event()

    def editor(k):
        mine = []
        while not stop.is_set():
            pick = random.random()
            if pick < 0.5:  # the same few clips, edited by every client
                request(port, "PUT", "/api/log/%d" % random.randint(1, 4),
                        json.dumps({"name": "by %d at %f" % (k, time.time())}))
            elif pick < 0.7 or not mine:
                mine.append(json.loads(request(port, "POST", "/api/log", json.dumps(
                    {"name": "by %d" % k, "in": "00:00:02:00"}))[1])["id"])
            else:
                request(port, "DELETE", "/api/log/%d" % mine.pop(random.randrange(len(mine))))

    editors = [threading.Thread(target=editor, args=(k,)) for k in range(4)]
    for t in editors:
        t.start()
    watchers = []
    for _ in range(40):
        watchers.append(Watcher(port))
        time.sleep(0.05)
    stop.set()
    for t in editors:
        t.join()
    want = {c["id"]: c for c in json.load(open(log))["clips"]}
    try:
        wait(lambda: all(w.clips == want or w.error for w in watchers), "the streams", 5)
    except Failure:
        pass  # which disagree, below
    for w in watchers:
        w.done.set()
    wrong = [w.error or sorted(set(w.clips) ^ set(want)) or [
        i for i in want if w.clips[i] != want[i]] for w in watchers if w.clips != want]
    check(not wrong, "%d of 40 streams disagree with the file, e.g. %s" % (len(wrong), wrong[:1]))

    s = sse_connect(port, method=b"HEAD")
    s.settimeout(2)
    answer = read_until(s, b"\r\n\r\n")
    time.sleep(0.5)
    check(answer.startswith(b"HTTP/1.1 200") and answer.endswith(b"\r\n\r\n") and
          b"text/event-stream" in answer and s.recv(1024) == b"", "HEAD /api/events: %r" % answer)


def main():
    deckctl, decksim, case = sys.argv[1:4]
    rig = Rig(deckctl, decksim, sys.argv[4] if len(sys.argv) > 4 else None)
    failure = None
    try:
        {"security": security, "clients": clients, "slow_client": slow_client,
         "kill9": kill9, "slow_disk": slow_disk, "stream_race": stream_race,
         "deck_faults": deck_faults, "rates": rates, "capture": capture}[case](rig)
    except (Failure, AssertionError) as e:
        failure = str(e)
    problems = rig.close()
    if failure or problems:
        print("FAIL: %s" % "; ".join(([failure] if failure else []) + problems))
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
