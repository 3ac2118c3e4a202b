#!/usr/bin/env python3
"""Runs the benchmark binaries, prints one table and writes results.json.

Exit status 0 when every figure was measured; a missed target shows as FAIL in the table
and in the JSON, since timings on a shared machine are not a test verdict.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

CPU_NAMES = {
    "status_33": "status sense (33)",
    "poll_10_idle": "poll, nothing pending (10)",
    "poll_10_pending": "poll, one command (10)",
    "cue_7": "cue (7)",
    "position_25": "position (25)",
}
CPU_LIMIT_US = 5.0


def machine():
    model, cpus = "unknown", str(os.cpu_count())
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                model = value.strip()
            elif key.strip() == "CPU(s)":
                cpus = value.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return {"model": model, "cpus": cpus}


def cpu_figures(path):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    times, allocs = {}, {}
    for r in runs:
        if r.get("run_type") != "iteration":
            continue
        if r.get("error_occurred"):
            sys.exit("bench_cpu: %s: %s" % (r["run_name"], r.get("error_message")))
        name = r["run_name"]
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[r["time_unit"]]
        times.setdefault(name, []).append(r["real_time"] * scale)
        allocs.setdefault(name, []).append(r["allocs_per_call"])
    figures = []
    for key, label in CPU_NAMES.items():
        if key not in times:
            sys.exit("bench_cpu gave no figure for " + key)
        v = times[key]
        m = statistics.median(v)
        figures.append(dict(section="CPU, in-memory deck", name=label + " per call", unit="us",
                            median=m, lo=min(v), hi=max(v), runs=len(v), target="< 5",
                            pass_=m < CPU_LIMIT_US, note=""))
    worst = max(max(v) for v in allocs.values())
    every = [a for v in allocs.values() for a in v]
    figures.append(dict(section="CPU, in-memory deck", name="heap allocations per call (all five)",
                        unit="", median=statistics.median(every), lo=min(every), hi=worst,
                        runs=len(every), target="0", pass_=worst == 0, note=""))
    return figures


def line_figures(path):
    with open(path) as f:
        figures = json.load(f)["figures"]
    for x in figures:
        x["pass_"] = x.pop("pass")
    return figures


def run(cmd, log):
    with open(log, "w") as out:
        r = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        sys.stderr.write(open(log).read())
        sys.exit("%s exited with %d" % (cmd[0], r.returncode))


def fmt(v):
    return "%.3g" % v if abs(v) < 100 else "%.0f" % v


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="build tree holding bench/bench_*")
    ap.add_argument("--out", required=True, help="folder for results.json and the logs")
    ap.add_argument("--quick", action="store_true", help="one short pass, to show they run")
    ap.add_argument("--only", default="cpu,line,timecode,uart,panel,capture",
                    help="comma-separated parts to run: cpu, line, timecode, uart (the QEMU guest; "
                         "left out of --quick, whose boot alone takes longer than the rest), "
                         "panel (deckctl serve, the browser where one is installed, and the "
                         "machine room where Mosquitto is), "
                         "capture (deckctl capture against decksim's picture)")
    a = ap.parse_args()
    parts = set(a.only.split(","))
    if a.quick:
        parts.discard("uart")
    os.makedirs(a.out, exist_ok=True)
    quick = ["--quick"] if a.quick else []
    figures = []
    if "cpu" in parts:
        cpu_json = os.path.join(a.out, "cpu.json")
        run([os.path.join(a.build, "bench", "bench_cpu"), "--json", cpu_json] + quick,
            os.path.join(a.out, "cpu.log"))
        figures += cpu_figures(cpu_json)
    if "line" in parts:
        line_json = os.path.join(a.out, "line.json")
        run([os.path.join(a.build, "bench", "bench_line"), "--json", line_json] + quick,
            os.path.join(a.out, "line.log"))
        figures += line_figures(line_json)
    if "timecode" in parts:
        tc_json = os.path.join(a.out, "timecode.json")
        run([os.path.join(a.build, "bench", "bench_timecode"), "--json", tc_json] + quick,
            os.path.join(a.out, "timecode.log"))
        figures += line_figures(tc_json)
    if "uart" in parts:
        # The module through the guest's 8250 driver against decksim, beside the same program
        # on the host over decksim's pty (tests/uart/run.py).
        uart_json = os.path.join(a.out, "uart.json")
        here = os.path.dirname(os.path.abspath(__file__))
        run([sys.executable, os.path.join(here, "..", "tests", "uart", "run.py"), "bench",
             "--guest", os.path.join(a.build, "tests", "uart", "uart_guest"),
             "--module", os.path.join(a.build, "plugin", "libtapedeck5500.so"),
             "--decksim", os.path.join(a.build, "tools", "decksim", "decksim"),
             "--work", os.path.join(a.out, "uart"), "--json", uart_json],
            os.path.join(a.out, "uart.log"))
        figures += line_figures(uart_json)
    scripts = []
    if "panel" in parts:
        # The panel server's figures, the browser's where one is installed and the machine
        # room's where Mosquitto is (77: none).
        scripts += ["panel_bench.py", "panel_rates_bench.py", "panel_refresh.py",
                    "panel_load_bench.py", "room_bench.py"]
    if "capture" in parts:
        scripts.append("capture_bench.py")
    if scripts:
        tools = os.path.join(a.build, "tools")
        for script in scripts:
            path = os.path.join(os.path.dirname(os.path.abspath(__file__)), script)
            if not os.path.exists(path):
                continue
            out_json = os.path.join(a.out, script.replace(".py", ".json"))
            log = os.path.join(a.out, script.replace(".py", ".log"))
            cmd = [sys.executable, path, "--deckctl", os.path.join(tools, "deckctl", "deckctl"),
                   "--decksim", os.path.join(tools, "decksim", "decksim"), "--json", out_json] + quick
            with open(log, "w") as out:
                r = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT)
            if r.returncode == 77:
                print("%s skipped: %s" % (script, open(log).read().strip().splitlines()[-1:]))
                continue
            if r.returncode != 0:
                sys.stderr.write(open(log).read())
                sys.exit("%s exited with %d" % (script, r.returncode))
            figures += line_figures(out_json)

    m = machine()
    print("Machine: %s, %s CPUs%s" % (m["model"], m["cpus"], " (quick pass)" if a.quick else ""))
    rows = [("figure", "median", "spread", "target", "")]
    section = None
    for x in figures:
        if x["section"] != section:
            section = x["section"]
            rows.append(("[" + section + "]", "", "", "", ""))
        unit = (" " + x["unit"]) if x["unit"] else ""
        name = x["name"] + ((" (" + x["note"] + ")") if x["note"] else "")
        verdict = ("pass" if x["pass_"] else "FAIL") if x["target"] else ""
        rows.append(("  " + name, fmt(x["median"]) + unit,
                     "%s..%s (n=%d)" % (fmt(x["lo"]), fmt(x["hi"]), x["runs"]),
                     x["target"], verdict))
    widths = [max(len(r[i]) for r in rows) for i in range(5)]
    for r in rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    missed = [x["name"] for x in figures if x["target"] and not x["pass_"]]
    print("%d targets, %d missed%s" % (sum(1 for x in figures if x["target"]), len(missed),
                                      (": " + "; ".join(missed)) if missed else ""))

    for x in figures:
        x["pass"] = x.pop("pass_")
    with open(os.path.join(a.out, "results.json"), "w") as f:
        json.dump({"machine": m, "quick": a.quick, "figures": figures}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
