#!/usr/bin/python3
"""The e-stop on the demo stack: the drive simulator opens the e-stop circuit while the demo
program runs, OPENINGS times, and the hub's pcap tells what the controller did.

The robot file monitors the e-stop on DIn 21 (bit 0 of I/O module 80) and has its brake on
DOut 22; the project sets DOut 23 on error. For each opening, from the I/O module's frame
that first reports the open circuit (the input frame):
- the set-point bursts after it that still move: none when the frame came LATE_MS or more
  before the burst (it was there for that cycle's last e-stop look), else at most one;
- the largest joint step after it, in degrees;
- the time to the held burst (the first one that no longer moves) and to the I/O output
  frame that engages the brake; the brake output goes off and the on-error output on.
Over the whole recording no set-point changes while the brake output last sent holds the
brake, and the controller logs exactly one "ESTOP DETECTED" per opening (none at start-up:
the circuit is closed before the I/O module's first answer). Between openings the circuit
is closed and the robot reset, enabled ("2") and started ("5") again.

    /usr/bin/python3 tests/control/demo_estop.py BUILD_DIR [OPENINGS]

Prints the figures (median, max) and exits 1 when a check fails.
"""
import os
import random
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from demo_stack import PROJECT, ROBOT, DemoStack, percentile, wait_for  # noqa: E402

DIO = 0x50
DIO_ANSWER = DIO + 1
JOINTS = (0x10, 0x20, 0x30, 0x40)
SET_POINT = 0x14
ESTOP_BIT = 0x01      # DIn 21 = I/O module 0, input 0
BRAKE_BIT = 0x02      # DOut 22 = I/O module 0, output 1
ON_ERROR_BIT = 0x04   # DOut 23
PERIOD = 0.010
# An input frame this long before a burst was there for that cycle's last e-stop look.
LATE_MS = 3.0


def prepare(stack):
    stack.edit(ROBOT, lambda t: t.replace('<EStopMonitoring DInChannel="-1"/>', '<EStopMonitoring DInChannel="20"/>')
               .replace('<Brake Active="False" DOutChannel="-1" DelayMS="500"/>',
                        '<Brake Active="True" DOutChannel="21" DelayMS="200"/>'))
    stack.edit(PROJECT, lambda t: re.sub(r'(\s*)(<DOut Number="1" [^>]*/>)',
                                         r'\1\2\1<DOut Number="22" Name="" ResetState="False" ErrorState="True"/>',
                                         t, count=1))


def gear_scales(stack):
    """GearScale of each joint module id (the set-point frames carry value x GearScale)."""
    with open(os.path.join(stack.root, ROBOT)) as f:
        text = f.read()
    return {int(m.group(1)): float(m.group(2)) for m in re.finditer(r'<Joint\d ID="(\d+)" GearScale="([-0-9.]+)"', text)}


def starts(stack):
    return stack.output().count("Starting Program")


def run(stack, openings):
    stack.start()
    stack.simulator("inputs %d 0x%02X\n" % (DIO, ESTOP_BIT))  # the circuit is closed
    if not wait_for(lambda: "inputs of 0x50 set to 0x01" in stack.simulator_output(), 10):
        raise RuntimeError("the simulator took no inputs")
    stack.start_controller()
    marks = []
    for k in range(openings + 1):
        # Reset and enable, then start (the brake lifts 200 ms after the enable).
        before = starts(stack)
        for _ in range(10):
            stack.type("2\n")
            time.sleep(0.3)
            stack.type("5\n")
            if wait_for(lambda: starts(stack) > before, 2):
                break
        else:
            raise RuntimeError("the program did not start:\n" + stack.output()[-3000:])
        if k == openings:
            break
        time.sleep(random.uniform(0.6, 1.2))  # moving, brake released
        marks.append(time.time())
        stack.simulator("inputs %d 0x00\n" % DIO)
        time.sleep(0.5)
        stack.simulator("inputs %d 0x%02X\n" % (DIO, ESTOP_BIT))
        time.sleep(0.2)
    time.sleep(0.3)
    stack.stop()
    return stack.frames()


def bursts(frames):
    """The set-point bursts: (time of the first joint frame, {id: raw value}), one a cycle."""
    out = []
    for t, can_id, data in frames:
        if can_id in JOINTS and len(data) >= 6 and data[0] == SET_POINT:
            value = int.from_bytes(bytes(data[2:6]), "big", signed=True)
            if not out or can_id in out[-1][1]:
                out.append((t, {}))
            out[-1][1][can_id] = value
    return out


def analyse(frames, openings, scales):
    failures = []
    held_ms, brake_ms, steps, moving_counts = [], [], [], []
    level = None
    windows = []  # (input frame time, closing frame time)
    for t, can_id, data in frames:
        if can_id == DIO_ANSWER and len(data) == 8:
            closed = bool(data[7] & ESTOP_BIT)
            if level is True and not closed:
                windows.append([t, None])
            elif level is False and closed and windows and windows[-1][1] is None:
                windows[-1][1] = t
            level = closed
    if len(windows) != openings:
        failures.append("%d openings on the bus, %d made" % (len(windows), openings))
    cycles = bursts(frames)
    outputs_sent = [(t, data[7]) for t, can_id, data in frames
                    if can_id == DIO and len(data) == 8 and data[0] == SET_POINT]

    # No set-point change while the brake output last sent holds the brake (the joint
    # frames of a cycle leave before its I/O frame), from the brake's first release on (the
    # set-points taken over at start-up are the start-up's business).
    # A reset that takes the measured position over as the set-point moves nothing.
    answers = [(t, can_id - 1, int.from_bytes(bytes(data[1:5]), "big", signed=True)) for t, can_id, data in frames
               if can_id - 1 in JOINTS and len(data) == 8]
    k = 0
    a = 0
    measured = {}
    brake_released = False
    ever_released = False
    for n in range(1, len(cycles)):
        t, values = cycles[n]
        while k < len(outputs_sent) and outputs_sent[k][0] < t:
            brake_released = bool(outputs_sent[k][1] & BRAKE_BIT)
            ever_released = ever_released or brake_released
            k += 1
        while a < len(answers) and answers[a][0] < t:
            measured[answers[a][1]] = answers[a][2]
            a += 1
        if not ever_released:
            continue
        prev = cycles[n - 1][1]
        changed = {i: (v - prev[i]) / abs(scales.get(i, 1.0) or 1.0) for i, v in values.items()
                   if prev.get(i) not in (None, v) and abs(v - measured.get(i, v + 2)) > 1}
        if changed and not brake_released:
            failures.append("a set-point changed %.3f s into the recording while the brake output held the brake "
                            "(%s)" % (t - frames[0][0], ", ".join("0x%X %+.4f deg" % kv for kv in sorted(changed.items()))))
            break

    for n, (opened, closed) in enumerate(windows):
        closed = closed if closed is not None else float("inf")
        moving = 0
        late_moving = 0
        held = None
        step = 0.0
        for i in range(1, len(cycles)):
            t, values = cycles[i]
            if t <= opened:
                continue
            if t >= closed:
                break
            prev = cycles[i - 1][1]
            deltas = [abs(v - prev[j]) / abs(scales.get(j, 1.0) or 1.0) for j, v in values.items() if j in prev]
            step = max([step] + deltas)
            if any(d > 0 for d in deltas):
                moving += 1
                held = None
                if t - opened >= LATE_MS / 1000.0:
                    late_moving += 1
            elif held is None:
                held = t
        moving_counts.append(moving)
        steps.append(step)
        if late_moving:
            failures.append("opening %d: %d set-point bursts moved although the input frame came %.1f ms or more "
                            "before them" % (n, late_moving, LATE_MS))
        if moving > 1:
            failures.append("opening %d: %d set-point bursts after the input frame still moved" % (n, moving))
        if held is None:
            failures.append("opening %d: the set-points never stood still" % n)
        else:
            held_ms.append((held - opened) * 1000.0)
        brake = next((t for t, o in outputs_sent if opened < t < closed and not o & BRAKE_BIT), None)
        if brake is None:
            failures.append("opening %d: no I/O output frame engaged the brake" % n)
        else:
            brake_ms.append((brake - opened) * 1000.0)
        late = [o for t, o in outputs_sent if opened + 2 * PERIOD < t < closed]
        if not late:
            failures.append("opening %d: no output frame to the I/O module" % n)
        elif any(o & BRAKE_BIT for o in late) or not all(o & ON_ERROR_BIT for o in late):
            failures.append("opening %d: outputs 0x%02X after the opening (brake off, on-error output on "
                            "expected)" % (n, late[-1]))
    return held_ms, brake_ms, steps, moving_counts, failures


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    openings = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    with DemoStack(build, prefix="belvanto-estop-") as stack:
        prepare(stack)
        try:
            frames = run(stack, openings)
        except RuntimeError as e:
            print("FAILED:", e)
            return 1
        held, brake, steps, moving, failures = analyse(frames, openings, gear_scales(stack))
        # The circuit is closed at power-up: no opening before the first one made here.
        out = stack.output()
        if out.count("RobotMaster: ***** ESTOP DETECTED! *****") != openings:
            failures.append("%d ESTOP lines for %d openings" % (out.count("ESTOP DETECTED"), openings))
    print("e-stop reaction over %d openings: input frame to the held set-point burst median %.2f ms, max %.2f ms; "
          "to the brake output median %.2f ms, max %.2f ms" %
          (len(held), percentile(held, 0.5), max(held) if held else 0.0, percentile(brake, 0.5),
           max(brake) if brake else 0.0))
    print("set-point bursts after the input frame that still moved: %d in all, at most %d in one opening; "
          "largest joint step after the input frame: %.4f deg" %
          (sum(moving), max(moving) if moving else 0, max(steps) if steps else 0.0))
    for f in failures:
        print("FAILED:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
