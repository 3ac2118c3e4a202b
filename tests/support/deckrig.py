"""What every Python harness needs around the real binaries: decksim and `deckctl serve` as
processes, waiting for a link, a socket or a URL, decksim's control socket and its trace, and
stopping processes cleanly. Standard library only.

From a shell: `python3 deckrig.py control SOCKET LINE` sends one control line and prints the
reply; the exit status is 0 only when the reply is `ok`.
"""
import http.client
import json
import os
import random
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

# "12.345678 in 3A out 0A play": the byte that reached the deck is the one after "in".
TRACE_INPUT = re.compile(r"^\S+ in ([0-9A-F]{2}) out", re.M)

# The URL `deckctl serve` prints: the address it listens on, then any ?token=.
SERVE_URL = re.compile(r"http://([^/\s]+)/(\S*)")


def trace_bytes(text):
    """The bytes the deck received, in order, from decksim's trace output."""
    return TRACE_INPUT.findall(text)


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
                 out=None, limit=10.0, drop_frame=False):
        self.link, self.control_path, self.out = link, control, out
        self.lines, self.inputs = [], []
        self.lock = threading.Lock()
        cmd = [decksim]
        for flag, value in (("--link", link), ("--control", control), ("--baud", baud),
                            ("--fps", fps)):
            if value:
                cmd += [flag, str(value)]
        if trace:
            cmd.append("--trace")
        if drop_frame:
            cmd.append("--drop-frame")
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


def tc_to_frames(text, fps=25):
    neg = text.startswith("-")
    h, m, s, f = (int(x) for x in text.lstrip("-").split(":"))
    n = ((h * 60 + m) * 60 + s) * fps + f
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
