"""What every Python harness needs around the real binaries: decksim and `deckctl serve` as
processes, waiting for a link, a socket or a URL, decksim's control socket and its trace, and
stopping processes cleanly. Standard library only.

From a shell: `python3 deckrig.py control SOCKET LINE` sends one control line and prints the
reply; the exit status is 0 only when the reply is `ok`.
"""
import array
import bisect
import getpass
import http.client
import json
import math
import os
import random
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# "12.345678 in 3A out 0A play": the byte that reached the deck is the one after "in".
TRACE_INPUT = re.compile(r"^\S+ in ([0-9A-F]{2}) out", re.M)

# The URL `deckctl serve` prints: the address it listens on, then any ?token=.
SERVE_URL = re.compile(r"http://([^/\s]+)/(\S*)")


def trace_bytes(text):
    """The bytes the deck received, in order, from decksim's trace output."""
    return TRACE_INPUT.findall(text)


def first_after(entries, t0, byte):
    """The time of the first (time, byte, ...) entry at or after t0 whose byte is `byte`, or
    None. Entries are in time order; the search starts at t0 however far back that is."""
    i = bisect.bisect_left(entries, t0, key=lambda e: e[0])
    return next((e[0] for e in entries[i:] if e[1] == byte), None)


def wait(cond, what, limit=10.0, fail=AssertionError, tolerate=(), alive=None):
    """Calls cond() every 50 ms until it gives something true and returns that; raises
    fail("timed out waiting for WHAT") after `limit` seconds. Exceptions of the `tolerate`
    types count as not yet; `alive`, when given, is called first on each round and may raise."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if alive:
            alive()
        try:
            r = cond()
        except tolerate:
            r = None
        if r:
            return r
        time.sleep(0.05)
    raise fail("timed out waiting for " + what)


def stop(proc, grace=10.0):
    """Ends a process: SIGTERM (after SIGCONT, since a stopped one would not act on it), then
    SIGKILL once `grace` seconds have passed. True when it ended without the SIGKILL."""
    if proc.poll() is not None:
        return True
    try:
        os.kill(proc.pid, signal.SIGCONT)
        proc.send_signal(signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        proc.wait(grace)
        return True
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return False


def control(path, line, timeout=2.0):
    """Sends one line to decksim's control socket and returns its one-line reply, stripped."""
    with socket.socket(socket.AF_UNIX) as sock:
        sock.settimeout(timeout)
        sock.connect(path)
        sock.sendall((line + "\n").encode())
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = sock.recv(4096)
            if not chunk:
                break
            reply += chunk
    return reply.decode(errors="replace").strip()


class Decksim:
    """decksim as its own process. Its output goes to the file `out` when given; otherwise a
    thread reads it from a pipe into `lines` ((monotonic time of arrival, text)) and `inputs`
    ((time, byte) of each byte traced), because decksim writes each trace line before the
    reply leaves, and a file on a busy disk can stall it past the plug-in's 50 ms time-out."""

    def __init__(self, decksim, link=None, control=None, trace=False, baud=None, fps=None,
                 out=None, limit=10.0, drop_frame=False, video_system=None, extra=()):
        self.link, self.control_path, self.out = link, control, out
        self.lines, self.inputs = [], []
        self.lock = threading.Lock()
        cmd = [decksim]
        for flag, value in (("--link", link), ("--control", control), ("--baud", baud),
                            ("--fps", fps), ("--video-system", video_system)):
            if value:
                cmd += [flag, str(value)]
        if trace:
            cmd.append("--trace")
        if drop_frame:
            cmd.append("--drop-frame")
        cmd += list(extra)
        if out:
            with open(out, "w") as f:
                self.proc = subprocess.Popen(cmd, stdout=f, stderr=subprocess.STDOUT,
                                             stdin=subprocess.DEVNULL)
        else:
            self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL, bufsize=0)
            self.reader = threading.Thread(target=self._read, daemon=True)
            self.reader.start()
        try:
            wait(lambda: all(os.path.exists(p) for p in (link, control) if p) and
                 self.device(), "decksim to open its line", limit, alive=self._alive)
        except AssertionError:
            self.stop()
            raise

    def _read(self):
        for raw in iter(self.proc.stdout.readline, b""):
            now = time.monotonic()
            text = raw.decode(errors="replace").rstrip("\n")
            m = TRACE_INPUT.match(text)
            with self.lock:
                self.lines.append((now, text))
                if m:
                    self.inputs.append((now, m.group(1)))

    def _alive(self):
        if self.proc.poll() is not None:
            raise AssertionError("decksim exited with %s: %s" % (self.proc.returncode,
                                                                   self.output()[-1500:]))

    def output(self):
        """Everything decksim printed so far."""
        if self.out:
            with open(self.out, errors="replace") as f:
                return f.read()
        with self.lock:
            return "".join(text + "\n" for _, text in self.lines)

    def device(self):
        """The pty's slave device, decksim's first line of output ('' before it comes)."""
        first = self.output().split("\n", 1)
        return first[0].strip() if len(first) > 1 else ""

    def trace_bytes(self):
        return trace_bytes(self.output())

    def command(self, line):
        """One control line (`fault nak`, `get`, ...); its reply. Needs --control."""
        return control(self.control_path, line)

    def stop(self, grace=10.0):
        return stop(self.proc, grace)


def new_token():
    """A token for a server to take through TAPEDECK_TOKEN."""
    return "rig-%032x" % random.getrandbits(128)


class Server:
    """`deckctl serve` as its own process, port N reaching `links[N]` through TAPEDECK_COM<N>,
    at `rates[N]` where given. Output goes to `out`; once it prints its URL, `host`, `port` and
    `token` are set from it. The server gets `token` through TAPEDECK_TOKEN, a new one when it
    is ""; with None, the environment's or the server's own."""

    def __init__(self, deckctl, out, log, links=None, listen="127.0.0.1:0", extra=(),
                 limit=10.0, env=None, token="", rates=None, popen=None):
        links = links or {}
        cmd = [deckctl, "serve", "--log", log]
        if listen:
            cmd += ["--listen", listen]
        env = dict(env or os.environ)
        if token is not None:
            env["TAPEDECK_TOKEN"] = token or new_token()
        for n, link in sorted(links.items()):
            cmd += ["--port", str(n) + ("," + rates[n] if rates and n in rates else "")]
            env["TAPEDECK_COM%d" % n] = link
        cmd += list(extra)
        self.out = out
        with open(out, "w") as f:
            self.proc = subprocess.Popen(cmd, stdout=f, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL, env=env, **(popen or {}))
        url = wait(lambda: SERVE_URL.search(self.output()), "the server's URL", limit,
                   alive=self._alive)
        self.host = url.group(1)
        self.port = int(self.host.rsplit(":", 1)[1])
        self.token = url.group(2)[len("?token="):] if url.group(2) else ""

    def output(self):
        with open(self.out, errors="replace") as f:
            return f.read()

    def _alive(self):
        if self.proc.poll() is not None:
            raise AssertionError("deckctl serve exited with %s: %s" % (self.proc.returncode,
                                                                       self.output()[-1500:]))

    def stop(self, grace=10.0):
        return stop(self.proc, grace)


# The Mosquitto files the project ships: the rig's broker runs with them as they are.
BROKER_FILES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                            "broker", "mosquitto")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# The tests' own clients with the hub's rights: the shipped broker gives each user one session
# (use_username_as_clientid), so a tool that signed in as the hub would push the hub off, and
# two tools at once need two users. TOOL publishes; Broker.listener() hands out the others.
TOOLS = ["hub-tool-%d" % i for i in range(8)]
TOOL = TOOLS[0]


class Broker:
    """Mosquitto on a free loopback port with the shipped config and ACL (and the hub's lines
    again for TOOL, the tests' own client), and a password file made with mosquitto_passwd for
    `users` ({name: password}) and TOOL; with `tls`, also an MQTT over TLS listener (`tls_url`)
    whose certificate a CA made here signed (`ca`). kill() and start() again keep the ports.
    pub() and sub() are mosquitto_pub and mosquitto_sub as a user."""

    def __init__(self, work, users, limit=10.0, tls=False):
        users = dict(users)
        for tool in TOOLS:
            users.setdefault(tool, "tool-%08x" % random.getrandbits(32))
        self.work, self.users, self.port = work, users, free_port()
        self.listeners = 0
        self.url = "mqtt://127.0.0.1:%d" % self.port
        listeners = ["listener %d 127.0.0.1" % self.port]
        if tls:
            tls_port = free_port()
            self.tls_url = "mqtts://127.0.0.1:%d" % tls_port
            self.ca, key, cert = (os.path.join(work, n) for n in ("ca.crt", "server.key",
                                                                   "server.crt"))
            ssl = ["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-days", "2"]
            run = dict(check=True, capture_output=True)
            subprocess.run(ssl + ["-x509", "-subj", "/CN=room CA", "-keyout",
                                  os.path.join(work, "ca.key"), "-out", self.ca], **run)
            subprocess.run(ssl + ["-subj", "/CN=127.0.0.1", "-keyout", key, "-out",
                                  cert + ".req"], **run)
            with open(os.path.join(work, "san"), "w") as f:
                f.write("subjectAltName=IP:127.0.0.1\n")
            subprocess.run(["openssl", "x509", "-req", "-in", cert + ".req", "-CA", self.ca,
                            "-CAkey", os.path.join(work, "ca.key"), "-CAcreateserial", "-days",
                            "2", "-extfile", os.path.join(work, "san"), "-out", cert], **run)
            listeners += ["listener %d 127.0.0.1" % tls_port, "cafile " + self.ca,
                          "certfile " + cert, "keyfile " + key]
        passwd = os.path.join(work, "passwd")
        for i, (user, password) in enumerate(users.items()):
            subprocess.run(["mosquitto_passwd", "-b"] + (["-c"] if i == 0 else []) +
                           [passwd, user, password], check=True, capture_output=True)
        with open(os.path.join(BROKER_FILES, "tapedeck5500.conf")) as f:
            kept = [ln for ln in f.read().splitlines()
                    if ln.split(" ")[0] not in ("listener", "password_file", "acl_file")]
        with open(os.path.join(BROKER_FILES, "acl")) as f:
            shipped = f.read()
        hub = shipped[shipped.index("\nuser hub\n"):].strip().splitlines()[1:]
        acl = os.path.join(work, "acl")
        with open(acl, "w") as f:
            rights = "\n".join(line for line in hub if line.startswith("topic "))
            f.write(shipped + "\n# The tests' own clients, with the hub's rights.\n" +
                    "".join("user %s\n%s\n" % (tool, rights) for tool in TOOLS))
        self.conf = os.path.join(work, "mosquitto.conf")
        with open(self.conf, "w") as f:
            # As root it would drop to user mosquitto, who cannot read the work folder.
            # The plain listener first: an option of the shipped file's before any listener
            # would make Mosquitto open its default one on port 1883.
            f.write("\n".join(listeners[:1] + kept + listeners[1:] +
                               ["password_file " + passwd, "acl_file " + acl,
                                "user " + getpass.getuser(), ""]))
        self.limit = limit
        self.start()

    def start(self):
        self.log = open(os.path.join(self.work, "mosquitto.log"), "a")
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=self.log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

        def listening():
            if self.proc.poll() is not None:
                raise AssertionError("mosquitto exited: " + open(self.log.name).read()[-800:])
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", self.port)) == 0
        wait(listening, "mosquitto to listen", self.limit)

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    def stop(self):
        stop(self.proc)

    def _client(self, tool, user, password=None):
        return [tool, "-V", "mqttv5", "-p", str(self.port), "-h", "127.0.0.1", "-u", user,
                "-P", self.users.get(user, "") if password is None else password]

    def pub(self, user, topic, payload, qos=1, props=(), password=None):
        """One message; props are (name, value...) of PUBLISH. The completed process, with -d's
        lines (the PUBACK's reason code) in its stdout."""
        cmd = self._client("mosquitto_pub", user, password) + ["-d", "-q", str(qos), "-t", topic]
        for prop in props:
            cmd += ["-D", "publish"] + [str(x) for x in prop]
        # Past what a command line holds, the payload goes through stdin.
        big = len(payload) > 65536
        return subprocess.run(cmd + (["-s"] if big else ["-m", payload]), capture_output=True,
                              input=payload if big else None, text=True, timeout=20)

    def listener(self):
        """A tool user no other tool of this broker's holds (they are used in turn)."""
        self.listeners += 1
        return TOOLS[1 + (self.listeners - 1) % (len(TOOLS) - 1)]

    def sub(self, user, topic, out, fmt="%t|%D|%P|%p", args=()):
        """mosquitto_sub writing one line per message to the file `out`; returns the process."""
        f = open(out, "w")
        p = subprocess.Popen(self._client("mosquitto_sub", user) + ["-t", topic, "-F", fmt] +
                             list(args),
                             stdout=f, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        time.sleep(0.3)  # subscribed before anything is sent
        return p


def request(port, method, path, body=None, headers=None, host=None, timeout=15, token=None):
    """One HTTP request to 127.0.0.1:port on a connection of its own: (status, body bytes).
    `token` goes as Authorization: Bearer unless `headers` name their own; a list of bytes
    as the body goes chunked."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    h = {"Host": host or "127.0.0.1:%d" % port}
    if token:
        h["Authorization"] = "Bearer " + token
    h.update(headers or {})
    if isinstance(body, str):
        body = body.encode()
    try:
        try:
            c.request(method, path, body=body, headers=h)
            r = c.getresponse()
        except (BrokenPipeError, ConnectionResetError):
            if c.sock is None:
                raise
            # Refused before all of the body went: the answer came first.
            r = http.client.HTTPResponse(c.sock, method=method)
            r.begin()
        return r.status, r.read()
    finally:
        c.close()


STRIPE_ROWS, STRIPE_BITS = 16, 32


def stripes(path, width):
    """The tape position each frame of a video file carries in decksim's stripe (see the
    README): the frame numbers in order, None for a frame without one. ffmpeg decodes the top
    16 rows as grey."""
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-vf",
                          "crop=iw:%d:0:0" % STRIPE_ROWS, "-f", "rawvideo", "-pix_fmt", "gray",
                          "-"], capture_output=True, check=True).stdout
    size = width * STRIPE_ROWS
    out = []
    for f in range(len(raw) // size):
        frame = raw[f * size:(f + 1) * size]
        bits, value = 0, 0
        for b in range(STRIPE_BITS):
            x0, x1 = width * b // STRIPE_BITS, width * (b + 1) // STRIPE_BITS
            q = (x1 - x0) // 4
            cells = [frame[r * width + x] for r in range(2, STRIPE_ROWS - 2)
                     for x in range(x0 + q, x1 - q)]
            mean = sum(cells) / len(cells)
            if 80 < mean < 170:
                value = None
                break
            bits = (bits << 1) | (mean >= 170)
        else:
            value = bits - (1 << 32) if bits >= 1 << 31 else bits
        out.append(value)
    return out


def probe(path):
    """ffprobe's view of a file's first video stream and its format, with the frames counted:
    one dict, the tags as TAG:NAME keys (the stream's over the format's)."""
    text = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                           "-show_streams", "-show_format", path],
                          capture_output=True, text=True, check=True).stdout
    fields = {}
    for line in reversed(text.splitlines()):
        key, sep, value = line.partition("=")
        if sep:
            fields[key] = value
    return fields


def framemd5(path):
    """What `ffmpeg -i FILE -c:a copy -f framemd5 -` gives for a file: the pictures as
    decoded, the sound as the file keeps it."""
    return subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-c:a", "copy",
                           "-f", "framemd5", "-"],
                          capture_output=True, text=True, check=True).stdout


SOUND_RATE, TONE_HZ = 48000, 997


def samples_before(k, fps):
    """decksim's sound: the samples before frame k at 48 kHz, rounded to the nearest."""
    num, den = (30000, 1001) if fps == 29.97 else (int(fps), 1)
    a = k * SOUND_RATE * den
    return (a + num // 2) // num


def tone_at(n):
    """decksim's tone at the tape's sample n, in 24 bits."""
    phase = (n % SOUND_RATE) * TONE_HZ % SOUND_RATE
    return round(0.1 * 8388607 * math.sin(2 * math.pi * phase / SOUND_RATE))


def sound(path):
    """A file's first sound stream: its probe, and its samples in 24 bits, a list a channel."""
    text = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_streams",
                           path], capture_output=True, text=True, check=True).stdout
    fields = dict(line.partition("=")[::2] for line in text.splitlines() if "=" in line)
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:0",
                          "-c:a", "pcm_s32le", "-f", "s32le", "-"],
                         capture_output=True, check=True).stdout
    values = array.array("i", raw)
    n = int(fields.get("channels", "1"))
    return fields, [[v >> 8 for v in values[c::n]] for c in range(n)]


def tone_shift(samples, first):
    """How many samples from the tape's sample `first` a channel's tone starts, within one, when
    every sample is the tone's (none lost, none repeated); None when it is not the tone."""
    for shift in (0, -1, 1):
        if samples and all(abs(v - tone_at(first + shift + i)) <= 1
                           for i, v in enumerate(samples)):
            return shift
    return None


def tone_start(samples):
    """The tone's sample (within a second's, where its phases repeat) that a channel starts
    at, from its first few; None when they are not the tone."""
    head = samples[:4]
    for n in range(SOUND_RATE):
        if head and all(abs(v - tone_at(n + i)) <= 1 for i, v in enumerate(head)):
            return n
    return None


def attachment(path, name):
    """An attachment of a Matroska file, by its name, as text; None when it has none."""
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, name)
        # ffmpeg dumps it, then complains that it was given nothing else to do.
        subprocess.run(["ffmpeg", "-nostdin", "-v", "quiet", "-dump_attachment:t:0", out, "-i",
                        path], capture_output=True)
        return open(out).read() if os.path.exists(out) else None


class CaptureRig:
    """decksim with its picture on a socket (`video` options as decksim takes them), in a
    folder of its own, and `deckctl capture` against it on port 1 with a calibration file
    there."""

    def __init__(self, deckctl, decksim, work, fps=25, drop_frame=False, video=(), baud=9600):
        self.deckctl, self.work = deckctl, work
        self.sock = os.path.join(work, "video.sock")
        self.calibration = os.path.join(work, "capture.json")
        self.rate = {25: "25", 29.97: "29.97df" if drop_frame else "29.97"}.get(fps, str(fps))
        self.deck = Decksim(decksim, link=os.path.join(work, "deck"),
                            control=os.path.join(work, "deck.sock"), baud=baud, fps=fps,
                            drop_frame=drop_frame, out=os.path.join(work, "decksim.out"),
                            extra=["--video", self.sock] + list(video))
        wait(lambda: os.path.exists(self.sock), "decksim's picture socket")
        self.env = dict(os.environ, TAPEDECK_COM1=self.deck.link)

    def args(self, *extra, source=None):
        return [self.deckctl, "capture", "--port", "1", "--rate", self.rate, "--input",
                source or "unix:" + self.sock, "--calibration", self.calibration] + list(extra)

    def start(self, *extra, source=None, env=None, **popen):
        """`deckctl capture` with these arguments, from decksim's picture or `source`, with
        `env` added to its environment."""
        return subprocess.Popen(self.args(*extra, source=source), env=dict(self.env, **(env or {})),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                **popen)

    def capture(self, *extra, timeout=300, **popen):
        """Runs `deckctl capture` to its end: (exit status, stdout, stderr)."""
        p = self.start(*extra, **popen)
        out, err = p.communicate(timeout=timeout)
        return p.returncode, out, err

    def calibrate(self, *extra):
        rc, out, err = self.capture("--calibrate", "--preroll", "1", *extra)
        if rc != 0:
            raise AssertionError("calibration failed: " + out + err)
        return out

    def stop(self):
        return self.deck.stop()


def tc_to_frames(text, fps=25):
    """Real frames of [-]HH:MM:SS:FF at `fps` whole frames a second; with ';' before the
    frames, drop frame (2 labels a dropping minute at 30, 4 at 60)."""
    neg = text.startswith("-")
    h, m, s, f = (int(x) for x in text.lstrip("-").replace(";", ":").split(":"))
    n = ((h * 60 + m) * 60 + s) * fps + f
    if ";" in text:
        minutes = n // (fps * 60)
        n -= fps // 15 * (minutes - minutes // 10)
    return -n if neg else n


def main(argv):
    if len(argv) != 4 or argv[1] != "control":
        print("usage: deckrig.py control SOCKET LINE", file=sys.stderr)
        return 2
    reply = control(argv[2], argv[3])
    print(reply)
    return 0 if reply == "ok" else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))


def figure(section, name, unit, values, target, passed, note=""):
    """One row of a benchmark's report, in the form bench/report.py reads."""
    return dict(section=section, name=name, unit=unit, median=statistics.median(values),
                lo=min(values), hi=max(values), runs=len(values), target=target,
                **{"pass": passed}, note=note)


def write_figures(path, figures, width):
    """A benchmark's figures as JSON for the report, and one line each for a person."""
    with open(path, "w") as f:
        json.dump({"figures": figures}, f, indent=1)
    for x in figures:
        print("%-*s %8.2f %s  (%s)" % (width, x["name"], x["median"], x["unit"], x["note"]))
