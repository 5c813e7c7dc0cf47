#!/usr/bin/env python3
"""Checks the position set-point frames of the maker's joint protocol version 2 in a
CAN capture, independently of the controller's code.

Input:
  --pcap      capture file (classic pcap, link type 227: SocketCAN, identifier word
              big-endian, then the length byte, three pad bytes and up to 8 data bytes)
  --robot     robot file (XML, root "Robot"): module order, CAN IDs, GearScale,
              GearZero and the pause GapMS come from here
  --expected  text file, one line per cycle with one set-point per robot joint
              (whitespace separated, in joint order; empty lines and '#' lines ignored)
  --first-counter   optional: the counter byte the first cycle must carry
  --tolerance-ms    time stamp resolution (default 0.002 ms: microsecond stamps)
  --latency-ms      largest delay between a frame's writing and its time stamp
                    (default 50 ms; the relay stamps frames when it gets to them)

A set-point frame is a standard frame with DLC 8 on a module's CAN ID whose byte 0 is
0x14; its layout is 0x14, velocity byte, position as big-endian int32 in bytes 2..5,
counter in byte 6, output byte in byte 7.

Checks:
  * every cycle carries exactly one set-point frame per module, in module order, all
    with the same counter; the frames of a cycle are the next N set-point frames of
    the capture (N modules), and there are exactly as many cycles as expected lines;
  * counters lie in 0..254 and step by one from cycle to cycle, wrapping 254 -> 0;
  * position = trunc(set-point x GearScale + GearZero), with the three values taken in
    single precision (as the robot file and set-points are held) and the arithmetic
    done exactly;
  * the set-point frames are written at least GapMS apart. The time stamps are those
    of the relay, which may stamp a few frames at once after waking late, so single
    gaps are only reported; the check is that frames i < k lie at least
    (k - i) x GapMS - latency apart, for every pair.

Exit status 0 when every check holds, 1 when a check fails, 2 when the inputs cannot
be read. Uses the Python standard library only.
"""

import argparse
import struct
import sys
import xml.etree.ElementTree as ElementTree
from fractions import Fraction

LINKTYPE_CAN_SOCKETCAN = 227
CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_SFF_MASK = 0x000007FF
SET_POINT_COMMAND = 0x14
COUNTER_MODULUS = 255
MAX_PRINTED = 40  # failure lines printed


class InputError(Exception):
    pass


def single(value):
    """The value rounded to single precision, as an exact fraction."""
    return Fraction(struct.unpack("<f", struct.pack("<f", float(value)))[0])


def trunc_int32(value):
    """Truncation toward zero, then the low 32 bits as a signed integer."""
    n = int(value)  # int() of a Fraction truncates toward zero
    n &= 0xFFFFFFFF
    return n - (1 << 32) if n & 0x80000000 else n


def read_robot(path):
    try:
        root = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError) as error:
        raise InputError("robot file %s: %s" % (path, error))
    if root.tag != "Robot":
        raise InputError("robot file %s: root element is %r, not 'Robot'" % (path, root.tag))
    bus = root.find("BusConfiguration")
    if bus is None:
        raise InputError("robot file: no BusConfiguration")
    try:
        gap_ms = float(bus.attrib["GapMS"])
        joints = bus.find("Joints")
        count = int(joints.attrib["NrOfJoints"])
        modules = []
        for n in range(count):
            joint = bus.find("Joint%d" % n)
            modules.append({
                "index": n,
                "id": int(joint.attrib["ID"]),
                "scale": single(joint.attrib["GearScale"]),
                "zero": single(joint.attrib["GearZero"]),
            })
    except (KeyError, AttributeError, ValueError) as error:
        raise InputError("robot file: incomplete or invalid joint definitions (%r)" % (error,))
    if len({m["id"] for m in modules}) != len(modules):
        raise InputError("robot file: CAN IDs are not unique")
    return gap_ms, modules


def read_expected(path, joint_count):
    cycles = []
    try:
        with open(path, "r", encoding="ascii") as f:
            for number, line in enumerate(f, 1):
                text = line.strip()
                if not text or text.startswith("#"):
                    continue
                fields = text.split()
                if len(fields) != joint_count:
                    raise InputError("%s line %d: %d values, expected %d"
                                     % (path, number, len(fields), joint_count))
                cycles.append([float(v) for v in fields])
    except OSError as error:
        raise InputError("expected set-points: %s" % error)
    except ValueError as error:
        raise InputError("expected set-points: %s" % error)
    return cycles


def read_pcap(path):
    """Returns [(time in seconds as Fraction, can id word, dlc, data bytes)]."""
    try:
        with open(path, "rb") as f:
            blob = f.read()
    except OSError as error:
        raise InputError("capture: %s" % error)
    if len(blob) < 24:
        raise InputError("capture: %d bytes, no global header" % len(blob))
    magic_le = struct.unpack_from("<I", blob, 0)[0]
    if magic_le in (0xA1B2C3D4, 0xA1B23C4D):
        endian = "<"
    elif magic_le in (0xD4C3B2A1, 0x4D3CB2A1):
        endian = ">"
    else:
        raise InputError("capture: bad magic 0x%08X" % magic_le)
    magic, major, _minor, _zone, _sigfigs, _snaplen, linktype = struct.unpack_from(
        endian + "IHHiIII", blob, 0)
    fraction_unit = 1000000000 if magic == 0xA1B23C4D else 1000000
    if major != 2:
        raise InputError("capture: version %d, expected 2" % major)
    if linktype != LINKTYPE_CAN_SOCKETCAN:
        raise InputError("capture: link type %d, expected %d" % (linktype, LINKTYPE_CAN_SOCKETCAN))
    records = []
    offset = 24
    while offset < len(blob):
        if offset + 16 > len(blob):
            raise InputError("capture: truncated record header at byte %d" % offset)
        seconds, fraction, captured, _original = struct.unpack_from(endian + "IIII", blob, offset)
        offset += 16
        if offset + captured > len(blob):
            raise InputError("capture: truncated record at byte %d" % offset)
        if captured < 8:
            raise InputError("capture: record of %d bytes at byte %d" % (captured, offset))
        # The link type stores the identifier word in network byte order.
        can_id = struct.unpack_from(">I", blob, offset)[0]
        dlc = blob[offset + 4]
        data = blob[offset + 8:offset + captured]
        if dlc > 8 or len(data) < dlc:
            raise InputError("capture: record at byte %d has length byte %d with %d data bytes"
                             % (offset, dlc, len(data)))
        records.append((Fraction(seconds) + Fraction(fraction, fraction_unit), can_id, dlc,
                        bytes(data[:dlc])))
        offset += captured
    return records


def check(records, gap_ms, modules, expected, first_counter, tolerance_ms, latency_ms):
    failures = []

    def fail(text):
        failures.append(text)

    ids = [m["id"] for m in modules]
    by_id = {m["id"]: m for m in modules}

    frames = []  # (record number, time, id, data)
    for number, (time, word, dlc, data) in enumerate(records):
        if word & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG):
            continue
        can_id = word & CAN_SFF_MASK
        if can_id not in by_id or dlc == 0 or data[0] != SET_POINT_COMMAND:
            continue
        if dlc != 8:
            fail("record %d: set-point command on ID 0x%X with DLC %d, expected 8"
                 % (number, can_id, dlc))
            continue
        frames.append((number, time, can_id, data))

    n = len(modules)
    if len(frames) != len(expected) * n:
        fail("%d set-point frames in the capture, expected %d (%d cycles x %d modules)"
             % (len(frames), len(expected) * n, len(expected), n))

    previous_counter = None
    cycles_checked = 0
    for cycle, points in enumerate(expected):
        chunk = frames[cycle * n:(cycle + 1) * n]
        if len(chunk) < n:
            fail("cycle %d: only %d set-point frames left" % (cycle, len(chunk)))
            break
        seen = [f[2] for f in chunk]
        if seen != ids:
            fail("cycle %d (records %d..%d): modules %s, expected one frame each in order %s"
                 % (cycle, chunk[0][0], chunk[-1][0], ["0x%X" % i for i in seen],
                    ["0x%X" % i for i in ids]))
            break  # the cycles are out of step from here on
        counters = [f[3][6] for f in chunk]
        if len(set(counters)) != 1:
            fail("cycle %d: counters differ between modules: %s" % (cycle, counters))
        counter = counters[0]
        if counter >= COUNTER_MODULUS:
            fail("cycle %d: counter %d outside 0..%d" % (cycle, counter, COUNTER_MODULUS - 1))
        if previous_counter is None:
            if first_counter is not None and counter != first_counter:
                fail("cycle 0: counter %d, expected %d" % (counter, first_counter))
        elif counter != (previous_counter + 1) % COUNTER_MODULUS:
            fail("cycle %d: counter %d after %d, expected %d"
                 % (cycle, counter, previous_counter, (previous_counter + 1) % COUNTER_MODULUS))
        previous_counter = counter
        for module, frame in zip(modules, chunk):
            position = struct.unpack(">i", frame[3][2:6])[0]
            set_point = single(points[module["index"]])
            wanted = trunc_int32(set_point * module["scale"] + module["zero"])
            if position != wanted:
                fail("cycle %d, joint %d (ID 0x%X, record %d): position %d, expected %d "
                     "= trunc(%s x %s + %s)"
                     % (cycle, module["index"], module["id"], frame[0], position, wanted,
                        float(set_point), float(module["scale"]), float(module["zero"])))
        cycles_checked += 1

    # Gaps. The capture's time stamps are taken when the bus relays a frame, not when the
    # controller writes it, so a relay that wakes late stamps a few frames almost at once
    # although they were written GapMS apart: a single recorded gap proves nothing. What
    # the stamps do prove is the pace: with d the relay delay of a frame (d >= 0, at most
    # the latency allowance L), frames i < k written at least GapMS apart are recorded at
    # least (k - i) x GapMS - d_i apart. So the recorded schedule may never run ahead of
    # the required pace by more than L. Over a whole run this catches waits that are short
    # by more than L / frames on average, and missing waits that add up to more than L.
    smallest = None
    short_gaps = 0
    worst_lead = Fraction(0)  # ms the recording ran ahead of the required pace
    worst_pair = None
    if gap_ms > 0 and frames:
        gap = Fraction(gap_ms)
        allowed = Fraction(latency_ms) + Fraction(tolerance_ms)
        lowest = None  # min over i of (i x GapMS - t_i), t in ms
        lowest_at = None
        for k, frame in enumerate(frames):
            if k > 0:
                step = (frame[1] - frames[k - 1][1]) * 1000
                if smallest is None or step < smallest:
                    smallest = step
                if step < gap - Fraction(tolerance_ms):
                    short_gaps += 1
            value = k * gap - frame[1] * 1000
            if lowest is not None and value - lowest > worst_lead:
                worst_lead = value - lowest
                worst_pair = (lowest_at, k)
            if lowest is None or value < lowest:
                lowest = value
                lowest_at = k
        if worst_lead > allowed:
            i, k = worst_pair
            fail("records %d -> %d (set-point frames %d -> %d): %.3f ms apart, %d gaps of "
                 "GapMS %.3f ms need %.3f ms; short by %.3f ms, more than the relay latency "
                 "allowance of %.3f ms"
                 % (frames[i][0], frames[k][0], i, k,
                    float((frames[k][1] - frames[i][1]) * 1000), k - i, gap_ms,
                    float((k - i) * gap), float(worst_lead), latency_ms))

    summary = ("%d capture records, %d set-point frames, %d of %d cycles in order; "
               "GapMS %.3f: largest lead over the required pace %.3f ms, smallest recorded "
               "gap %s ms, %d recorded gaps below GapMS"
               % (len(records), len(frames), cycles_checked, len(expected), gap_ms,
                  float(worst_lead), "-" if smallest is None else "%.3f" % float(smallest),
                  short_gaps))
    return failures, summary


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pcap", required=True)
    parser.add_argument("--robot", required=True)
    parser.add_argument("--expected", required=True)
    parser.add_argument("--first-counter", type=int, default=None)
    parser.add_argument("--tolerance-ms", type=float, default=0.002)
    parser.add_argument("--latency-ms", type=float, default=50.0)
    args = parser.parse_args(argv)
    try:
        gap_ms, modules = read_robot(args.robot)
        expected = read_expected(args.expected, len(modules))
        records = read_pcap(args.pcap)
    except InputError as error:
        print("check_v2_pcap: %s" % error)
        return 2
    if not expected:
        print("check_v2_pcap: no expected cycles")
        return 2
    failures, summary = check(records, gap_ms, modules, expected, args.first_counter,
                              args.tolerance_ms, args.latency_ms)
    print("check_v2_pcap: " + summary)
    for text in failures[:MAX_PRINTED]:
        print("FAIL: " + text)
    if len(failures) > MAX_PRINTED:
        print("FAIL: ... %d failures in all" % len(failures))
    if failures:
        return 1
    print("check_v2_pcap: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
