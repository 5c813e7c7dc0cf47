#!/usr/bin/python3
"""A drive that drops off the bus while the demo robot runs a program, and comes back: on
the maker's joint modules (the drive simulator) and on CANopen IPO drives (the CANopen
simulator, the same four joints on node IDs 16, 32, 48, 64).

The robot runs joint moves back and forth. Joint 2 (CAN ID 48) then sends nothing for 3 s
(it still takes the set-points). The controller must log "... joint 2 (CAN ID 48) not
answering" and pause the program; nothing may move until the operator resets and enables
("2") and starts ("5") after the drive is back; from the silence to 5 s after the return no
joint's set-point may step by more than one cycle at its maximum velocity. The set-points
are read from the hub's pcap: the position frames of the modules, the receive PDO 1 and
0x60C1:1 downloads of the CANopen drives.

    /usr/bin/python3 tests/control/demo_drive_silence.py BUILD_DIR [modules|canopen]...

Prints the largest step per protocol and exits 1 when a check fails.
"""
import os
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from demo_stack import PROJECT, ROBOT, DemoStack, wait_for  # noqa: E402

JOINTS = (16, 32, 48, 64)
GEAR = {16: 190.0, 32: 190.0, 48: 190.0, 64: 100.0}  # the demo robot file's GearScale
MAX_VELOCITY = 40.0   # deg/s, the demo robot file's JointVelocities
PERIOD = 0.010        # s, its CycleTimeMS
SILENT = 48
SILENCE_S = 3.0
AFTER_RETURN_S = 5.0
MOVED = 2             # counts: a set-point change beyond rounding

PROGRAM = """<?xml version="1.0" encoding="utf-8"?>
<Program>
  <Header Software="V980-13-030" RobotType="JXRPivra4" RobotName="Demo" GripperType="" VelocitySetting="1" />
  <Joint Nr="1" a1="30" a2="10" a3="60" a4="20" velPercent="80" acc="50" smooth="0" AbortCondition="false" />
  <Joint Nr="2" a1="-30" a2="30" a3="80" a4="-20" velPercent="80" acc="50" smooth="0" AbortCondition="false" />
</Program>
"""

CANOPEN = ["tools/canopensim/belvanto-canopensim"] + [a for j in JOINTS for a in ("--drive", str(j))] + ["--io", "80"]


def prepare(stack, protocol):
    with open(os.path.join(stack.root, "Data/Programs/SilenceTest.xml"), "w") as f:
        f.write(PROGRAM)
    stack.edit(PROJECT, lambda t: t.replace('File="DemoStart.xml" Override="50"', 'File="SilenceTest.xml" Override="100"'))
    if protocol == "canopen":
        stack.edit(ROBOT, lambda t: t.replace('Protocol="JXRCANV2"', 'Protocol="CANopen_IPO"'))


def set_points(frames):
    """(time, CAN ID, counts) of every set-point the controller sent a joint."""
    out = []
    for t, can_id, data in frames:
        if can_id in JOINTS and len(data) == 8 and data[0] == 0x14:
            out.append((t, can_id, struct.unpack(">i", bytes(data[2:6]))[0]))
        elif can_id - 0x200 in JOINTS and len(data) >= 4:
            out.append((t, can_id - 0x200, struct.unpack("<i", bytes(data[0:4]))[0]))
        elif (can_id - 0x600 in JOINTS and len(data) == 8 and data[0] in (0x23, 0x2B, 0x2F)
              and data[1] == 0xC1 and data[2] == 0x60 and data[3] == 0x01):
            out.append((t, can_id - 0x600, struct.unpack("<i", bytes(data[4:8]))[0]))
    return out


def run(stack, protocol):
    stack.start()
    stack.start_controller(connected="CANopen: Connection succeeded" if protocol == "canopen"
                           else "ProtocolJXRCANV2: Connection succeeded")
    stack.enable_and_start()
    time.sleep(1.5)  # moving
    marks = {"silent": time.time()}
    stack.simulator("silent %d %d\n" % (SILENT, int(SILENCE_S * 1000)))
    if not wait_for(lambda: "(CAN ID %d) not answering" % SILENT in stack.output(), 15):
        raise RuntimeError("no line for the silent drive:\n" + stack.output()[-3000:])
    marks["seen"] = time.time()
    # Back on the bus; then the operator's reset and enable, and a start.
    time.sleep(max(0.0, marks["silent"] + SILENCE_S + 1.0 - time.time()))
    before = stack.output().count("Starting Program")
    marks["start"] = None
    for _ in range(10):
        stack.type("2\n")
        time.sleep(0.5)
        if marks["start"] is None:
            marks["start"] = time.time()
        stack.type("5\n")
        if wait_for(lambda: stack.output().count("Starting Program") > before, 3):
            break
    else:
        raise RuntimeError("the program did not start again:\n" + stack.output()[-3000:])
    time.sleep(max(0.0, marks["silent"] + SILENCE_S + AFTER_RETURN_S - time.time()))
    marks["end"] = marks["silent"] + SILENCE_S + AFTER_RETURN_S
    out = stack.output()
    stack.stop()
    return stack.frames(), marks, out


def analyse(frames, marks, out, protocol):
    failures = []
    name = "CANopen" if protocol == "canopen" else "ProtocolJXRCANV2"
    line = "%s: joint 2 (CAN ID %d) not answering" % (name, SILENT)
    if out.count(line) != 1:
        failures.append("%d lines '%s'" % (out.count(line), line))
    if out.find("IPO:    Pausing Program", max(0, out.find(line))) < 0:
        failures.append("the program was not paused after the line")
    points = set_points(frames)
    last = {}
    largest = 0.0
    moved_before = False
    moved_after = False
    for t, joint, counts in points:
        if joint in last:
            step = abs(counts - last[joint])
            if t < marks["silent"] and step > MOVED:
                moved_before = True
            if marks["silent"] <= t <= marks["end"]:
                degrees = step / GEAR[joint]
                largest = max(largest, degrees)
                # One cycle at the maximum velocity, plus a count of rounding.
                if step > MAX_VELOCITY * PERIOD * GEAR[joint] + 1:
                    failures.append("joint %d stepped %.3f deg at %.3f s after the silence began"
                                    % (joint, degrees, t - marks["silent"]))
            if marks["seen"] + 0.3 <= t < marks["start"] and step > MOVED:
                failures.append("joint %d moved %.3f deg before the start, %.3f s after the silence began"
                                % (joint, step / GEAR[joint], t - marks["silent"]))
            if t >= marks["start"] and step > MOVED:
                moved_after = True
        last[joint] = counts
    if not moved_before:
        failures.append("no motion before the silence")
    if not moved_after:
        failures.append("no motion after the start")
    return largest, failures


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    protocols = sys.argv[2:] or ["modules", "canopen"]
    failed = False
    for protocol in protocols:
        simulator = CANOPEN if protocol == "canopen" else None
        with DemoStack(build, prefix="belvanto-silence-", simulator=simulator) as stack:
            prepare(stack, protocol)
            try:
                frames, marks, out = run(stack, protocol)
            except RuntimeError as e:
                print("FAILED (%s):" % protocol, e)
                failed = True
                continue
            largest, failures = analyse(frames, marks, out, protocol)
        print("%s: drive silent %.0f s during the program, largest set-point step from the silence to %.0f s "
              "after its return %.3f deg (one cycle at maximum velocity %.3f deg)"
              % (protocol, SILENCE_S, AFTER_RETURN_S, largest, MAX_VELOCITY * PERIOD))
        for f in failures[:20]:
            print("FAILED (%s):" % protocol, f)
        failed = failed or bool(failures)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
