#!/usr/bin/env python3
"""The deck panel in headless Chromium, against `deckctl serve` and decksim at 9600 baud.

One session as an operator has it: the page draws every bitmap; Play, J/K/L and a typed cue put
their bytes on the wire (decksim's trace) and the shown time follows; marks, a logged clip, a
note, an edit and a delete end in an EDL equal to the expected file; a refused cue is shown in
words; a hung-up deck darkens the lamp and comes back by itself; the second tab drives the
second deck alone; a second window sees what the first one does; a key pressed in a hub's page
reaches a deck on another server through a Mosquitto broker. Exit 77 when no browser.
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import deckrig  # noqa: E402
from deckrig import tc_to_frames  # noqa: E402
from panel_session import PanelSession, Skip, WebDriverException, browser_parts  # noqa: E402


def check(cond, what):
    if not cond:
        raise AssertionError(what)


class Trace:
    """decksim's trace file; `mark()` then `wait_for()` looks only at lines after the mark."""

    def __init__(self, path):
        self.path = path
        self.pos = 0

    def lines(self):
        with open(self.path, errors="replace") as f:
            f.seek(self.pos)
            return f.read().splitlines()

    def mark(self):
        self.pos = os.path.getsize(self.path)

    def inputs(self):
        """The bytes the deck received since the mark."""
        return deckrig.trace_bytes("\n".join(self.lines()))

    def wait_for(self, pattern, what, timeout=5.0):
        """Waits until the bytes sent since the mark contain `pattern` (hex bytes in order)."""
        want = pattern.split()

        def found():
            sent = self.inputs()
            return any(sent[i:i + len(want)] == want for i in range(len(sent) - len(want) + 1))
        deckrig.wait(found, "%s: %s to go to the deck" % (what, pattern), timeout)


def again(step, what):
    """A deck starved of CPU answers past the plug-in's 50 ms now and then, and the host
    command fails as it should (shown on the panel). An operator tries again; so do the steps
    that use this, once, and say so. A fault of the page fails both tries."""
    try:
        step()
    except AssertionError as e:
        print("note: %s: %s; once more" % (what, str(e).splitlines()[0]))
        step()


def cue_to(s, tc):
    again(lambda: (s.cue(tc), s.wait_text("time", lambda t: t == tc, "the time at " + tc,
                                          8)), "cue to " + tc)


def mark(s, key, field, tc):
    again(lambda: (s.key(key), s.wait_text(field, lambda t: t == tc,
                                           "%s at %s" % (field, tc), 3)),
          "mark %s at %s" % (field, tc))


def check_bitmaps(s):
    """Every bitmap the page shows is decoded, and every panel bitmap the server hands over
    decodes in the browser (the pressed faces are not on screen yet)."""
    b = s.driver
    # The panel's own; the capture's pictures come from its input, later.
    s.wait_js("return document.images.length > 0 && [...document.images].filter("
              "i => !i.closest('#capture')).every("
              "i => i.complete && i.naturalWidth > 0)", "the page's images to load", 10)
    broken = b.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const names = arguments[0], bad = [];
        let left = names.length;
        const auth = {Authorization: "Bearer " + sessionStorage.getItem("token")};
        for (const n of names) {
            const img = new Image();
            img.onload = () => { if (img.naturalWidth === 0) bad.push(n);
                                 if (--left === 0) done(bad); };
            img.onerror = () => { bad.push(n); if (--left === 0) done(bad); };
            fetch("/art/" + encodeURIComponent(n), {headers: auth}).then(r => r.blob())
                .then(b => { img.src = URL.createObjectURL(b); }, img.onerror);
        }""", s.ART_NAMES)
    check(not broken, "bitmaps the browser could not show: %s" % broken)
    shown = b.execute_script("return [...document.images].map(i => i.dataset.shows)")
    for name in ["#15001", "IDB_VTRINF_PLAYU", "IDB_VTRINF_STOPU", "IDB_VTRINF_PAUSEU",
                 "IDB_VTRINF_FWDU", "IDB_VTRINF_BACKU", "IDB_SHUTTLE_BACK", "IDB_BTN_CLOSEU",
                 "IDB_BTN_SERIALU", "IDB_BUTTON_U"]:
        check(name in shown, "the panel does not show %s (shows %s)" % (name, shown))
    check(s.state() not in ("no server", "not answering", "disconnected"),
          "state after load: " + s.state())


def check_play(s, trace):
    """Play: 3A on the wire, the Play button pressed, and the shown time runs."""
    trace.mark()
    s.click("btn-play")
    trace.wait_for("3A", "Play")
    s.wait_js("return document.querySelector('#btn-play img').dataset.shows.includes('PLAYD')",
              "the Play button to show its pressed face", 3)
    s.wait_text("state", lambda t: t == "playing", "state playing", 3)
    t0 = tc_to_frames(s.text("time"))
    time.sleep(1.0)
    t1 = tc_to_frames(s.text("time"))
    check(15 <= t1 - t0 <= 40, "shown time moved %d frames in 1 s of play" % (t1 - t0))


def check_jkl_and_knob(s, trace):
    """L, L, J, K, then the shuttle knob: their bytes on the wire, the state in words."""
    # L, L, J, K: variable speed forward 1 then 2, reverse 1, still.
    for key, wire, state in [("l", "B5 35", "shuttle +1"), ("l", "B5 36", "shuttle +2"),
                             ("j", "B6 35", "shuttle -1"), ("k", "30", None)]:
        trace.mark()
        s.key(key)
        trace.wait_for(wire, "key " + key.upper())
        if state:
            s.wait_text("state", lambda t, w=state: t == w, state, 3)

    # The knob: dragged right to speed 2, past its end to wind; released, still.
    trace.mark()
    s.drag_knob(40)
    trace.wait_for("B5 36", "knob at +2")
    s.drag_knob(80)
    s.wait_text("state", lambda t: t == "winding", "winding past the knob's end", 3)
    trace.mark()
    s.release_knob()
    trace.wait_for("30", "knob released")
    s.wait_text("state", lambda t: t == "still", "still after the knob", 3)


def check_cue(s, trace):
    """A typed cue reaches the wire and the shown time; a refused one is shown in words."""
    # A typed cue: DF 93, the target's digits, 40; the shown time arrives there.
    trace.mark()
    cue_to(s, "00:10:00:00")
    trace.wait_for("DF 93 30 30 31 30 30 30 30 30 40", "cue 00:10:00:00")

    # A cue the server refuses is shown in words; a drop-frame time typed for this 25 fps deck
    # goes to the server as typed, which refuses it.
    for typed, words in (("00:61:00:00", "timecode"), ("00:10:00;05", "runs at 25 non-drop")):
        s.cue(typed)
        s.wait_js("const m = document.getElementById('message');"
                  "return m.classList.contains('error') && m.textContent.includes('%s')" % words,
                  "the refused cue to %s to be shown" % typed, 3)


def check_log(s):
    """Marks from the keyboard and a Go To from the button; two clips and a note; an edit in
    place and a delete."""
    mark(s, "i", "in", "00:10:00:00")
    cue_to(s, "00:10:04:10")
    mark(s, "o", "out", "00:10:04:10")
    s.wait_text("dur", lambda t: t == "00:00:04:10", "duration 00:00:04:10", 3)
    s.type_into("clip-name", "Opening titles")
    s.type_into("clip-note", "colour bars first")
    s.click("log-clip")
    s.wait_js("return document.querySelectorAll('#clips tbody tr').length === 1",
              "the logged clip in the table", 3)
    s.type_into("clip-note", "dropout")
    s.click("log-note")
    s.wait_js("return document.querySelectorAll('#clips tbody tr').length === 2",
              "the note in the table", 3)
    again(lambda: (s.click("goto-in"),
                   s.wait_text("time", lambda t: t == "00:10:00:00", "Go To In", 8)),
          "Go To In")
    cue_to(s, "00:20:00:00")
    mark(s, "i", "in", "00:20:00:00")
    cue_to(s, "00:20:10:00")
    mark(s, "o", "out", "00:20:10:00")
    s.type_into("clip-name", "Interview")
    s.click("log-clip")
    s.wait_js("return document.querySelectorAll('#clips tbody tr').length === 3",
              "the second clip in the table", 3)
    # Edit the first clip's name in its row; delete the note.
    s.edit_cell(0, "name", "Opening")
    s.wait_log(lambda c: len(c) == 3 and c[0]["name"] == "Opening", "the edited name", 3)
    s.wait_js("const i = document.querySelector(\"#clips tbody tr input[data-key='name']\");"
              "return i && i.value === 'Opening'", "the edited name in the table", 3)
    s.click_row_delete(1)
    s.wait_log(lambda c: [x["name"] for x in c] == ["Opening", "Interview"],
               "the note deleted", 3)
    s.wait_js("return document.querySelectorAll('#clips tbody tr').length === 2",
              "the table without the deleted clip", 3)


def check_exports(s, a):
    """The log's EDL equals the expected file; the CSV starts with its header."""
    s.type_into("edl-title", "PANEL TEST")
    edl = s.fetch_link("export-edl")
    with open(a.expected, newline="") as f:
        want = f.read()
    got = edl.replace("\r\n", "\n")
    if got != want.replace("\r\n", "\n"):
        with open(os.path.join(a.out, "got.edl"), "w") as f:
            f.write(edl)
        raise AssertionError("the EDL differs from %s (got it in %s):\n%s"
                             % (a.expected, a.out, edl))
    csv = s.fetch_link("export-csv")
    check(csv.splitlines()[0].strip() == "id,port,reel,name,in,out,duration,note,rate,drop_frame",
          "CSV header: " + csv.splitlines()[0])


def check_hangup(s):
    """The deck hangs up: lamp dark, state says so; back by itself when the line returns."""
    again(s.play_and_wait, "play")
    s.deck_control("fault hangup 2000")
    s.wait_js("return document.getElementById('lamp').dataset.shows === 'IDB_BUTTON_D'",
              "the lamp to go dark", 4)
    s.wait_text("state", lambda t: t in ("not answering", "disconnected"),
                "the state to say the deck is not answering", 4)
    s.wait_js("return document.getElementById('lamp').dataset.shows === 'IDB_BUTTON_U'",
              "the lamp to light again", 10)
    s.wait_text("state", lambda t: t not in ("not answering", "disconnected"),
                "the state back from not answering", 5)
    again(s.play_and_wait, "play after the hang-up")


def check_second_deck(s, trace, trace2):
    """The second tab drives the second deck only."""
    s.click_tab(1)
    s.wait_text("device", lambda t: t.startswith("Port 2 "), "the panel on deck 2", 3)
    trace.mark()
    trace2.mark()
    again(s.play_and_wait, "play on deck 2")
    trace2.wait_for("3A", "Play on deck 2")
    check("3A" not in trace.inputs(), "Play on deck 2 reached deck 1")
    # The rate is the second deck's alone, changed from the page.
    s.driver.execute_script("const r = document.getElementById('rate');"
                            "r.value = '29.97df'; r.dispatchEvent(new Event('change'));")
    s.wait_deck(lambda d: d["rate"] == "29.97df" and ";" in d["time"], "deck 2 at 29.97df", 3,
                port=2)
    check(s.deck(1)["rate"] == "25", "the rate change reached deck 1")


def check_two_windows(s):
    """A second window (on deck 1, the first) sees what the first window does."""
    b = s.driver
    first = b.current_window_handle
    b.switch_to.new_window("window")
    s.open_page()
    s.wait_text("state", lambda t: t == "playing", "deck 1 playing in window 2", 3)
    second = b.current_window_handle
    b.switch_to.window(first)
    s.click_tab(0)
    s.click("btn-pause")
    b.switch_to.window(second)
    s.wait_text("state", lambda t: t == "still", "window 2 to show the pause", 2)
    b.switch_to.window(first)
    s.key(" ")  # space: play, from still
    b.switch_to.window(second)
    s.wait_text("state", lambda t: t == "playing", "window 2 to show space's play", 3)
    b.close()
    b.switch_to.window(first)


def check_hub(s):
    """A hub on a Mosquitto broker, with a machine in front of a third deck: J pressed in the
    hub's page reaches that deck's wire, through the broker."""
    if not shutil.which("mosquitto"):
        print("note: no mosquitto (scripts/install-deps broker): the hub's case is left out")
        return
    broker = deckrig.Broker(s.work, {"hub": "hub-pw-%d" % os.getpid(), "M": "m-pw"})
    s.procs.append(broker.proc)
    deck = s.start_deck(baud=9600, trace=True)
    pw = {}
    for user in ("hub", "M"):
        pw[user] = os.path.join(s.work, user + ".pw")
        with open(pw[user], "w") as f:
            f.write(broker.users[user] + "\n")
    common = ["--broker", broker.url, "--broker-password-file"]
    machine = deckrig.Server(s.deckctl, os.path.join(s.work, "machine.txt"),
                             os.path.join(s.work, "machine.json"), links={1: deck["link"]},
                             extra=common + [pw["M"], "--machine", "M"], token=s.token)
    hub = deckrig.Server(s.deckctl, os.path.join(s.work, "hub.txt"),
                         os.path.join(s.work, "hub.json"),
                         extra=common + [pw["hub"], "--hub"], token=s.token)
    s.procs += [machine.proc, hub.proc]
    b = s.driver
    first, own = b.current_window_handle, s.port
    b.switch_to.new_window("window")
    s.port = hub.port
    try:
        s.open_page()
        s.wait_text("device", lambda t: t.startswith("M port 1 "), "the hub's panel on M:1", 10)
        s.wait_text("state", lambda t: t == "stopped", "M:1 stopped on the hub", 5)
        trace = Trace(deck["trace"])
        trace.mark()
        s.key("j")
        trace.wait_for("B6 35", "J on the hub's page")
        s.wait_text("state", lambda t: t == "shuttle -1", "M:1 in shuttle on the hub", 3)
    finally:
        s.port = own
        b.close()
        b.switch_to.window(first)


def check_capture(s):
    """Capture from the page, on a server of its own in front of a deck with its picture:
    Calibrate, two clips ticked in the log and captured, each bar moving, the report's two
    rows, and two files that hold exactly the clips' frames by their stripes."""
    sock, folder = os.path.join(s.work, "deck.video"), os.path.join(s.work, "captures")
    os.mkdir(folder)
    deck = s.start_deck(baud=9600, extra=["--video", sock, "--video-delay", "80",
                                          "--video-jitter", "5", "--audio"])
    srv = deckrig.Server(s.deckctl, os.path.join(s.work, "capture.txt"),
                         os.path.join(s.work, "capture.json"), links={1: deck["link"]},
                         token=s.token, extra=["--capture-input", "unix:" + sock,
                                               "--capture-folder", folder,
                                               "--capture-calibration",
                                               os.path.join(s.work, "offsets.json")])
    s.procs.append(srv.proc)
    clips = [("00:01:00:00", "00:01:02:00"), ("00:01:10:00", "00:01:12:10")]
    for i, (a, b) in enumerate(clips):
        deckrig.request(srv.port, "POST", "/api/log", '{"name": "take %d", "in": "%s", '
                        '"out": "%s"}' % (i + 1, a, b), token=s.token)
    b, first, own = s.driver, s.driver.current_window_handle, s.port
    b.switch_to.new_window("window")
    s.port = srv.port
    try:
        s.open_page()
        s.wait_js("return !document.getElementById('capture').hidden && "
                  "document.querySelectorAll('#clips tbody .sel input').length === 2",
                  "the capture section and the log's tick boxes", 5)
        # The signal checked before anything runs: the picture comes, the tape is silent.
        s.click("cap-look")
        s.wait_js("return Number(document.getElementById('cap-preview').dataset.seq) > 1 && "
                  "document.getElementById('cap-preview').naturalWidth === 320",
                  "the preview's picture before a capture", 10)
        levels = json.loads(b.execute_script(
            "return document.getElementById('cap-meters').dataset.levels"))
        check(len(levels) == 4 and all(m["peakDbfs"] is None for m in levels),
              "the meters of a stopped tape: %s" % levels)
        s.type_into("cap-preroll", "1")
        s.click("cap-calibrate")
        s.wait_text("cap-words", lambda t: "stored" in t, "the calibration stored", 40)
        for box in b.find_elements("css selector", "#clips tbody .sel input"):
            box.click()
        s.type_into("cap-folder", "reel 1")
        s.click("cap-start")
        # Each clip's bar seen part-way, then the report: two rows, both captured.
        for n in (1, 2):
            s.wait_js("const p = document.querySelector('#cap-report tbody tr:nth-child(%d) "
                      "progress'); return p && p.value > 0 && p.value < p.max && "
                      "document.getElementById('cap-batch').value < 1" % n,
                      "clip %d's bar part-way" % n, 40)
            # While it runs the picture keeps changing and the meters show the tape's tone
            # (-20 dBFS on all but the last channel).
            seq = int(b.execute_script(
                "return document.getElementById('cap-preview').dataset.seq"))
            s.wait_js("return Number(document.getElementById('cap-preview').dataset.seq) > %d"
                      % seq, "clip %d's preview to change" % n, 5)
            s.wait_js("const l = JSON.parse(document.getElementById('cap-meters').dataset.levels"
                      "); return l.length === 4 && l.slice(0, 3).every(m => Math.abs(m.peakDbfs "
                      "+ 20) < 0.5) && l[3].peakDbfs === null", "clip %d's meters" % n, 5)
            if n == 2:
                # The first clip's graph is drawn by now: all three in one picture.
                s.wait_js("const c = document.querySelector('#cap-report tbody tr:nth-child(1) "
                          "canvas.cap-graph'); return c && Number(c.dataset.points) === 50",
                          "clip 1's graph while clip 2 runs", 10)
                b.set_window_size(1100, 1000)
                b.execute_script("document.getElementById('capture').scrollIntoView()")
                s.driver.save_screenshot(os.path.join(s.work, "capture.png"))
                s.shots.append(os.path.join(s.work, "capture.png"))
        s.wait_js("const r = [...document.querySelectorAll('#cap-report tbody tr')];"
                  "return r.length === 2 && r.every(t => t.dataset.phase === 'captured')",
                  "the report's two rows captured", 40)
        # Each clip's graph drawn, a point a frame, and its poster shown.
        s.wait_js("const r = [...document.querySelectorAll('#cap-report tbody tr')];"
                  "return r.every((t, i) => Number(t.querySelector('canvas.cap-graph')"
                  ".dataset.points) === [50, 60][i] && t.querySelector('img.cap-poster')"
                  ".naturalWidth === 320)", "each clip's graph and poster", 10)
        rows = b.execute_script("return [...document.querySelectorAll('#cap-report tbody tr')]"
                                ".map(t => [...t.cells].map(c => c.textContent))")
        batch = json.loads(deckrig.request(srv.port, "GET", "/api/capture",
                                           token=s.token)[1])["batches"][0]
        for row, (a, b_), clip in zip(rows, clips, batch["clips"]):
            first_frame, count = tc_to_frames(a), tc_to_frames(b_) - tc_to_frames(a)
            check(row[5:11] == [a, b_, str(count), a, b_, str(count)] and row[11:15] ==
                  ["0", "0", "0", "0"] and row[15] == "captured", "report row %s" % row)
            path = clip["report"]["file"]
            check(os.path.dirname(path) == os.path.join(os.path.realpath(folder), "reel 1") and
                  row[16] == os.path.basename(path), "file %s, shown as %s" % (path, row[16]))
            probe = deckrig.probe(path)
            check(probe["codec_name"] == "ffv1" and probe["nb_read_frames"] == str(count) and
                  probe["TAG:TIMECODE"] == a, "ffprobe: %s" % probe)
            check(deckrig.stripes(path, 320) == list(range(first_frame, first_frame + count)),
                  "%s does not hold %s-%s by its stripes" % (path, a, b_))
    finally:
        s.port = own
        b.close()
        b.switch_to.window(first)


def screenshot(s, a):
    """The panel as the test left it, into the test's build folder."""
    again(s.play_and_wait, "play for the screenshot")
    time.sleep(0.8)
    os.makedirs(a.out, exist_ok=True)
    s.driver.save_screenshot(os.path.join(a.out, "panel.png"))
    for shot in s.shots:
        shutil.copy(shot, a.out)
    print("panel.browser: bitmaps, play, J/K/L, knob, cue, marks, log, EDL, hang-up, two "
          "decks, two windows, a hub's key through the broker: all shown; screenshot in " + os.path.join(a.out, "panel.png"))


def check_token_kept(s):
    """The token left the address bar for the tab's session storage, and no cookie was set."""
    href, kept = s.driver.execute_script(
        "return [location.href, sessionStorage.getItem('token')]")
    cookies = s.driver.get_cookies()  # HttpOnly ones too
    check("token" not in href and kept == s.token and not cookies,
          "address %s, session storage %r, cookies %s" % (href, kept, cookies))


def check_reload(s):
    """A reload, whose address has no token, works as before: the state, the artwork and the
    log, all fetched with the kept token; still no cookie."""
    s.driver.refresh()
    s.wait_page()
    s.wait_text("state", lambda t: t not in ("no server", "no deck"), "the state after a reload",
                5)
    s.wait_js("return document.querySelectorAll('#clips tbody tr').length === 2 && "
              "[...document.images].filter(i => !i.closest('#capture'))"
              ".every(i => i.complete && i.naturalWidth > 0)",
              "the log and the artwork after a reload", 5)
    check_token_kept(s)


def run(a):
    browser_parts()  # skips before anything starts when there is no browser to drive
    work = tempfile.mkdtemp(prefix="panel-test-")
    # A token on loopback too: the page must carry it on every request it makes.
    s = PanelSession(a.deckctl, a.decksim, work, token="t0ken-%d-panel-browser" % os.getpid())
    s.shots = []  # screenshots taken on the way, kept beside the last
    trace = None
    try:
        s.start_deck(baud=9600, trace=True)
        s.start_deck(baud=9600, trace=True)
        trace = Trace(s.decks[0]["trace"])
        trace2 = Trace(s.decks[1]["trace"])
        s.start_server(log=os.path.join(work, "clips.json"))
        for port in (1, 2):
            s.wait_deck(lambda d: d["connected"] and d["answering"], "deck %d to answer" % port,
                        10, port)
        s.open_browser()
        check_token_kept(s)
        check_bitmaps(s)
        check_play(s, trace)
        check_jkl_and_knob(s, trace)
        check_cue(s, trace)
        check_log(s)
        check_exports(s, a)
        check_reload(s)
        check_hangup(s)
        check_second_deck(s, trace, trace2)
        check_two_windows(s)
        check_hub(s)
        check_capture(s)
        screenshot(s, a)
    except (AssertionError, WebDriverException) as e:
        polls = {"D7", "B0", "A0", "DE", "C1"}
        sent = [b for b in trace.inputs() if b not in polls] if trace else []
        raise AssertionError("%s\n  page: %s\n  sent since the mark, polls left out: %s"
                             % (e, s.snapshot(), " ".join(sent[-40:])))
    finally:
        s.close()
        shutil.rmtree(work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--deckctl", required=True)
    ap.add_argument("--decksim", required=True)
    ap.add_argument("--expected", required=True)
    ap.add_argument("--out", required=True, help="folder for the screenshot")
    a = ap.parse_args()
    try:
        run(a)
    except Skip as e:
        print("skipped: " + str(e))
        return 77
    except AssertionError as e:
        print("FAIL: %s" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
