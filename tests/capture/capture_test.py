"""`deckctl capture` end to end against decksim's picture: the files it writes checked with
ffprobe, ffmpeg's framemd5 and the position stripe read back (the witness the capture never
reads), and the faults of a capture as one table.

usage: capture_test.py DECKCTL DECKSIM CASE [FSYNC_SHIM]
       (CASE: rate25, rate2997df, calibration, faults; FSYNC_SHIM: tests/support/fsync_stall)
"""
import glob
import gzip
import itertools
import json
import os
import pty
import re
import resource
import signal
import socket
import sys
import subprocess
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import deckrig  # noqa: E402

DELAY = ["--video-delay", "80", "--video-jitter", "5"]
# decksim's sound: 4 channels, the tone on the first three, the fourth silent.
SOUND = ["--audio", "--audio-channels", "4", "--ltc-channel", "3"]  # the tone on 1 and 2
# The SD pictures as a tape gives them, and what their files must state: field order, pixel
# aspect, colour (primaries, transfer, matrix), range and the depth kept.
SD = {
    "720x576": {"field_order": "tt", "sample_aspect_ratio": "12:11",
                "color_primaries": "bt470bg", "color_transfer": "bt470bg",
                "color_space": "bt470bg", "color_range": "tv"},
    "720x486": {"field_order": "bb", "sample_aspect_ratio": "10:11",
                "color_primaries": "smpte170m", "color_transfer": "smpte170m",
                "color_space": "smpte170m", "color_range": "tv"},
}


def checked(rig):
    """MediaConch's check of every SD file against our archival policy."""
    return ["--check"] if rig.size in SD else []


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def frames(tc, fps=25, drop=False):
    """Real frames of a label; drop-frame labels skip 2 a minute but every tenth."""
    h, m, s, f = (int(x) for x in tc.replace(";", ":").split(":"))
    labels = ((h * 60 + m) * 60 + s) * fps + f
    if not drop:
        return labels
    minutes = h * 60 + m
    return labels - 2 * (minutes - minutes // 10)


def reports(folder):
    return {os.path.basename(p): json.load(open(p)) for p in glob.glob(folder + "/*.json")}


def no_leftovers(folder):
    left = [p for p in os.listdir(folder) if p.startswith(".") and ".part-" in p]
    check(not left, "half-written files left: %s" % left)


def check_sound(rig, mkv, report, first, count):
    """A clip's sound: 24-bit PCM at 48 kHz, every channel, the tape's samples from the in-point's
    (within one at 29.97, whose five-frame run the card and the tape may count apart) with none
    lost or repeated; the silent channel silent and said to be; what made the file attached."""
    fields, chans = deckrig.sound(mkv)
    check(fields.get("codec_name") == "pcm_s24le" and fields.get("sample_rate") == "48000" and
          len(chans) == 4, fields)
    fps = 29.97 if rig.rate.startswith("29.97") else int(rig.rate)
    slack = 1 if fps == 29.97 else 0
    want = deckrig.samples_before(first + count, fps) - deckrig.samples_before(first, fps)
    check(abs(len(chans[0]) - want) <= slack, "%d samples for %d frames, the tape's %d"
          % (len(chans[0]), count, want))
    for c in range(2):
        shift = deckrig.tone_shift(chans[c], deckrig.samples_before(first, fps))
        check(shift is not None and abs(shift) <= slack,
              "channel %d is not the tape's tone from the in-point (shift %s)" % (c + 1, shift))
    check(not any(chans[3]), "the silent channel is not")
    s = report["sound"]
    check(s["samples"] == len(chans[0]) and abs(s["channels"][0]["peakDbfs"] + 20) < 0.1 and
          [c["silent"] for c in s["channels"]] == [False] * 3 + [True], s)
    made = json.loads(deckrig.attachment(mkv, "provenance.json") or "null")
    check(made and made["deck"] == report["provenance"]["deck"] and made["rate"] == rig.rate and
          made["started"] == report["provenance"]["started"], made)


def check_clip(rig, folder, report, first, count, timecode):
    """A captured clip's files: FFV1 in Matroska with the start timecode, the frames in to out
    by their stripes, the sound, and a sidecar equal to ffmpeg's framemd5 of the file."""
    check(report["status"] == "captured", "not captured: %s" % report)
    mkv = report["file"]
    check(os.path.dirname(mkv) == folder and mkv.endswith(".mkv"), mkv)
    p = deckrig.probe(mkv)
    check(p["codec_name"] == "ffv1" and "matroska" in p["format_name"], p)
    check(p["nb_read_frames"] == str(count), "%s frames, not %d" % (p["nb_read_frames"], count))
    check(p["TAG:TIMECODE"] == timecode, "TIMECODE %s, not %s" % (p["TAG:TIMECODE"], timecode))
    for key, want in SD.get(rig.size, {}).items():
        check(p.get(key) == want, "%s %s, not %s" % (key, p.get(key), want))
    if rig.depth == 10:
        check(p["pix_fmt"] == "yuv422p10le", "10-bit input kept as " + p["pix_fmt"])
    got = deckrig.stripes(mkv, rig.width)
    check(got == list(range(first, first + count)),
          "stripes %s..%s (%d), wanted %d..%d" % (got[:1], got[-1:], len(got), first,
                                                  first + count - 1))
    check(deckrig.framemd5(mkv) == open(report["framemd5"]).read(), "sidecar differs")
    check_sound(rig, mkv, report, first, count)
    if rig.size in SD:
        check(report["conformance"] == {"policy": "tapedeck5500 SD tape capture",
                                        "verdict": "pass", "failed": [], "error": ""},
              "the file does not conform: %s" % report["conformance"])
    whole = 30 if rig.rate.startswith("29.97") else int(rig.rate)
    drop = rig.rate.endswith("df")
    lines = open(report["timecodes"]).read().splitlines()
    check(lines[0] == "frame,timecode" and len(lines) == count + 1, "timecodes: %s" % lines[:3])
    labels = [frames(line.split(",")[1], whole, drop) for line in lines[1:]]
    check(labels == got and [line.split(",")[0] for line in lines[1:]] ==
          [str(i) for i in range(count)], "timecodes %s.. against the stripes %s.." %
          (lines[1:3], got[:2]))
    check(report["achieved"]["frames"] == count and report["missing"] == 0 and
          report["repeated"] == 0, report)
    # The quality check's figures: a line a frame at the frame's tape time; decksim's picture
    # in range and moving, so only its silent channel is flagged (of what was checked: a loaded
    # machine may leave the check behind).
    q = report["quality"]
    qc = gzip.open(q["sidecar"], "rt").read().splitlines()
    check(q["sidecar"] == mkv[:-4] + ".qc.csv.gz" and q["error"] is None and
          q["frames"] == count and 0 < q["checkedPictures"] <= count and
          0 < q["checkedSound"] <= count, q)
    check(len(qc) == count + 1 and [line.split(",")[1] for line in qc[1:]] ==
          [line.split(",")[1] for line in lines[1:]], "QC figures %s against %s" % (qc[:2], lines[:2]))
    check([f["words"] for f in q["flags"]] == ["ch 4 silent throughout"], q["flags"])
    # Its graph, a point a frame (up to 200 points), at the frames' times; its poster a JPEG.
    g = q["graph"]
    every = max(1, -(-count // 200))
    check(g["every"] == every and g["timecodes"] == [line.split(",")[1] for line in
                                                     lines[1::every]] and
          len(g["peaks"]) == 4 and all(len(p) == len(g["ymax"]) for p in g["peaks"]), g)
    check(open(q["poster"], "rb").read(3) == b"\xff\xd8\xff", q["poster"])
    # What the report says it kept is what the stripes show.
    achieved = [deckrig.tc_to_frames(report["achieved"][k], whole) for k in ("in", "out")]
    check(achieved == [got[0], got[-1] + 1], "achieved %s, the stripes %s..%s"
          % (report["achieved"], got[0], got[-1]))


def check_drifted(rig, report, first, count, ppm):
    """A clip whose sound came from a device of its own whose clock ran `ppm` fast: the picture
    exact by its stripes; the sound every sample the device gave from the in-point's on, none
    lost or repeated and none resampled, so more of them than the picture's time holds; the
    drift and the parting reported."""
    check(report["status"] == "captured", "not captured: %s" % report)
    got = deckrig.stripes(report["file"], rig.width)
    check(got == list(range(first, first + count)), "stripes %s..%s" % (got[:1], got[-1:]))
    _, chans = deckrig.sound(report["file"])
    nominal = count * 1920
    extra = len(chans[0]) - nominal
    check(abs(extra - nominal * ppm * 1e-6) <= 2, "%d samples for %d frames with the device "
          "%d ppm fast" % (len(chans[0]), count, ppm))
    s = report["sound"]
    check(s["samples"] == len(chans[0]) and abs(s["driftPpm"] - ppm) <= 10 and
          abs(s["partingMs"] - extra / 48.0) < 0.03, s)
    # The device's tone counts its own samples: at the in-point, the tape's count as its fast
    # clock makes it, within the sample or two its rounding leaves.
    placed = round(1920 * first * (1 + ppm * 1e-6)) % deckrig.SOUND_RATE
    for c in range(2):
        start = deckrig.tone_start(chans[c])
        check(start is not None and deckrig.tone_shift(chans[c], start) == 0,
              "channel %d is not the device's tone whole" % (c + 1))
        check(min(abs(start - placed), deckrig.SOUND_RATE - abs(start - placed)) <= 2,
              "channel %d starts at the device's sample %d of a second, not %d"
              % (c + 1, start, placed))


def unchanged(folder):
    """What a folder's captures are now, to compare with later: every report's text, and each
    media file's inode, size and time."""
    state = {}
    for path in sorted(glob.glob(folder + "/*")):
        st = os.stat(path)
        state[path] = open(path).read() if path.endswith(".json") else (st.st_ino, st.st_size,
                                                                        st.st_mtime_ns)
    return state


def case_rate25(rig, work):
    """Three clips of a clip log at 25, while another reader of the picture stalls."""
    folder = os.path.join(work, "clips")
    log = os.path.join(work, "cliplog.json")
    clips = [("00:01:00:00", "00:01:01:10"), ("00:02:10:05", "00:02:12:00"),
             ("00:02:20:00", "00:02:21:00")]
    with open(log, "w") as f:
        json.dump({"clips": [{"id": i + 1, "port": 1, "reel": "R1", "name": "c%d" % (i + 1),
                              "in": a, "out": b, "rate": "25"} for i, (a, b) in enumerate(clips)]
                   + [{"id": 9, "port": 2, "in": "00:03:00:00", "out": "00:03:01:00"}],
                   "nextId": 10}, f)
    stalled = socket.socket(socket.AF_UNIX)
    stalled.connect(rig.sock)  # never reads: costs frames of its own, nothing else
    rig.calibrate()
    rc, out, err = rig.capture("--log", log, "--folder", folder, "--preroll", "1", *checked(rig))
    check(rc == 0, out + err)
    check("3 of 3 clips captured" in out, out)
    got = reports(folder)
    for i, (a, b) in enumerate(clips):
        r = got["R1_%04d_c%d.json" % (i + 1, i + 1)]
        check_clip(rig, folder, r, frames(a), frames(b) - frames(a), a)
    counters = rig.deck.command("video")
    check(" slow=0 " not in counters, "a reader that never reads costs frames of its own, "
          "counted: " + counters)
    stalled.close()
    no_leftovers(folder)
    # Run again, with handles that would reach before the tape's start: each clip is refused
    # for its files before anything else, the deck never moves, and nothing there changes.
    before, deck = unchanged(folder), rig.deck.command("get")
    rc, out, err = rig.capture("--log", log, "--folder", folder, "--preroll", "1",
                               "--handles", "1600")
    check(rc == 1 and out.count("exists; not replacing it") == 3, out + err)
    check(unchanged(folder) == before, "a refused run changed the folder")
    check(rig.deck.command("get") == deck, "a refused run moved the deck")


def case_rate2997df(rig, work):
    """Clips from a CSV at 29.97 drop frame across a minute's skipped labels, and one given
    on the command line with handles."""
    folder = os.path.join(work, "clips")
    csv = os.path.join(work, "clips.csv")
    with open(csv, "w") as f:
        f.write("id,port,reel,name,in,out,rate,drop_frame\r\n"
                "4,1,DF,minute,00:00:59;20,00:01:01;10,29.97,1\r\n"
                "5,1,DF,tenth,00:09:59;25,00:10:00;20,29.97,1\r\n")
    rig.calibrate()
    rc, out, err = rig.capture("--csv", csv, "--folder", folder, "--preroll", "1", *checked(rig))
    check(rc == 0, out + err)
    # This one labelled from the tape's LTC, checked against the serial time.
    rc, out2, err = rig.capture("--in", "00:02:00;02", "--out", "00:02:01;00", "--name", "cli",
                                "--handles", "3", "--folder", folder, "--preroll", "1",
                                "--ltc-channel", "3", *checked(rig))
    check(rc == 0, out2 + err)
    got = reports(folder)
    for name, a, b in (("DF_0004_minute", "00:00:59;20", "00:01:01;10"),
                       ("DF_0005_tenth", "00:09:59;25", "00:10:00;20")):
        first, last = frames(a, 30, True), frames(b, 30, True)
        check_clip(rig, folder, got[name + ".json"], first, last - first, a)
    first = frames("00:02:00;02", 30, True) - 3
    r = got["DECK1_00020002_cli.json"]
    check(r["requested"] == {"in": "00:01:59;27", "out": "00:02:01;03", "frames": 34,
                             "handles": 3}, r["requested"])
    check_clip(rig, folder, r, first, 34, "00:01:59;27")
    check(r["ltc"] == {"channel": 3, "checkedFrames": 34, "disagreeing": 0, "worstFrames": 0,
                       "serialOffsetMs": r["offsetMs"], "offsetFrom": "calibration"}, r["ltc"])
    no_leftovers(folder)


def case_calibration(rig, work):
    """The offset follows the capture path's latency and is stored per deck, input and rate;
    without it a capture is refused, and an offset a frame off shifts the clip by a frame."""
    folder = os.path.join(work, "clips")
    rc, out, err = rig.capture("--in", "00:01:00:00", "--out", "00:01:01:00", "--folder", folder)
    check(rc == 2 and "run deckctl capture --calibrate" in err, err)
    offsets = []
    for delay in ("80", "200"):
        check(rig.deck.command("video delay " + delay) == "ok", "video delay")
        out = rig.calibrate("--json")
        result = json.loads(out)
        check(result["stored"] and result["agree"] == result["frames"] >= 75, result)
        offsets.append(result["offsetMs"])
    check(abs(offsets[1] - offsets[0] - 120) < 5, "offsets %s, 120 ms apart" % offsets)
    # The deck leaving play during the stretch costs a retry, not the calibration.
    p = rig.start("--calibrate", "--preroll", "1", "--json")
    when_playing(rig, frames("00:00:31:00"))
    check(rig.deck.command("stop") == "ok", "stop")
    out, err = p.communicate(timeout=120)
    check(p.returncode == 0, out + err)
    result = json.loads(out)
    check(result["stored"] and result["retries"] == 1, result)
    offsets[1] = result["offsetMs"]
    stored = json.load(open(rig.calibration))["offsets"]
    check(len(stored) == 1 and stored[0]["offsetMs"] == offsets[1], stored)
    # One frame (40 ms) too little offset labels every frame one later: the clip comes out a
    # frame early, which only the stripe shows.
    rc, out, err = rig.capture("--in", "00:01:00:00", "--out", "00:01:01:00", "--folder", folder,
                               "--preroll", "1", "--offset", str(offsets[1] - 40))
    check(rc == 0, out + err)
    got = deckrig.stripes(reports(folder)["DECK1_00010000.json"]["file"], rig.width)
    check(got == list(range(1499, 1524)), "stripes %s..%s" % (got[:1], got[-1:]))
    # On a terminal a status line follows the clip through its phases, then its report line
    # takes its place.
    master, slave = pty.openpty()
    p = subprocess.Popen(rig.args("--in", "00:01:10:00", "--out", "00:01:12:00", "--folder",
                                  folder, "--preroll", "1"), env=rig.env, stdout=slave,
                         stderr=subprocess.PIPE)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the child's end closed
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    p.wait(timeout=120)
    text = seen.decode()
    phases = re.findall(r"\r\x1b\[Kclip 1/1 (\w+) ", text)
    check(p.returncode == 0 and {"cue", "preroll", "capture", "finish"} <= set(phases), text)
    check(re.search(r"capture 00:01:1[01]:\d\d \d+/50 frames \| input \d+\.\d\d fps \| "
                    r"\d+ lost, \d+ repeated \| 0 retries \| about 0:0\d left", text), text)
    # With the tape's LTC the offset can be measured against it. Then the path's latency
    # changes (a converter swapped: 80 ms calibrated, 200 ms now): from the serial time alone
    # the clip would come out three frames early, as above; the LTC's check fails it in words.
    check(rig.deck.command("video delay 80") == "ok", "video delay")
    result = json.loads(rig.calibrate("--json", "--ltc-channel", "3"))
    check(result["stored"] and result["agree"] == result["frames"] >= 75, result)
    check(rig.deck.command("video delay 200") == "ok", "video delay")
    rc, out, err = rig.capture("--in", "00:01:20:00", "--out", "00:01:21:00", "--folder", folder,
                               "--preroll", "1", "--retries", "0", "--ltc-channel", "3")
    r = reports(folder)["DECK1_00012000.json"]
    check(rc == 1 and r["status"] == "failed" and "part by 3 frames" in r["reason"] and
          "latency changed" in r["reason"], r)
    check("\r\x1b[Kclip \"\" 00:01:10:00-00:01:12:00 (50 frames): captured 50" in text, text)


def run_row(rig, folder, name, extra, before=None, during=None, preexec=None):
    """One fault: the capture of clip(s) given by `extra`, with decksim set up by `before`
    (control lines, or a function of the folder that returns them) and `during` called while
    it runs; `preexec` is called in the child, or is a dict of its environment's additions.
    (status, stdout, stderr, reports)."""
    for line in (before(folder) if callable(before) else before) or ():
        check(rig.deck.command(line) == "ok", line)
    extra = list(extra)
    source = None
    if "--input" in extra:
        source = extra.pop(extra.index("--input") + 1)
        extra.remove("--input")
    env = preexec if isinstance(preexec, dict) else {}
    preexec = None if isinstance(preexec, dict) else preexec
    p = rig.start("--folder", folder, *extra, source=source, preexec_fn=preexec, env=env)
    try:
        if during:
            during(p)
        out, err = p.communicate(timeout=240)
    finally:
        if p.poll() is None:
            p.kill()
    sys.stdout.write("%s: %s%s" % (name, out, err))
    no_leftovers(folder)
    got = reports(folder)
    for r in got.values():
        sys.stdout.write("  attempts: %s\n" % "; ".join(r["attempts"]))
    return p.returncode, out, err, got


def when_playing(rig, at):
    """Waits until the deck plays at `at` (frames at 25) or later."""
    def playing():
        get = rig.deck.command("get")
        return "transport=play" in get and frames(get.split("time=")[1].split()[0]) >= at
    deckrig.wait(playing, "the deck to play past %d" % at, 60)


def failed(folder, report, words, retries):
    """A clip failed in these words (one of them, given a tuple) after so many retries, kept
    nothing, and left no file under a final name."""
    words = words if isinstance(words, tuple) else (words,)
    check(report["status"] == "failed" and any(w in report["reason"] for w in words) and
          report["retries"] == retries and report["file"] is None, report)
    check(report["achieved"] == {"in": None, "out": None, "frames": 0}, report["achieved"])
    check(not glob.glob(folder + "/*.mkv") and not glob.glob(folder + "/*.framemd5"),
          "a failed clip left a file")


def alternating_picture(work):
    """A socket whose picture changes size at every frame, as a card's does when its signal
    changes: raw MJPEG at 25 frames a second, 320x240 and 160x120 in turn. Its path."""
    jpegs = [subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                             "testsrc=s=" + size, "-frames:v", "1", "-f", "mjpeg", "-"],
                            capture_output=True, check=True).stdout
             for size in ("320x240", "160x120")]
    path = os.path.join(work, "alternating.sock")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(4)

    def serve(conn):
        with conn:
            try:
                for i in itertools.count():
                    conn.sendall(jpegs[i % 2])
                    time.sleep(0.04)
            except OSError:
                pass

    def accept():
        while True:
            threading.Thread(target=serve, args=(listener.accept()[0],), daemon=True).start()
    threading.Thread(target=accept, daemon=True).start()
    return path


def case_faults(rig, work, shim):
    rig.calibrate()
    mute = os.path.join(work, "mute.sock")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(mute)
    listener.listen(1)  # takes the connection and never says a word

    def cancel_in_second(p):
        when_playing(rig, frames("00:05:10:05"))
        p.send_signal(signal.SIGINT)

    second = {}

    def second_capture(p):
        when_playing(rig, frames("00:06:00:00") - 10)
        second["result"] = rig.capture("--folder", os.path.join(work, "second"), "--in",
                                       "00:06:20:00", "--out", "00:06:21:00")
        second["pid"] = p.pid

    def hang_up(p):
        when_playing(rig, frames("00:07:00:10"))
        check(rig.deck.command("fault hangup 1500") == "ok", "hangup")

    def cancel_in_cue(p):
        deckrig.wait(lambda: "transport=cue" in rig.deck.command("get"), "the cue", 30)
        p.send_signal(signal.SIGINT)

    def sound_gap(p):
        when_playing(rig, frames("00:09:10:10"))
        check(rig.deck.command("sound gap 2") == "ok", "sound gap")

    def uncalibrated(folder):
        os.rename(rig.calibration, rig.calibration + ".aside")  # put back by the row's verdict
        return ["sound clip 2 off"]

    def ltc_backwards(p):
        when_playing(rig, frames("00:10:20:10"))
        check(rig.deck.command("ltc backwards on") == "ok", "ltc backwards")

    def ltc_sound_stops(p):
        when_playing(rig, frames("00:11:01:00"))
        check(rig.deck.command("sound gap 50") == "ok", "sound gap")

    def ltc_jump(p):
        when_playing(rig, frames("00:10:30:10"))
        check(rig.deck.command("ltc offset 50") == "ok", "ltc offset")

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (60000, 60000))

    outside = os.path.join(work, "outside.txt")
    with open(outside, "w") as f:
        f.write("not the capture's\n")

    def planted(folder):
        # The report's temporary name as it once was, linked to a file outside the folder.
        os.symlink(outside, os.path.join(folder, "DECK1_00400000.json.part"))
        os.symlink(outside, os.path.join(folder, ".DECK1_00400000.json.part-00000000"))

    seen = {}

    def kill_then_again(p):
        when_playing(rig, frames("00:08:20:10"))
        p.kill()
        p.wait()
        folder = os.path.join(work, "killed")
        seen["parts"] = glob.glob(folder + "/.DECK1_00082000.*.part-*")
        seen["again"] = rig.capture("--folder", folder, "--preroll", "1", "--in",
                                      "00:08:20:00", "--out", "00:08:21:00")

    unsynced = os.path.join(work, "unsynced.control")
    with open(unsynced, "w") as f:
        f.write("fail-file .mkv.part")

    def captured_first(folder):
        # Clip three captured before the batch that is cancelled: its report must stay.
        one = os.path.join(work, "three.csv")
        with open(one, "w") as f:
            f.write("id,port,reel,name,in,out\r\n3,1,C,three,00:05:20:00,00:05:21:00\r\n")
        rc, out, err = rig.capture("--folder", folder, "--preroll", "1", "--csv", one)
        check(rc == 0, out + err)
        seen["three"] = open(os.path.join(folder, "C_0003_three.json")).read()
        return ()

    alternating = alternating_picture(work)
    apart = ["--audio-input", "unix:" + rig.sound_sock]
    csv = os.path.join(work, "two.csv")
    with open(csv, "w") as f:
        f.write("id,port,reel,name,in,out\r\n"
                "1,1,C,one,00:05:00:00,00:05:01:00\r\n"
                "2,1,C,two,00:05:10:00,00:05:14:00\r\n"
                "3,1,C,three,00:05:20:00,00:05:21:00\r\n")
    clip = ["--preroll", "1", "--in"]
    rows = [
        # name, capture arguments, decksim set-up, while it runs, in the child, and the
        # verdict on (status, stdout, stderr, reports, folder f)
        ("no_input", ["--input", "unix:" + work + "/none.sock", "--offset", "100",
                      "--in", "00:01:00:00", "--out", "00:01:01:00"], None, None, None,
         lambda rc, out, err, r, f: check(
             rc == 1 and "not attempted: cannot open the input" in out and
             "No such file or directory" in out and not r, out)),
        ("mute_input", ["--input", "unix:" + mute, "--offset", "100",
                        "--in", "00:01:00:00", "--out", "00:01:01:00"], None, None, None,
         lambda rc, out, err, r, f: check(rc == 1 and "no answer within 5000 ms" in out, out)),
        ("beyond_end", clip + ["00:40:00:00", "--out", "00:40:01:00"], planted, None, None,
         lambda rc, out, err, r, f: (
             failed(f, r["DECK1_00400000.json"], "short of the cue point 00:39:59:00", 0),
             check(open(outside).read() == "not the capture's\n",
                   "the report went through a planted link"))),
        ("across_end", clip + ["00:29:59:00", "--out", "00:30:01:00", "--retries", "1"], None,
         None, None,
         lambda rc, out, err, r, f: failed(f, r["DECK1_00295900.json"],
                                                    ("left play", "tape stopped"), 1)),
        ("missed_in", ["--preroll", "0.4", "--in", "00:02:00:00", "--out", "00:02:01:00"],
         ["lock 1500"], None, None,
         lambda rc, out, err, r, f: (
             # A loaded machine may cost an attempt before the servo's is met.
             check(rc == 0 and any("in-point missed: the servo locked" in a
                                   for a in r["DECK1_00020000.json"]["attempts"][:-1]), out),
             check_clip(rig, f, r["DECK1_00020000.json"], 3000, 25,
                        "00:02:00:00"))),
        ("missed_in_no_retry", ["--preroll", "0.4", "--retries", "0", "--in", "00:02:10:00",
                                "--out", "00:02:11:00"], ["lock 1500"], None, None,
         lambda rc, out, err, r, f: failed(f, r["DECK1_00021000.json"],
                                        "in-point missed: the servo locked", 0)),
        ("break", clip + ["00:03:00:00", "--out", "00:03:02:00", "--retries", "1"],
         ["lock 0", "break 00:03:01:00 00:08:00:00"], None, None,
         lambda rc, out, err, r, f: (
             failed(f, r["DECK1_00030000.json"], "the deck's time jumps to 00:08:00:00, "
                                                 "inside the clip", 1),
             # After the last read before it: within a frame of the break at 00:03:01:00.
             check(re.match(r"timecode break: after 00:03:00:2[34] ",
                            r["DECK1_00030000.json"]["reason"]) and
                   len(r["DECK1_00030000.json"]["breaks"]) == 1, r))),
        ("dropped", clip + ["00:04:00:00", "--out", "00:04:02:00", "--retries", "1"],
         ["break none", "video drop 8"], None, None,
         lambda rc, out, err, r, f: (
             failed(f, r["DECK1_00040000.json"], "missing before", 1),
             check(r["DECK1_00040000.json"]["missing"] >= 1 and
                   r["DECK1_00040000.json"]["inputGaps"] >= 1, r))),
        ("full_disk", clip + ["00:04:10:00", "--out", "00:04:14:00"], ["video drop 0"], None,
         small_files,
         lambda rc, out, err, r, f: failed(f, r["DECK1_00041000.json"], "File too large", 0)),
        # A file that cannot be flushed never takes its final name.
        ("unsynced", clip + ["00:04:20:00", "--out", "00:04:21:00"], None, None,
         {"LD_PRELOAD": shim, "FSYNC_STALL_CONTROL": unsynced,
          "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"},
         lambda rc, out, err, r, f: failed(f, r["DECK1_00042000.json"], "flushing", 0)),
        ("no_sound", ["--input", "unix:" + alternating, "--audio", "--offset", "100",
                      "--in", "00:01:00:00", "--out", "00:01:01:00"], None, None, None,
         lambda rc, out, err, r, f: check(
             rc == 1 and "has no sound, and --audio asks for it" in out and not r, out)),
        ("sound_gap", clip + ["00:09:10:00", "--out", "00:09:12:00", "--retries", "1"], None,
         sound_gap, None,
         lambda rc, out, err, r, f: (
             check("the sound stopped: " in r["DECK1_00091000.json"]["attempts"][0], r),
             check_clip(rig, f, r["DECK1_00091000.json"], frames("00:09:10:00"), 50,
                        "00:09:10:00"))),
        ("picture_size", ["--input", "unix:" + alternating, "--offset", "100",
                          "--retries", "1"] + clip + ["00:08:00:00", "--out", "00:08:01:00"],
         None, None, None,
         lambda rc, out, err, r, f: (
             failed(f, r["DECK1_00080000.json"], ("the input's picture changed from ",
                                                  "came twice"), 1),
             # A frame the decoder drops can leave one attempt two frames of one size.
             check(any("the input's picture changed from 320x240" in a
                       for a in r["DECK1_00080000.json"]["attempts"]), r))),
        # A capture killed mid-clip leaves its parts; the next capture of the clip clears them.
        ("killed", clip + ["00:08:20:00", "--out", "00:08:21:00"], None, kill_then_again, None,
         lambda rc, out, err, r, f: (
             check(len(seen["parts"]) == 3, "parts after the kill: %s" % seen["parts"]),
             check(seen["again"][0] == 0, seen["again"]),
             check_clip(rig, f, r["DECK1_00082000.json"], 12500, 25, "00:08:20:00"))),
        ("cancel", ["--preroll", "1", "--csv", csv], captured_first, cancel_in_second, None,
         lambda rc, out, err, r, f: (
             check_clip(rig, f, r["C_0001_one.json"], 7500, 25, "00:05:00:00"),
             check(r["C_0002_two.json"]["status"] == "cancelled", r),
             check(open(os.path.join(f, "C_0003_three.json")).read() == seen["three"] and
                   "C_0003_three.mkv exists; not replacing it" in out, out),
             check("transport=stopped" in rig.deck.command("get"), "the deck still runs"))),
        ("two_captures", clip + ["00:06:00:00", "--out", "00:06:02:00"], None, second_capture,
         None,
         lambda rc, out, err, r, f: (
             check(rc == 0, out),
             check(second["result"][0] == 1 and "is held for a capture by deckctl (pid %d)"
                   % second["pid"] in second["result"][2], second))),
        ("hangup", clip + ["00:07:00:00", "--out", "00:07:03:00"], None, hang_up, None,
         lambda rc, out, err, r, f: (
             check("the deck stopped answering" in r["DECK1_00070000.json"]["attempts"][0] and
                   "came back" in r["DECK1_00070000.json"]["attempts"][0], r),
             check_clip(rig, f, r["DECK1_00070000.json"], 10500, 75,
                        "00:07:00:00"))),
        # A sidecar without its file is a capture's all the same: named, not replaced.
        ("sidecar_alone", clip + ["00:09:00:00", "--out", "00:09:01:00"],
         lambda f: open(os.path.join(f, "DECK1_00090000.framemd5"), "w").close(), None, None,
         lambda rc, out, err, r, f: check(
             rc == 1 and "DECK1_00090000.framemd5 exists; not replacing it" in out and
             not os.path.exists(os.path.join(f, "DECK1_00090000.json")), out)),
        ("cancel_in_cue", clip + ["00:25:00:00", "--out", "00:25:01:00"], None, cancel_in_cue,
         None,
         lambda rc, out, err, r, f: check(
             r["DECK1_00250000.json"]["reason"].startswith("cancelled while the deck cued") and
             "transport=stopped" in rig.deck.command("get"), r)),
        # A channel at full scale is said, per channel, and the clip kept. Its small
        # progressive picture is kept too, but fails the SD policy, and the exit status says so.
        ("clipping", clip + ["00:09:20:00", "--out", "00:09:21:00", "--check"],
         ["sound clip 2 on"], None, None,
         lambda rc, out, err, r, f: (
             check(rc == 1 and r["DECK1_00092000.json"]["status"] == "captured" and
                   r["DECK1_00092000.json"]["sound"]["channels"][1]["clippedSamples"] > 0 and
                   "(2 clipped " in out and "4 silent" in out and "0 conforming" in out and
                   "\n  QC: ch 2 clipped (a sample at full scale) on " in out, out),
             check(r["DECK1_00092000.json"]["conformance"]["verdict"] == "fail" and
                   {"Interlaced", "625 lines at 25 or 525 lines at 29.97"} <=
                   set(r["DECK1_00092000.json"]["conformance"]["failed"]) and
                   "DOES NOT CONFORM to tapedeck5500 SD tape capture (" in out, out))),
        # LTC on the tape labels the frames: with no calibration at all the clip is exact, and
        # the serial time is checked against the LTC at an offset measured on the way.
        ("ltc", clip + ["00:10:00:00", "--out", "00:10:02:00", "--ltc-channel", "3"],
         uncalibrated, None, None,
         lambda rc, out, err, r, f: (
             os.rename(rig.calibration + ".aside", rig.calibration),
             check_clip(rig, f, r["DECK1_00100000.json"], frames("00:10:00:00"), 50,
                        "00:10:00:00"),
             check(r["DECK1_00100000.json"]["ltc"]["offsetFrom"] == "the LTC" and
                   r["DECK1_00100000.json"]["ltc"]["checkedFrames"] == 50 and
                   r["DECK1_00100000.json"]["ltc"]["disagreeing"] == 0 and
                   "labelled from LTC on channel 3" in out, out))),
        ("ltc_missing", clip + ["00:10:10:00", "--out", "00:10:11:00", "--ltc-channel", "3",
                                "--retries", "1"], ["ltc off"], None, None,
         lambda rc, out, err, r, f: failed(f, r["DECK1_00101000.json"], "no LTC on channel 3", 1)),
        ("ltc_backwards", clip + ["00:10:20:00", "--out", "00:10:22:00", "--ltc-channel", "3",
                                  "--retries", "0"], ["ltc on"], ltc_backwards, None,
         lambda rc, out, err, r, f: failed(f, r["DECK1_00102000.json"],
                                           "the LTC runs backwards: ", 0)),
        ("ltc_jump", clip + ["00:10:30:00", "--out", "00:10:32:00", "--ltc-channel", "3",
                             "--retries", "0"], ["ltc backwards off"], ltc_jump, None,
         lambda rc, out, err, r, f: failed(f, r["DECK1_00103000.json"],
                                           "the LTC jumps from 00:10:30:", 0)),
        # The LTC three frames off the deck's time, the offset calibrated: retried, then failed.
        ("ltc_disagrees", clip + ["00:10:40:00", "--out", "00:10:41:00", "--ltc-channel", "3",
                                  "--retries", "1"], ["ltc offset 3"], None, None,
         lambda rc, out, err, r, f: failed(f, r["DECK1_00104000.json"], "part by 3 frames", 1)),
        # Without a calibration, LTC five frames ahead of the deck: no path has that latency.
        ("ltc_ahead", clip + ["00:10:50:00", "--out", "00:10:51:00", "--ltc-channel", "3",
                              "--retries", "0"], lambda f: uncalibrated(f) + ["ltc offset 5"],
         None, None,
         lambda rc, out, err, r, f: (
             os.rename(rig.calibration + ".aside", rig.calibration),
             failed(f, r["DECK1_00105000.json"], "which no path has", 0))),
        # The sound stops for two seconds: the pictures waiting for their LTC fail the take in
        # words, and do not pile up.
        ("ltc_no_sound", clip + ["00:11:00:00", "--out", "00:11:04:00", "--ltc-channel", "3",
                                 "--retries", "0"], ["ltc offset 0"], ltc_sound_stops, None,
         lambda rc, out, err, r, f: failed(f, r["DECK1_00110000.json"],
                                           ("no LTC on channel 3", "the sound stopped"), 0)),
        # The sound from a device of its own, on the picture's clock: exact as the card's.
        ("sound_apart", clip + ["00:11:10:00", "--out", "00:11:12:00", "--ltc-channel", "3"] +
         apart, None, None, None,
         lambda rc, out, err, r, f: (
             check_clip(rig, f, r["DECK1_00111000.json"], frames("00:11:10:00"), 50,
                        "00:11:10:00"),
             check(r["DECK1_00111000.json"]["sound"]["driftPpm"] == 0 and
                   r["DECK1_00111000.json"]["ltc"]["disagreeing"] == 0 and
                   r["DECK1_00111000.json"]["provenance"]["soundInput"] == apart[1], r))),
        ("sound_apart_none", ["--audio-input", "unix:" + alternating, "--offset", "100",
                              "--in", "00:01:00:00", "--out", "00:01:01:00"], None, None, None,
         lambda rc, out, err, r, f: check(
             rc == 1 and "the sound input unix:%s has no sound" % alternating in out and not r,
             out)),
        # Its clock 100 ppm fast: kept as it came, the drift said; past 1 ms apart, failed.
        ("sound_drift", clip + ["00:11:20:00", "--out", "00:11:24:00"] + apart,
         ["sound drift 100"], None, None,
         lambda rc, out, err, r, f: (
             check_drifted(rig, r["DECK1_00112000.json"], frames("00:11:20:00"), 100, 100),
             check(re.search(r"its clock \+(9\d|10\d) ppm of the picture's, \+0\.[34]\d ms by "
                             r"the end", out), out))),
        ("sound_parts", clip + ["00:11:30:00", "--out", "00:11:45:00"] + apart,
         ["sound drift 100"], None, None,
         lambda rc, out, err, r, f: (
             check(rig.deck.command("sound drift 0") == "ok", "sound drift"),
             failed(f, r["DECK1_00113000.json"], "picture and sound part by 1.0", 0),
             check(re.search(r"runs (9\d|10\d) ppm fast of the picture's",
                             r["DECK1_00113000.json"]["reason"]), r))),
        # No checker: refused before the deck moves.
        ("no_checker", clip + ["00:09:30:00", "--out", "00:09:31:00", "--check"], None, None,
         {"PATH": "/nonexistent"},
         lambda rc, out, err, r, f: check(
             rc == 1 and "the check needs MediaConch" in err and
             not glob.glob(f + "/*.mkv"), out + err)),
    ]
    only = set(os.environ.get("CAPTURE_ROWS", "").split(",")) - {""}
    for name, extra, before, during, preexec, verdict in rows:
        if only and name not in only:
            continue
        folder = os.path.join(work, name)
        os.makedirs(folder)
        rc, out, err, r = run_row(rig, folder, name, extra, before, during, preexec)
        try:
            verdict(rc, out, err, r, folder)
        except AssertionError as e:
            raise AssertionError("%s: %s" % (name, e))


def main(argv):
    deckctl, decksim, case = argv[1:4]
    shim = argv[4] if len(argv) > 4 else None
    # One case per rate family in SD with its fields: 625 lines in 10 bits, 525 in 8. A
    # sanitizer build captures small pictures (CAPTURE_PICTURES=small): SD in real time needs
    # more CPU than it has on a loaded machine.
    small = os.environ.get("CAPTURE_PICTURES") == "small"
    cases = {"rate25": (case_rate25, 25, False, "320x240" if small else "720x576", 10),
             "rate2997df": (case_rate2997df, 29.97, True, "320x240" if small else "720x486", 8),
             "calibration": (case_calibration, 25, False, "320x240", 8),
             "faults": (lambda rig, work: case_faults(rig, work, shim), 25, False, "320x240", 8)}
    run, fps, drop, size, depth = cases[case]
    with tempfile.TemporaryDirectory(prefix="capture-") as work:
        # The faults' deck also offers its sound alone, as a card's sound device.
        sound = SOUND if case != "faults" else SOUND[:1] + [os.path.join(work, "sound.sock")] + \
            SOUND[1:]
        rig = deckrig.CaptureRig(deckctl, decksim, work, fps=fps, drop_frame=drop,
                                 video=DELAY + sound + ["--tape-length", "00:30:00:00",
                                                        "--video-size", size, "--video-depth",
                                                        str(depth)])
        rig.sound_sock = os.path.join(work, "sound.sock")
        rig.size, rig.depth, rig.width = size, depth, int(size.split("x")[0])
        try:
            started = time.monotonic()
            run(rig, work)
            print("%s passed in %.0f s" % (case, time.monotonic() - started))
        finally:
            rig.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
