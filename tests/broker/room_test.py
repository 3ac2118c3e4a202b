#!/usr/bin/env python3
"""A machine room against a real Mosquitto broker (the shipped config and ACL): machines A and
B (`deckctl serve --machine`, each in front of decksim) and a hub (`deckctl serve --hub`).
decksim's trace is the witness of what reached a deck; mosquitto_pub and mosquitto_sub speak
to the broker as its users do.

usage: room_test.py DECKCTL DECKSIM CASE
"""
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import deckrig  # noqa: E402

IDLE = {"D7", "B0", "DE", "C1", "A0"}  # what a deck's own thread asks
KEEPALIVE = 5
TOKEN = "room-test-%032x" % random.getrandbits(128)


def check(ok, what):
    if not ok:
        raise AssertionError(what)


def wait(cond, what, limit=10.0):
    return deckrig.wait(cond, what, limit)


class Room:
    def __init__(self, deckctl, decksim):
        self.deckctl, self.decksim = deckctl, decksim
        self.work = tempfile.mkdtemp(prefix="room-test-")
        self.users = {u: "%s-%08x" % (u, random.getrandbits(32)) for u in ("hub", "A", "B")}
        self.broker = deckrig.Broker(self.work, self.users)
        self.decks, self.servers, self.subs = {}, {}, []

    def password_file(self, user, password=None):
        path = os.path.join(self.work, "%s-%d.pw" % (user, len(self.servers)))
        with open(path, "w") as f:
            f.write((password or self.users[user]) + "\n")
        return path

    def serve(self, name, *extra, password=None, url=None):
        """Machine NAME in front of its deck (started once), or the hub."""
        links = None
        if name != "hub":
            if name not in self.decks:
                self.decks[name] = deckrig.Decksim(
                    self.decksim, link=os.path.join(self.work, "deck" + name), trace=True)
            links = {1: self.decks[name].link}
        role = ["--hub"] if name == "hub" else ["--machine", name]
        srv = deckrig.Server(
            self.deckctl, os.path.join(self.work, "%s-%d.txt" % (name, len(self.servers))),
            os.path.join(self.work, name + ".json"), links=links, token=TOKEN,
            extra=["--broker", url or self.broker.url, "--broker-keepalive", str(KEEPALIVE),
                   "--broker-password-file",
                   self.password_file("hub" if name == "hub" else name, password)] + role +
            list(extra))
        self.servers[name] = srv
        return srv

    def start(self, *machines):
        for m in machines:
            self.serve(m)
        self.serve("hub")
        for m in machines:
            self.wait_deck(m, lambda d: d["answering"], "%s:1 to answer on the hub" % m)

    def api(self, who, method, path, body=None):
        if isinstance(body, dict):
            body = json.dumps(body)
        status, data = deckrig.request(self.servers[who].port, method, path, body, token=TOKEN)
        try:
            return status, json.loads(data)
        except ValueError:
            return status, data.decode(errors="replace")

    def hub_decks(self):
        return {"%s:%d" % (d["machine"], d["port"]): d for d in self.api("hub", "GET",
                                                                          "/api/decks")[1]["decks"]}

    def wait_deck(self, machine, pred, what, limit=10.0):
        wait(lambda: (lambda d: d is not None and pred(d))(
            self.hub_decks().get(machine + ":1")), what, limit)

    def wire(self, machine):
        """What reached the machine's deck, its own thread's questions left out."""
        return [b for b in self.decks[machine].trace_bytes() if b not in IDLE]

    def listen(self, topic, user=None, fmt="%t|%D|%P|%r|%p"):
        """Messages on TOPIC from now on, as lines (mosquitto_sub -F FMT); a function reads them.
        By default as a tool with the hub's rights, one of its own."""
        out = os.path.join(self.work, "sub-%d.txt" % len(self.subs))
        self.subs.append(self.broker.sub(user or self.broker.listener(), topic, out, fmt))
        return lambda: open(out).read().splitlines()

    def command(self, machine, port, action, body, correlation, user=deckrig.TOOL, expiry=30,
                answer_to=None, sent=True):
        """A command as a hub sends it, by mosquitto_pub; the completed process. `sent` is
        now, or as many seconds ago, or the property's text as it stands. The expiry is long
        enough that a loaded machine never reaches it in a row that is not about expiry."""
        props = [("correlation-data", correlation),
                 ("response-topic", answer_to or "tapedeck5500/v1/%s/replies/test" % machine)]
        if expiry is not None:
            props.append(("message-expiry-interval", expiry))
        if isinstance(sent, str):
            props.append(("user-property", "sent", sent))
        elif sent is not False:
            now = time.time() - (0 if sent is True else sent)
            props.append(("user-property", "sent", "%d:%09d" % (int(now), (now % 1) * 1e9)))
        return self.broker.pub(user, "tapedeck5500/v1/%s/decks/%s/command/%s"
                               % (machine, port, action), body, props=props)

    def close(self):
        problems = []
        for p in self.subs:
            p.kill()
        for name, srv in self.servers.items():
            if not srv.stop() or srv.proc.returncode not in (0, -signal.SIGKILL):
                problems.append("%s ended badly: %s" % (name, srv.output()[-800:]))
        for d in self.decks.values():
            d.stop()
        self.broker.stop()
        shutil.rmtree(self.work, ignore_errors=True)
        return problems


def answers(lines, correlation):
    """(status, body) of each answer with this correlation data."""
    out = []
    for line in lines():
        topic, corr, props, _, payload = line.split("|", 4)
        if corr == correlation:
            out.append((int(props.split("status:")[1].split()[0]), json.loads(payload)))
    return out


def states(room):
    """Each deck's state retained as an IS-07 event, its time at every read, the machine's
    presence; the hub's decks by machine, a command through it reaching that deck alone, the
    machine's own refusals in its words, and a clip log that names machines."""
    room.start("A", "B")
    seen = room.listen("tapedeck5500/v1/A/#", fmt="%t|%r|%p")
    time.sleep(1.0)
    by_topic = {}
    for line in seen():
        topic, retained, payload = line.split("|", 2)
        by_topic.setdefault(topic.split("/", 3)[3], []).append((retained, json.loads(payload)))
    state = by_topic["decks/1/state"][0]
    event = state[1]
    check(state[0] == "1" and event["message_type"] == "state" and event["event_type"] == "object"
          and re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-5[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
                           event["identity"]["source_id"])
          and re.fullmatch(r"\d+:\d{9}", event["timing"]["origin_timestamp"])
          and event["payload"]["machine"] == "A" and event["payload"]["port"] == 1,
          "A's retained state: %s" % (state,))
    times = by_topic.get("decks/1/time", [])
    check(len(times) >= 20 and all(r == "0" for r, _ in times) and
          times[-1][1]["payload"]["unit"] == "frames", "A's time messages in 1 s: %d" % len(times))
    check(by_topic["connection"][0][0] == "1" and
          by_topic["connection"][0][1]["status"] == "online", "A's presence: %s"
          % by_topic["connection"])
    decks = room.api("hub", "GET", "/api/decks")[1]["decks"]
    check([(d["machine"], d["port"], d["machineOnline"]) for d in decks] ==
          [("A", 1, True), ("B", 1, True)], "the hub's decks: %s" % decks)

    check(room.api("hub", "POST", "/api/decks/A:1/play", "{}") ==
          (200, {"ok": True, "command": 9, "result": 1}), "play through the hub")
    wait(lambda: "3A" in room.wire("A"), "play on A's wire")
    room.wait_deck("A", lambda d: d["state"] == "playing", "A:1 playing on the hub")
    check(room.wire("B") == [], "B's wire heard %s" % room.wire("B"))
    for action, body in (("shuttle", '{"speed": 9}'), ("cue", '{"timecode": "00:61:00:00"}'),
                         ("play", "[1]"), ("play", "{oops"), ("jump", "{}")):
        via_hub = room.api("hub", "POST", "/api/decks/A:1/" + action, body)
        local = room.api("A", "POST", "/api/decks/1/" + action, body)
        check(via_hub == local, "%s %s: the hub said %s, the machine %s"
              % (action, body, via_hub, local))

    status, refused = room.api("hub", "POST", "/api/capture", {"clips": [1]})
    check(status == 409 and "a hub has no decks of its own" in refused["error"],
          "a capture asked of the hub: %s %s" % (status, refused))
    status, clip = room.api("hub", "POST", "/api/log",
                            {"machine": "B", "port": 1, "in": "00:00:10:00", "out": "00:00:12:00"})
    check(status == 201 and clip["machine"] == "B", "a clip of B:1 on the hub: %s" % clip)
    check(room.api("hub", "POST", "/api/log", {"machine": "C", "port": 1, "in": "00:00:10:00"})[0]
          == 400, "a clip of a deck nobody serves")
    csv = deckrig.request(room.servers["hub"].port, "GET", "/api/log.csv", token=TOKEN)[1]
    check(csv.decode().splitlines()[0].endswith(",machine") and '"B"' in csv.decode(),
          "the hub's CSV: %s" % csv)
    for machine, events in (("B", 1), ("A", 0)):
        edl = deckrig.request(room.servers["hub"].port, "GET",
                              "/api/log.edl?machine=%s&port=1" % machine, token=TOKEN)[1].decode()
        check(len(re.findall(r"^\d{3}  ", edl, re.M)) == events, "the EDL of %s:1: %s"
              % (machine, edl))
    # A CSV of before, without the machine column, still reads: its row updates the clip.
    status, log = room.api("hub", "POST", "/api/log.csv",
                           "id,port,name,in\r\n%d,1,renamed,00:00:10:00\r\n" % clip["id"])
    check(status == 200 and log["clips"][0]["name"] == "renamed" and
          log["clips"][0]["machine"] == "B", "an older CSV on the hub: %s %s" % (status, log))


def acl(room):
    """The broker is the gate: B may not command A's deck (PUBACK 135) nor hear its commands,
    nor speak under A's name; only the hub commands, A's own user not; a client without a
    password is turned away; A's wire is silent."""
    room.serve("A")
    wait(lambda: room.api("A", "GET", "/api/decks")[1]["broker"]["connected"], "A to join")
    before = room.wire("A")
    # The broker lets B subscribe, and hands it none of A's commands.
    overheard = room.listen("tapedeck5500/v1/A/decks/+/command/+", user="B")
    got = room.listen("tapedeck5500/v1/A/replies/#")
    room.command("A", 1, "clearmarks", "{}", "acl-0")
    wait(lambda: answers(got, "acl-0"), "A's answer to the hub")
    check(overheard() == [], "B heard %s" % overheard())
    r = room.command("A", 1, "play", "{}", "acl-1", user="B",
                     answer_to="tapedeck5500/v1/B/replies/x")
    check("RC:135" in r.stdout, "B commanding A's deck: %s" % r.stdout)
    r = room.broker.pub("B", "tapedeck5500/v1/A/decks/1/state", "{}")
    check("RC:135" in r.stdout, "B speaking as A: %s" % r.stdout)
    r = room.command("A", 1, "play", "{}", "acl-2", user="A")
    check("RC:135" in r.stdout, "A commanding its own deck, not being the hub: %s" % r.stdout)
    r = room.broker.pub("anyone", "tapedeck5500/v1/A/decks/1/command/play", "{}", password="")
    check(r.returncode != 0 and "not authori" in (r.stdout + r.stderr).lower(),
          "a client without a password: %s %s" % (r.stdout, r.stderr))
    time.sleep(1.0)
    check(room.wire("A") == before, "A's wire heard %s" % room.wire("A"))


def duplicate(room):
    """QoS 1 may deliver twice: the same correlation id runs once and is answered twice."""
    room.serve("A")
    wait(lambda: room.api("A", "GET", "/api/decks")[1]["broker"]["connected"], "A to join")
    got = room.listen("tapedeck5500/v1/A/replies/#")
    for _ in range(2):
        room.command("A", 1, "play", "{}", "dup-1")
    wait(lambda: len(answers(got, "dup-1")) == 2, "two answers")
    check(answers(got, "dup-1")[0] == answers(got, "dup-1")[1] ==
          (200, {"ok": True, "command": 9, "result": 1}), "answers: %s" % answers(got, "dup-1"))
    time.sleep(0.5)
    check(room.wire("A").count("3A") == 1, "A's wire: %s" % room.wire("A"))


def expired(room):
    """A play that the broker hands on late, after a stall, never rolls tape; nor does one
    without an expiry."""
    room.start("A")
    result = {}
    room.broker.proc.send_signal(signal.SIGSTOP)
    try:
        t = threading.Thread(target=lambda: result.update(
            play=room.api("hub", "POST", "/api/decks/A:1/play", "{}")))
        t.start()
        time.sleep(3.0)
    finally:
        room.broker.proc.send_signal(signal.SIGCONT)
    t.join(15)
    status, body = result["play"]
    check(status == 504 and "after its expiry" in body["error"], "the late play: %s" % (body,))
    got = room.listen("tapedeck5500/v1/A/replies/#")
    room.command("A", 1, "play", "{}", "no-expiry", expiry=None)
    wait(lambda: answers(got, "no-expiry"), "the answer to a play without expiry")
    check(answers(got, "no-expiry")[0][0] == 400, "no expiry: %s" % answers(got, "no-expiry"))
    time.sleep(1.0)
    check("3A" not in room.wire("A"), "A's wire: %s" % room.wire("A"))


def bad_input(room):
    """Commands for no deck, malformed ones, one without anywhere to answer, and sizes: each
    refused (404, 400, 413, or by the broker), none reaching the wire; messages of the wrong
    shape from a machine leave the hub standing."""
    # What a machine may publish under its own name, of the wrong shape: the hub reads past it.
    # (Before A's server joins: each user has one session at a time.)
    room.serve("hub")
    for topic, payload in (("connection", '{"active": "yes", "keepalive": "x"}'),
                           ("decks/1/state", '{"payload": {"port": "1", "machine": 5}}'),
                           ("decks/1/time", '{"payload": {"value": 5, "time": 7}}'),
                           ("decks/1/state", "[")):
        check(room.broker.pub("A", "tapedeck5500/v1/A/" + topic, payload).returncode == 0, topic)
    room.serve("A")
    room.wait_deck("A", lambda d: d["answering"], "A:1 on the hub after A's odd messages")
    got = room.listen("tapedeck5500/v1/A/replies/#")
    for corr, port, action, body, status, words, how in (
            ("c1", 9, "play", "{}", 404, "no deck on port '9'", {}),
            ("c2", 1, "play", "{oops", 400, "the body must be a JSON object", {}),
            ("c3", 1, "shuttle", '{"speed": "x"}', 400, "shuttle wants", {}),
            ("c4", 1, "play", "x" * (20 * 1024), 413, "16 KiB at most", {}),
            # Past what the nanosecond clock holds: no time at all, not a time long ago.
            ("c7", 1, "play", "{}", 400, "is not a time", {"sent": "999999999999:000000000"}),
            # An expiry whose milliseconds pass 32 bits: still the long life it asks for.
            ("c8", 1, "clearmarks", "{}", 200, None, {"expiry": 4294968, "sent": 1.0})):
        room.command("A", port, action, body, corr, **how)
        wait(lambda: answers(got, corr), "the answer to " + corr)
        s, b = answers(got, corr)[0]
        check(s == status and (words is None or words in b["error"]), "%s: %s %s" % (corr, s, b))
    check(room.api("hub", "POST", "/api/decks/A:9/play", "{}")[0] == 404, "A:9 through the hub")
    check(room.api("hub", "POST", "/api/decks/C:1/play", "{}")[0] == 404, "C:1 through the hub")
    # Nowhere this machine may answer: not carried out.
    room.command("A", 1, "play", "{}", "c5", answer_to="tapedeck5500/v1/B/replies/x")
    # 1 MiB: an MQTT 5 client will not send past the broker's maximum; an MQTT 3.1.1 client
    # that does is cut off by the broker.
    r = room.command("A", 1, "play", "x" * (1 << 20), "c6")
    check("sending PUBLISH" not in r.stdout, "1 MiB over MQTT 5: %s" % r.stdout)
    big = subprocess.run(room.broker._client("mosquitto_pub", deckrig.TOOL) +
                         ["-V", "mqttv311", "-q", "1", "-t", "tapedeck5500/v1/A/decks/1/command/play",
                          "-s"], input=b"x" * (1 << 20), capture_output=True)
    check(big.returncode != 0, "1 MiB over MQTT 3.1.1 was taken")
    wait(lambda: "oversize" in open(room.broker.log.name).read(), "the broker to refuse 1 MiB")
    time.sleep(1.0)
    check(room.wire("A") == [] and not answers(got, "c5"), "A's wire: %s" % room.wire("A"))


def takeover(room):
    """No other user's password pushes a machine off the broker, whatever client id it asks
    for; a second server started with a name already online is refused in words, the first
    keeps its place, and the hub shows the clash."""
    room.start("A")
    out = os.path.join(room.work, "takeover.txt")
    room.subs += [room.broker.sub("B", "tapedeck5500/v1/B/#", out, args=["-i", cid])
                  for cid in ("A", "tapedeck5500-machine-A")]
    end = time.monotonic() + 4.0
    while time.monotonic() < end:
        check(room.hub_decks()["A:1"]["machineOnline"], "A went offline under B's sign-ins")
        time.sleep(0.2)
    check("took this one's session" not in room.servers["A"].output(),
          "B's sign-ins took A's session: %s" % room.servers["A"].output()[-600:])
    second = subprocess.run(
        [room.deckctl, "serve", "--sim", "--listen", "127.0.0.1:0", "--log",
         os.path.join(room.work, "second.json"), "--broker", room.broker.url,
         "--broker-keepalive", str(KEEPALIVE), "--broker-password-file",
         room.password_file("A"), "--machine", "A"],
        capture_output=True, text=True, timeout=60, env=dict(os.environ, TAPEDECK_TOKEN=TOKEN))
    said = second.stdout + second.stderr
    check(second.returncode != 0 and "machine A is already online on the broker" in said,
          "the second server A: %s %s" % (second.returncode, said))
    room.wait_deck("A", lambda d: d["machineOnline"] and "turned away" in d.get(
        "machineClash", ""), "the clash shown on the hub")
    check(room.api("hub", "POST", "/api/decks/A:1/play", "{}")[0] == 200, "a play after it")
    wait(lambda: "3A" in room.wire("A"), "the play on the first A's wire")


def broker_restart(room):
    """The broker killed mid-session: each machine's own page keeps working; once it is back
    everyone rejoins, states are retained again and the hub's commands reach the decks."""
    room.start("A", "B")
    room.broker.kill()
    wait(lambda: not room.api("A", "GET", "/api/decks")[1]["broker"]["connected"],
         "A to see the broker gone")
    check(room.api("A", "POST", "/api/decks/1/play", "{}")[0] == 200, "A's own play")
    wait(lambda: "3A" in room.wire("A"), "A's own play on the wire")
    check(room.api("hub", "POST", "/api/decks/B:1/play", "{}")[0] == 503, "the hub, alone")
    room.broker.start()
    wait(lambda: all(room.api(n, "GET", "/api/decks")[1]["broker"]["connected"]
                     for n in ("A", "B", "hub")), "everyone to rejoin", 20)
    retained = room.listen("tapedeck5500/v1/B/decks/1/state", fmt="%r")
    wait(lambda: "1" in retained(), "B's state retained again")
    check(room.api("hub", "POST", "/api/decks/B:1/play", "{}")[0] == 200, "B's play")
    wait(lambda: "3A" in room.wire("B"), "B's play on the wire")


def machines_lost(room):
    """A machine killed shows lost at once (its Will), then back when restarted; one whose
    network stops shows lost after its keep-alive and offline within 1.5 times it."""
    room.start("A", "B")
    room.servers["A"].proc.kill()
    room.wait_deck("A", lambda d: not d["answering"] and not d["machineOnline"], "A:1 lost", 3)
    check(room.hub_decks()["B:1"]["answering"], "B:1 lost with A")
    room.servers["A"].proc.wait()
    room.serve("A")
    room.wait_deck("A", lambda d: d["answering"] and d["machineOnline"], "A:1 back")
    room.servers["B"].proc.send_signal(signal.SIGSTOP)
    t0 = time.monotonic()
    room.wait_deck("B", lambda d: not d["answering"], "B:1 quiet", KEEPALIVE + 2)
    room.wait_deck("B", lambda d: not d["machineOnline"], "B offline", KEEPALIVE * 1.5 + 2)
    check(time.monotonic() - t0 <= KEEPALIVE * 1.5 + 2, "B offline after %.1f s"
          % (time.monotonic() - t0))
    room.servers["B"].proc.send_signal(signal.SIGCONT)
    room.wait_deck("B", lambda d: d["answering"] and d["machineOnline"], "B:1 back", 15)


def tls(room):
    """mqtts: a machine that trusts the broker's CA joins over TLS; one given another CA says
    so and keeps its own page."""
    room.broker.stop()
    room.broker = deckrig.Broker(room.work, room.users, tls=True)
    room.serve("hub")
    room.serve("A", "--broker-ca", room.broker.ca, url=room.broker.tls_url)
    room.wait_deck("A", lambda d: d["answering"], "A:1 on the hub, over TLS")
    other = os.path.join(room.work, "other-ca.crt")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=another CA", "-keyout", other + ".key", "-out", other],
                   check=True, capture_output=True)
    srv = room.serve("B", "--broker-ca", other, url=room.broker.tls_url)
    wait(lambda: "TLS" in srv.output(), "B to say it cannot trust the broker")
    check(not room.api("B", "GET", "/api/decks")[1]["broker"]["connected"] and
          "B:1" not in room.hub_decks(), "B joined through a CA it was not given")


def wrong_password(room):
    """A wrong password: the machine says so and keeps serving its own page and deck."""
    srv = room.serve("A", password="not-the-password")
    wait(lambda: "refused user 'A'" in srv.output(), "the refusal in A's error log")
    status, decks = room.api("A", "GET", "/api/decks")
    check(status == 200 and not decks["broker"]["connected"] and
          "refused user 'A'" in decks["broker"]["error"], "A's page: %s" % decks.get("broker"))
    wait(lambda: room.api("A", "GET", "/api/decks")[1]["decks"][0]["answering"], "A's deck")
    check(room.api("A", "POST", "/api/decks/1/play", "{}")[0] == 200, "A's own play")
    wait(lambda: "3A" in room.wire("A"), "A's play on the wire")


CASES = {f.__name__: f for f in (states, acl, duplicate, expired, bad_input, takeover,
                                 broker_restart, machines_lost, tls, wrong_password)}


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in CASES:
        print(__doc__ + "CASE: " + ", ".join(CASES), file=sys.stderr)
        return 2
    if not shutil.which("mosquitto"):
        print("skipped: mosquitto is not installed (scripts/install-deps broker)")
        return 77
    room = Room(sys.argv[1], sys.argv[2])
    failed = True
    try:
        CASES[sys.argv[3]](room)
        failed = False
    except AssertionError as e:
        print("FAIL: %s" % e)
        for name, srv in room.servers.items():
            print("--- %s:\n%s" % (name, srv.output()[-1500:]))
    finally:
        problems = room.close()  # whatever went wrong, nothing is left running
    for p in problems:
        print("FAIL: " + p)
    return 1 if failed or problems else 0


if __name__ == "__main__":
    sys.exit(main())
