#!/usr/bin/python3
"""How regularly the demo's robot loop reaches the bus while the log is under pressure.

Each phase runs the demo stack afresh (virtual CAN hub recording a pcap, pinned to a CPU of
its own; drive simulator; belvanto), resets, enables and starts the start program, and
after SECONDS reports the intervals between joint 1's set-point frames in the pcap:
median, p99, p99.9 and max (ms), and the "CycleTime exceeded" lines the controller logged.

    idle      the demo program as it stands
    flood     a start program of 100 System commands (each logs a line), repeated, while dd
              writes 800 MB into the data root
    slowout   the demo program with belvanto's standard output a pipe read 1 KiB every 10 ms

    /usr/bin/python3 tests/control/demo_loop_log.py BUILD_DIR [SECONDS] [PHASE ...]

Exits 1 when the flood's longest interval exceeds 1.5 periods or the slow reader moves p99
by more than 0.2 ms from the idle run.
"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from demo_stack import DemoStack, percentile  # noqa: E402

JOINT1 = 0x10
SET_POINT = 0x14
PERIOD_MS = 10.0
START_PROGRAM = "Data/Programs/DemoStart.xml"


def flood_program(text):
    """The demo program's header, then 100 System commands."""
    head = [line for line in text.splitlines() if "<Program" in line or "<Header" in line or "<?xml" in line]
    return "\n".join(head + ['  <System Nr="%d" />' % n for n in range(1, 101)] + ["</Program>"]) + "\n"


def set_point_intervals(frames, start, end):
    stamps = [t for t, can_id, data in frames
              if can_id == JOINT1 and len(data) >= 1 and data[0] == SET_POINT and start <= t <= end]
    return [(b - a) * 1000.0 for a, b in zip(stamps, stamps[1:])]


def run_phase(build, name, seconds):
    with DemoStack(build) as stack:
        if name == "flood":
            stack.edit(START_PROGRAM, flood_program)
        cpus = sorted(os.sched_getaffinity(0))
        stack.start(hub_cpu=cpus[-1] if len(cpus) > 1 else None)
        stack.start_controller(slow_stdout=(name == "slowout"))
        stack.enable_and_start()
        time.sleep(1.0)
        dd = None
        if name == "flood":
            dd = subprocess.Popen(["dd", "if=/dev/zero", "of=" + os.path.join(stack.root, "load.bin"), "bs=1M",
                                  "count=800", "conv=fsync"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            stack.keep_off_hub(dd.pid)
        start = time.time()
        time.sleep(seconds)
        end = time.time()
        if dd is not None:
            dd.wait()
        output = stack.output()
        stack.stop()
        frames = stack.frames()
    intervals = set_point_intervals(frames, start, end)
    exceeded = len(re.findall(r"CycleTime exceeded", output))
    systems = output.count("     System\n")
    return intervals, exceeded, systems


def main():
    build = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    phases = sys.argv[3:] or ["idle", "flood", "slowout"]
    results = {}
    for name in phases:
        intervals, exceeded, systems = run_phase(build, name, seconds)
        if not intervals:
            print("%-8s no set-points on the bus" % name)
            return 1
        results[name] = intervals
        print("%-8s %6d intervals  median %.3f  p99 %.3f  p99.9 %.3f  max %.3f ms  "
              "'CycleTime exceeded' %d  'System' lines %d" %
              (name, len(intervals), percentile(intervals, 0.5), percentile(intervals, 0.99),
               percentile(intervals, 0.999), max(intervals), exceeded, systems))
        sys.stdout.flush()
    failed = False
    if "flood" in results and max(results["flood"]) > 1.5 * PERIOD_MS:
        print("flood: the longest interval exceeds 1.5 periods")
        failed = True
    if "idle" in results and "slowout" in results:
        shift = abs(percentile(results["slowout"], 0.99) - percentile(results["idle"], 0.99))
        print("slow stdout moves p99 by %.3f ms" % shift)
        if shift > 0.2:
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
