#!/usr/bin/python3
"""The e-stop on the demo stack: the drive simulator opens the e-stop circuit while the demo
program runs, OPENINGS times, and the hub's pcap tells what the controller did.

The robot file monitors the e-stop on DIn 21 (bit 0 of I/O module 80) and has its brake on
DOut 22; the project sets DOut 23 on error. For each opening, from the I/O module's frame
that first reports the open circuit: the time to the last change of any joint set-point
(the reaction), and that the set-points stand still after two cycles; the brake output
goes off and the on-error output on. Between openings the circuit is closed and the robot
reset, enabled ("2") and started ("5") again.

    /usr/bin/python3 tests/control/demo_estop.py BUILD_DIR [OPENINGS]

Prints the reactions (median, max) and exits 1 when a check fails.
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


def prepare(stack):
    stack.edit(ROBOT, lambda t: t.replace('<EStopMonitoring DInChannel="-1"/>', '<EStopMonitoring DInChannel="20"/>')
               .replace('<Brake Active="False" DOutChannel="-1" DelayMS="500"/>',
                        '<Brake Active="True" DOutChannel="21" DelayMS="200"/>'))
    stack.edit(PROJECT, lambda t: re.sub(r'(\s*)(<DOut Number="1" [^>]*/>)',
                                         r'\1\2\1<DOut Number="22" Name="" ResetState="False" ErrorState="True"/>',
                                         t, count=1))


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
        # Reset and enable, then start. Until the I/O module's first frame the circuit
        # reads open (as at power-up), so the first start may need another reset.
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


def analyse(frames, openings):
    failures = []
    reactions = []
    level = None
    windows = []  # (open time, close time)
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
    for n, (opened, closed) in enumerate(windows):
        closed = closed if closed is not None else float("inf")
        last = {}
        last_change = None
        outputs = []
        for t, can_id, data in frames:
            if t >= closed:
                break
            if can_id in JOINTS and len(data) >= 6 and data[0] == SET_POINT:
                value = bytes(data[2:6])
                if t >= opened and can_id in last and last[can_id] != value:
                    last_change = t
                last[can_id] = value
            elif can_id == DIO and len(data) == 8 and data[0] == SET_POINT and t > opened + 2 * PERIOD:
                outputs.append(data[7])
        reaction = (last_change - opened) if last_change is not None else 0.0
        reactions.append(reaction * 1000.0)
        if reaction > 2 * PERIOD:
            failures.append("opening %d: a set-point changed %.1f ms after the input frame" % (n, reaction * 1000))
        if not outputs:
            failures.append("opening %d: no output frame to the I/O module" % n)
        elif any(o & BRAKE_BIT for o in outputs) or not all(o & ON_ERROR_BIT for o in outputs):
            failures.append("opening %d: outputs 0x%02X after the opening (brake off, on-error output on "
                            "expected)" % (n, outputs[-1]))
    return reactions, failures


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
        reactions, failures = analyse(frames, openings)
        # Before the I/O module's first frame the circuit reads open: that line comes before
        # the first start.
        out = stack.output()
        out = out[out.find("Starting Program"):]
        if out.count("RobotMaster: ***** ESTOP DETECTED! *****") != openings:
            failures.append("%d ESTOP lines for %d openings" % (out.count("ESTOP DETECTED"), openings))
    print("e-stop reaction (input frame to the last set-point change) over %d openings: median %.2f ms, "
          "max %.2f ms" % (len(reactions), percentile(reactions, 0.5), max(reactions) if reactions else 0.0))
    for f in failures:
        print("FAILED:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
