#!/usr/bin/env python3
"""Reads what scripts/bench measured, prints the figures and checks the budgets.

usage: report.py RESULTS_DIR ALLOC_STATUS
Exits 1 when a budget is missed (or a measurement is missing), 0 otherwise.
"""
import json
import re
import statistics
import sys
from pathlib import Path

FIXED_PAUSES_MS = 1500.0  # 300 + 500 at start-up, 4 x 150 for FFC, 100 at shutdown
PAUSES_MS = (500.0, 300.0, 150.0, 100.0)
KEPT_FRAME_BUDGET_US = 50.0
RUN_BUDGET_MS = 1.10 * FIXED_PAUSES_MS
CPU_BUDGET = 0.05
RSS_BUDGET_KB = 1024

results = Path(sys.argv[1])
alloc_status = int(sys.argv[2])
missed = []


def spread(values):
    """median [min .. max] of a list of numbers."""
    return statistics.median(values), min(values), max(values)


def show(value, unit, digits=1):
    m, lo, hi = value
    return f"{m:.{digits}f} {unit} [{lo:.{digits}f} .. {hi:.{digits}f}]"


def check(name, ok, detail):
    print(f"  {'pass' if ok else 'MISSED'}  {name}: {detail}")
    if not ok:
        missed.append(name)


# --- capture path on the simulated camera -------------------------------------------------------
def repetitions(data, prefix):
    return [b for b in data["benchmarks"]
            if b["name"].startswith(prefix) and b.get("run_type") == "iteration"]


def to_ns(b, key="real_time"):
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b[key] * scale


print("Capture path, simulated camera (median [min .. max] over repetitions)")
capture = {}
for fs, label in (("tmp", "temporary directory"), ("shm", "/dev/shm")):
    data = json.loads((results / f"capture_{fs}.json").read_text())
    capture[fs] = data
    print(f" frame files on the {label}:")
    for case in ("replacing", "new_files"):
        reps = repetitions(data, f"BM_KeptFrame/{case}/")
        med = spread([b["median_us"] for b in reps])
        mean = spread([to_ns(b) / 1e3 for b in reps])
        ffc = spread([b["ffc_frame_us"] for b in reps])
        print(f"  kept frame, {case.replace('_', ' ')}: median {show(med, 'us')}, "
              f"mean {show(mean, 'us')}, with FFC {show(ffc, 'us')}")
        capture[(fs, case)] = med
        floor = spread([b["floor_median_us"] for b in reps])
        own = spread([b["median_us"] - b["floor_median_us"] for b in reps])
        print(f"    the same system calls alone, no tool code: median {show(floor, 'us')}; "
              f"kept frame less these, per repetition: {show(own, 'us')}")
    for case in ("repeat", "not_a_frame"):
        reps = repetitions(data, f"BM_RejectedRead/{case}/")
        print(f"  rejected read, {case.replace('_', ' ')}: "
              f"{show(spread([to_ns(b) for b in reps]), 'ns')}")
    floor = spread([to_ns(b) for b in repetitions(data, "BM_ProbeFloor")])
    print(f"  (timing floor included in each figure above: {show(floor, 'ns')})")
    for case in ("ffc_8_bytes", "begin_4_bytes"):
        reps = repetitions(data, f"BM_Sendcmd/{case}")
        print(f"  sendcmd without transfers, {case.replace('_', ' ')}: "
              f"{show(spread([to_ns(b) for b in reps]), 'ns', 2)}")

sim = capture["shm"]
print(" the simulated library's own cost per call (not in the figures above):")
for name, label in (("BM_SimFrameRead", "frame read, recorded"),
                    ("BM_CameraModelFrameRead", "camera model alone"),
                    ("BM_FillFrame", "frame fill alone"),
                    ("BM_SimClearHalt", "call that moves nothing (recording only)")):
    reps = repetitions(sim, name)
    print(f"  {label}: {show(spread([to_ns(b) / 1e3 for b in reps]), 'us', 2)}")

# --- whole runs against the emulated camera -----------------------------------------------------
def measured(name):
    rows = []
    for line in (results / name).read_text().splitlines():
        rows.append({k: float(v) for k, v in (f.split("=") for f in line.split())})
    return rows


EVENT = re.compile(r"^(\d+\.\d+) (\d+) (\S+)(.*)$")
EXIT = re.compile(r"^# command exit status (\d+) after (\d+\.\d+) ms")


def parse_log(path):
    events, exit_ms = [], None
    for line in path.read_text().splitlines():
        m = EVENT.match(line)
        if m:
            fields = dict(f.split("=", 1) for f in m.group(4).split() if "=" in f)
            events.append((float(m.group(1)), m.group(3), fields.get("ep", "")))
        m = EXIT.match(line)
        if m:
            exit_ms = float(m.group(2))
    return events, exit_ms


def breakdown(log, wall_ms):
    """Splits one run's wall time along the emulator's timed log. The tool's start is placed on the
    log's clock from its exit, as the emulator saw it, less its wall time; the emulator learns of the
    exit a little late, so the first and the last part are good to a few tenths of a ms only."""
    events, exit_ms = parse_log(log)
    parts = dict.fromkeys(
        ["start to first device call (process, libusb init, enumeration, open)", "configuration",
         "command transfers", "fixed pauses", "pause overshoot", "frame transfers",
         "between frame reads (files, console, libusb)", "clear halts", "close and exit"], 0.0)
    t0 = exit_ms - wall_ms
    parts["start to first device call (process, libusb init, enumeration, open)"] = events[0][0] - t0
    for (t_prev, _, _), (t, op, ep) in zip(events, events[1:]):
        dt = t - t_prev
        pause = next((p for p in PAUSES_MS if dt >= p - 5), None)
        if dt >= 90 and pause is not None:
            parts["fixed pauses"] += pause
            parts["pause overshoot"] += dt - pause
        elif op in ("capabilities", "set_configuration", "claim_interface"):
            parts["configuration"] += dt
        elif op == "clear_halt":
            parts["clear halts"] += dt
        elif op == "close":
            parts["close and exit"] += dt
        elif ep == "0x81" and op in ("reap", "discard"):
            parts["frame transfers"] += dt
        elif ep == "0x81":
            parts["between frame reads (files, console, libusb)"] += dt
        else:
            parts["command transfers"] += dt
    parts["close and exit"] += exit_ms - events[-1][0]
    return parts


print()
print("Whole runs, real tool against the emulated camera answering at once")
tool, bare, start = measured("tool.txt"), measured("bare.txt"), measured("start.txt")
if any(r["status"] != 0 for r in tool):
    missed.append("runs ended with a non-zero status")
wall = spread([r["wall_ms"] for r in tool])
cpu = spread([r["user_ms"] + r["system_ms"] for r in tool])
cpu_share = spread([(r["user_ms"] + r["system_ms"]) / r["wall_ms"] for r in tool])
user = spread([r["user_ms"] for r in tool])
system = spread([r["system_ms"] for r in tool])
rss = spread([r["max_rss_kb"] for r in tool])
bare_rss = spread([r["max_rss_kb"] for r in bare])

print(f"  runs: {len(tool)}; wall {show(wall, 'ms')}; tool CPU {show(cpu, 'ms')} "
      f"(user {show(user, 'ms')}, system {show(system, 'ms')})")
print(f"  peak RSS: tool {show(rss, 'kB', 0)}, bare libusb_init/libusb_exit {show(bare_rss, 'kB', 0)}")
print(f"  whole process, same way: usb_series --version (start and exit) "
      f"{show(spread([r['wall_ms'] for r in start]), 'ms')}; bare program (and libusb init, exit) "
      f"{show(spread([r['wall_ms'] for r in bare]), 'ms')}")
logs = sorted(results.glob("run*.log"), key=lambda p: int(re.sub(r"\D", "", p.name)))
parts = [breakdown(log, r["wall_ms"]) for log, r in zip(logs, tool)]
print(f"  where the wall time goes (median [min .. max] per run; {FIXED_PAUSES_MS:.0f} ms are "
      f"fixed pauses):")
for key in parts[0]:
    print(f"    {key:<70} {show(spread([p[key] for p in parts]), 'ms')}")

print()
print("Budgets")
for fs in ("tmp", "shm"):
    med = capture[(fs, "replacing")]
    check(f"kept frame, files on {'the temporary directory' if fs == 'tmp' else '/dev/shm'} "
          f"replacing the run before", med[0] <= KEPT_FRAME_BUDGET_US,
          f"median {med[0]:.1f} us <= {KEPT_FRAME_BUDGET_US:.0f} us")
check("whole run", wall[0] <= RUN_BUDGET_MS,
      f"median {wall[0]:.1f} ms <= {RUN_BUDGET_MS:.0f} ms (1.10 x {FIXED_PAUSES_MS:.0f} ms)")
check("tool CPU", cpu_share[0] <= CPU_BUDGET,
      f"median {100 * cpu_share[0]:.2f} % of wall <= {100 * CPU_BUDGET:.0f} %")
rss_over = rss[0] - bare_rss[0]
check("peak RSS", rss_over <= RSS_BUDGET_KB,
      f"median {rss_over:+.0f} kB over the bare program <= {RSS_BUDGET_KB} kB")
check("no heap allocation during capture", alloc_status == 0,
      "alloc_tests " + ("passed" if alloc_status == 0 else "FAILED"))
if missed:
    print(f"{len(missed)} budget(s) missed: {', '.join(missed)}")
    sys.exit(1)
print("all budgets met")
