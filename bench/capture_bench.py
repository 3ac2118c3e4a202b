#!/usr/bin/env python3
"""`deckctl capture` against decksim's picture, decksim at 9600 baud:

- accuracy: a batch of clips of 2 to 10 s at 25 (720x576i) and at 29.97 drop frame
  (720x486i), with 4 channels of sound, in-points at random over half an hour of tape, the
  picture 80 ms late with 5 ms of jitter, after calibration: the share of clips whose file
  holds exactly the requested frames, in to out, none missing or repeated, judged by the
  position stripe read back from each file (the witness the capture never reads), and exactly
  their sound, judged by the tone's phase and the count of samples; the worst offset of the
  sound against the picture, in samples. The preroll is 1 s, not 5, to keep the run bearable; the deck locks in
  100 ms. The same batches give the time a batch takes against its floor: the tape's own
  running time plus each cue as the deck took it plus the preroll;
- LTC: the same batches with the tape's LTC on the third channel, labelled from it with no
  calibration at all: the share of clips exact in picture and sound;
- real time: one long clip at 720x576 10-bit and 25 fps with 4 channels: frames we dropped (the input's queue, the
  encoder's queue, and frames decksim could not send because we did not read them) and the
  capture's CPU, per stream, over the run, and its quality check's CPU;
- previewing: a batch at 25 judged as above and the long clip, both through `deckctl serve`
  with three pages previewing them (the event stream read, each new picture fetched), and a
  preview picture's time from the input to the page.

Writes report.py's form: {"figures": [{section, name, unit, median, lo, hi, runs, target,
pass, note}]}.
"""
import argparse
import glob
import json
import os
import random
import resource
import socket
import sys
import threading
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
import deckrig  # noqa: E402

SECTION = "deckctl capture, decksim's picture at 9600 baud"
PREROLL = 1.0
DELAY = ["--video-delay", "80", "--video-jitter", "5"]
SOUND = ["--audio", "--audio-channels", "4"]


def sound_shift(path, first, count, fps):
    """How far a clip's sound lies from its picture, in samples, judged by the tone on its first
    channel; None when a sample is lost or repeated, or the count is not the frames'."""
    _, chans = deckrig.sound(path)
    want = deckrig.samples_before(first + count, fps) - deckrig.samples_before(first, fps)
    if not chans or abs(len(chans[0]) - want) > 1:
        return None
    return deckrig.tone_shift(chans[0], deckrig.samples_before(first, fps))


def figure(name, unit, values, target, passed, note=""):
    return deckrig.figure(SECTION, name, unit, values, target, passed, note)


def label(frames, fps, drop):
    """HH:MM:SS:FF (';' in drop frame) of real frames."""
    if drop:
        tens, rest = divmod(frames, 17982)
        frames += 18 * tens + (2 * ((rest - 2) // 1798) if rest >= 2 else 0)
    f, s = frames % fps, frames // fps
    return "%02d:%02d:%02d%s%02d" % (s // 3600, s // 60 % 60, s % 60, ";" if drop else ":", f)


def batch(deckctl, decksim, work, rate, count, seed, ltc=False):
    """One batch at one rate, after calibration or (`ltc`) labelled from the tape's LTC without
    one: (exact clips, clips, batch seconds, floor seconds, retries, worst sound offset in
    samples). A clip the run could not judge counts as not exact; the run goes on."""
    fps, drop = (30, True) if rate == "29.97df" else (25, False)
    size = "720x486" if drop else "720x576"
    labelling = ["--ltc-channel", "3"] if ltc else []
    rig = deckrig.CaptureRig(deckctl, decksim, work, fps=29.97 if drop else 25, drop_frame=drop,
                             video=DELAY + SOUND + labelling + ["--video-size", size])
    try:
        try:
            if not ltc:
                rig.calibrate()
        except AssertionError as e:
            print("calibration failed: %s" % e)
            return 0, count, 0.0, 1.0, 0, None
        rng = random.Random(seed)
        real = 30000 / 1001 if drop else 25
        clips, csv = [], os.path.join(work, "clips.csv")
        with open(csv, "w") as f:
            f.write("id,port,reel,name,in,out,rate,drop_frame\r\n")
            for n in range(1, count + 1):
                first = rng.randrange(int(60 * real), int(1800 * real))
                length = int(rng.uniform(2, 10) * real)
                clips.append((n, first, first + length))
                f.write("%d,1,B,c%d,%s,%s,%s,%d\r\n" % (n, n, label(first, fps, drop),
                                                        label(first + length, fps, drop),
                                                        "29.97" if drop else "25", drop))
        folder = os.path.join(work, "clips")
        started = time.monotonic()
        rc, out, err = rig.capture("--csv", csv, "--folder", folder, "--preroll", str(PREROLL),
                                   "--json", *labelling, timeout=3600)
        seconds = time.monotonic() - started
        reports = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        exact, floor, worst = 0, 0.0, 0
        for (n, first, last), r in zip(clips, reports):
            floor += r["cueSeconds"] / (1 + r["retries"]) + PREROLL + (last - first) / real
            shift = sound_shift(r["file"], first, last - first, 29.97 if drop else 25) \
                if r["status"] == "captured" else None
            worst = None if shift is None or worst is None else max(worst, abs(shift))
            if shift is not None and deckrig.stripes(r["file"], 720) == list(range(first, last)):
                exact += 1
            else:
                print("clip %d not exact: %s" % (n, r["reason"] or r["attempts"]))
        return exact, len(clips), seconds, floor, sum(r["retries"] for r in reports), worst
    finally:
        rig.stop()


class Pages:
    """`n` pages previewing deck 1 as the page does: each reads the event stream and, when a
    preview event says a new picture is there, fetches it (one fetch at a time; pictures that
    come meanwhile are skipped). Each picture's time from its frame's arrival at the input to
    the page: the server's making of it (the event's madeMs) and the page's fetch after the
    event."""

    def __init__(self, port, token, n):
        self.port, self.token = port, token
        self.stop = threading.Event()
        self.seconds, self.pictures = [], [0] * n
        self.threads = [threading.Thread(target=self.page, args=(i,)) for i in range(n)]
        for t in self.threads:
            t.start()

    def page(self, i):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=2)
        s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAuthorization: Bearer "
                  b"%s\r\n\r\n" % (self.port, self.token.encode()))
        pending, shown = b"", 0
        while not self.stop.is_set():
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            pending += chunk
            *events, pending = pending.split(b"\n\n")
            news = [json.loads(e.split(b"data: ", 1)[1]) for e in events
                    if e.startswith(b"event: preview") and b"data: " in e]
            if not news or news[-1]["seq"] <= shown:
                continue
            heard = time.monotonic()
            st, body = deckrig.request(self.port, "GET", "/api/capture/preview?port=1",
                                       token=self.token)
            if st == 200 and body[:2] == b"\xff\xd8":
                self.seconds.append(news[-1]["madeMs"] / 1000 + time.monotonic() - heard)
                self.pictures[i] += 1
                shown = news[-1]["seq"]
        s.close()

    def close(self):
        self.stop.set()
        for t in self.threads:
            t.join()


def served(deckctl, decksim, work, rate, clips, video, pages=3):
    """The clips (log id order: (first, end) frames) captured through `deckctl serve` as the
    page starts them, calibrated through it first, with `pages` pages previewing all along:
    (the batch's reports, its seconds, the pages)."""
    fps, drop = (30, True) if rate == "29.97df" else (25, False)
    rig = deckrig.CaptureRig(deckctl, decksim, work, fps=29.97 if drop else 25, drop_frame=drop,
                             video=video)
    srv = deckrig.Server(deckctl, os.path.join(work, "serve.txt"), os.path.join(work, "log.json"),
                         links={1: rig.deck.link}, rates={1: rate},
                         extra=["--capture-input", "unix:" + rig.sock, "--capture-folder", work,
                                "--capture-calibration", rig.calibration])
    watching = None
    try:
        def post(path, body):
            return deckrig.request(srv.port, "POST", path, json.dumps(body), token=srv.token)

        def done(kind="capture"):
            got = json.loads(deckrig.request(srv.port, "GET", "/api/capture",
                                             token=srv.token)[1])["batches"]
            return got[0] if got and got[0]["kind"] == kind and got[0]["state"] != "running" \
                else None
        deckrig.wait(lambda: post("/api/capture/calibrate", {"preroll": PREROLL})[0] == 202,
                     "the server's deck", 20)
        calibration = deckrig.wait(lambda: done("calibrate"), "the calibration", 120)
        if not calibration["calibration"]["stored"]:
            print("calibration failed: %s" % calibration)
            return [], 0.0, None
        for n, (first, end) in enumerate(clips):
            post("/api/log", {"name": "c%d" % (n + 1), "in": label(first, fps, drop),
                              "out": label(end, fps, drop)})
        watching = Pages(srv.port, srv.token, pages)
        started = time.monotonic()
        status, reply = post("/api/capture", {"clips": list(range(1, len(clips) + 1)),
                                              "preroll": PREROLL, "folder": "clips"})
        if status != 202:
            print("the capture was refused: %s" % reply)
            return [], 0.0, watching
        b = deckrig.wait(done, "the batch", 3600)
        seconds = time.monotonic() - started
        return [c["report"] for c in b["clips"]], seconds, watching
    finally:
        if watching:
            watching.close()
        srv.stop()
        rig.stop()


def judge(reports, clips, rate):
    """(exact clips, worst sound offset in samples or None) of a batch's reports."""
    fps = 29.97 if rate == "29.97df" else 25
    exact, worst = 0, 0
    for n, ((first, last), r) in enumerate(zip(clips, reports)):
        shift = sound_shift(r["file"], first, last - first, fps) \
            if r["status"] == "captured" else None
        worst = None if shift is None or worst is None else max(worst, abs(shift))
        if shift is not None and deckrig.stripes(r["file"], 720) == list(range(first, last)):
            exact += 1
        else:
            print("clip %d not exact: %s" % (n + 1, r["reason"] or r["attempts"]))
    return exact, worst


def real_time(deckctl, decksim, work, seconds):
    """One clip at 720x576 10-bit with 4 channels: (frames dropped by us, CPU % of a core,
    exact)."""
    rig = deckrig.CaptureRig(deckctl, decksim, work,
                             video=DELAY + SOUND + ["--video-size", "720x576", "--video-depth",
                                                    "10"])
    try:
        try:
            rig.calibrate()
        except AssertionError as e:
            print("calibration failed: %s" % e)
            return int(seconds * 25), 0.0, False
        folder = os.path.join(work, "clips")
        start, end = 60 * 25, 60 * 25 + int(seconds * 25)
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        began = time.monotonic()
        rc, out, err = rig.capture("--in", label(start, 25, False), "--out",
                                   label(end, 25, False), "--folder", folder, "--preroll",
                                   str(PREROLL), "--json", timeout=3600)
        wall = time.monotonic() - began
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        lines = [line for line in out.splitlines() if line.startswith("{")]
        if rc not in (0, 1) or not lines:
            print("the capture gave no report: %s" % err)
            return int(seconds * 25), 100.0 * cpu / wall, False
        r = json.loads(lines[0])
        counters = dict(kv.split("=") for kv in rig.deck.command("video").split())
        dropped = r["overflows"] + int(counters["slow"]) + \
            (0 if r["status"] == "captured" else r["requested"]["frames"] - r["achieved"]["frames"])
        exact = r["status"] == "captured" and \
            deckrig.stripes(r["file"], 720) == list(range(start, end))
        q = r.get("quality") or {}
        qc = 100.0 * q.get("cpuSeconds", 0) / (seconds) if q.get("checkedPictures") else None
        return dropped, 100.0 * cpu / wall, exact, qc
    finally:
        rig.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--deckctl", required=True)
    ap.add_argument("--decksim", required=True)
    ap.add_argument("--json", required=True)
    ap.add_argument("--quick", action="store_true", help="2 clips a rate, 4 s at 720x576")
    ap.add_argument("--clips", type=int, default=50, help="clips in each rate's batch")
    a = ap.parse_args()
    count = 2 if a.quick else a.clips
    figures = []
    with tempfile.TemporaryDirectory(prefix="capture-bench-") as work:
        for n, rate in enumerate(("25", "29.97df")):
            sub = os.path.join(work, rate)
            os.makedirs(sub)
            exact, clips, seconds, floor, retries, worst = batch(a.deckctl, a.decksim, sub, rate,
                                                                 count, 28 + n)
            note = "%d clips of 2-10 s, 720x%si with 4 channels, preroll %.0f s, %d retries, " \
                "%.0f s in all" % (clips, "486" if rate == "29.97df" else "576", PREROLL,
                                   retries, seconds)
            figures.append(figure("clips exact in picture and sound, in to out, %s" % rate, "%",
                                  [100.0 * exact / clips], "100", exact == clips, note))
            figures.append(figure("worst sound-to-picture offset, %s" % rate, "samples",
                                  [worst if worst is not None else 99], "<= 1",
                                  worst is not None and worst <= 1,
                                  "by the tone's phase" if worst is not None
                                  else "a clip's sound was not whole"))
            figures.append(figure("a batch's time / its floor (tape, cues, preroll), %s" % rate,
                                  "", [seconds / floor], "<= 1.5", seconds / floor <= 1.5,
                                  "floor %.0f s" % floor))
        for n, rate in enumerate(("25", "29.97df")):
            sub = os.path.join(work, "ltc-" + rate)
            os.makedirs(sub)
            exact, clips, seconds, floor, retries, worst = batch(
                a.deckctl, a.decksim, sub, rate, count, 38 + n, ltc=True)
            figures.append(figure("clips exact labelled from LTC, no calibration, %s" % rate, "%",
                                  [100.0 * exact / clips], "100", exact == clips,
                                  "%d clips, %d retries, worst sound offset %s samples"
                                  % (clips, retries, worst)))
        sub = os.path.join(work, "sd")
        os.makedirs(sub)
        length = 4 if a.quick else 60
        dropped, cpu, exact, qc = real_time(a.deckctl, a.decksim, sub, length)
        figures.append(figure("frames dropped by us, 720x576 10-bit at 25 fps, 4 channels", "",
                              [dropped], "0",
                              dropped == 0 and exact, "a %d s clip%s" % (
                                  length, "" if exact else ", NOT exact")))
        figures.append(figure("capture CPU per stream, 720x576 10-bit at 25 fps, 4 channels",
                              "% of a core", [cpu],
                              "< 100", cpu < 100, "FFV1 on %d CPUs" % os.cpu_count()))
        figures.append(figure("quality check CPU per stream, 720x576 10-bit at 25 fps, 4 channels",
                              "% of a core", [qc if qc is not None else 100], "< 50",
                              qc is not None and qc < 50,
                              "signalstats and astats, one thread, below the capture's"
                              if qc is not None else "NOT measured: the check did not run"))
        # The same with three pages previewing the capture through the server: a batch at 25
        # judged as above, then the long clip.
        sub = os.path.join(work, "served")
        os.makedirs(sub)
        rng = random.Random(48)
        clips = []
        for _ in range(count):
            first = rng.randrange(60 * 25, 1800 * 25)
            clips.append((first, first + int(rng.uniform(2, 10) * 25)))
        reports, seconds, pages = served(a.deckctl, a.decksim, sub, "25", clips,
                                         DELAY + SOUND + ["--video-size", "720x576"])
        exact, worst = judge(reports, clips, "25") if reports else (0, None)
        figures.append(figure("clips exact in picture and sound, 25, three pages previewing", "%",
                              [100.0 * exact / len(clips)], "100", exact == len(clips),
                              "%d clips through deckctl serve, worst sound offset %s samples, "
                              "%s pictures to each page" % (len(clips), worst,
                                                            pages.pictures if pages else 0)))
        sub = os.path.join(work, "served-sd")
        os.makedirs(sub)
        start = 60 * 25
        reports, seconds, pages = served(
            a.deckctl, a.decksim, sub, "25", [(start, start + length * 25)],
            DELAY + SOUND + ["--video-size", "720x576", "--video-depth", "10"])
        r = reports[0] if reports else None
        dropped = (r["overflows"] + r["missing"] if r and r["status"] == "captured"
                   else length * 25)
        exact = bool(r) and r["status"] == "captured" and \
            deckrig.stripes(r["file"], 720) == list(range(start, start + length * 25))
        figures.append(figure("frames dropped by us, 720x576 10-bit, three pages previewing", "",
                              [dropped], "0", dropped == 0 and exact,
                              "a %d s clip through deckctl serve%s" % (
                                  length, "" if exact else ", NOT exact")))
        latency = sorted(pages.seconds) if pages else []
        p95 = 1000 * latency[int(0.95 * (len(latency) - 1))] if latency else 0
        figures.append(figure("a preview picture from the input to the page, p95", "ms", [p95],
                              "<= 200", bool(latency) and p95 <= 200,
                              "%d pictures to 3 pages, 5 a second made" % len(latency)))
    deckrig.write_figures(a.json, figures, 60)
    return 0


if __name__ == "__main__":
    sys.exit(main())
