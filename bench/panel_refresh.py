#!/usr/bin/env python3
"""Refreshes of the shown time per second in the browser panel.

decksim at 9600 baud and 25 fps, playing, behind `deckctl serve`; headless Chromium counts the
DOM updates of the time field with a MutationObserver over each window. Writes the figure in
report.py's form: {"figures": [{section, name, unit, median, lo, hi, runs, target, pass, note}]}.
Exit 77 when no browser is installed.
"""
import argparse
import importlib.util
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "panel"))
from panel_session import PanelSession, Skip  # noqa: E402

TARGET = 24.0

COUNT_JS = """
const done = arguments[arguments.length - 1];
const seconds = arguments[0];
const el = document.getElementById('time');
let n = 0;
const seen = new Set();
const obs = new MutationObserver((records) => { n += 1; seen.add(el.textContent); });
obs.observe(el, {childList: true, characterData: true, subtree: true});
const t0 = performance.now();
setTimeout(() => {
    obs.disconnect();
    done({updates: n, distinct: seen.size, seconds: (performance.now() - t0) / 1000});
}, seconds * 1000);
"""


def measure(a):
    work = tempfile.mkdtemp(prefix="panel-bench-")
    s = PanelSession(a.deckctl, a.decksim, work)
    try:
        s.start_deck(baud=9600, fps=25)
        s.start_server(log=os.path.join(work, "clips.json"))
        s.wait_deck(lambda d: d["connected"] and d["answering"], "the deck to answer", 10)
        driver = s.open_browser()
        driver.set_script_timeout(a.seconds + 30)
        try:
            s.play_and_wait()
        except AssertionError:  # a deck starved of CPU may miss one acknowledge; press again
            s.play_and_wait()
        time.sleep(1.0)  # past the servo lock, the time runs steadily
        rates = []
        for _ in range(a.rounds):
            r = driver.execute_async_script(COUNT_JS, a.seconds)
            if r["distinct"] < 2:
                raise AssertionError("the shown time did not move: %s" % r)
            rates.append(r["updates"] / r["seconds"])
        return rates
    finally:
        s.close()
        shutil.rmtree(work, ignore_errors=True)


def main():
    # Debian's python3-selenium lives in the system interpreter's packages; report.py may run
    # under another python3 that comes first on the PATH.
    system = "/usr/bin/python3"
    if (importlib.util.find_spec("selenium") is None and os.path.exists(system) and
            os.path.realpath(sys.executable) != os.path.realpath(system)):
        os.execv(system, [system] + sys.argv)
    ap = argparse.ArgumentParser()
    ap.add_argument("--deckctl", required=True)
    ap.add_argument("--decksim", required=True)
    ap.add_argument("--json", required=True, help="where to write the figure")
    ap.add_argument("--seconds", type=float, default=10.0, help="length of one window")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="one 2 s window, to show it runs")
    a = ap.parse_args()
    if a.quick:
        a.seconds, a.rounds = 2.0, 1
    try:
        rates = measure(a)
    except Skip as e:
        print("panel_refresh: skipped: " + str(e))
        return 77
    m = statistics.median(rates)
    figure = dict(section="Browser panel, 9600 baud, 25 fps, playing",
                  name="refreshes of the shown time per second", unit="/s", median=m,
                  lo=min(rates), hi=max(rates), runs=len(rates), target=">= 24",
                  **{"pass": m >= TARGET}, note="%g s windows" % a.seconds)
    with open(a.json, "w") as f:
        json.dump({"figures": [figure]}, f, indent=1)
    print("refreshes of the shown time: %.1f/s (%s)" % (m, ", ".join("%.1f" % r for r in rates)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
