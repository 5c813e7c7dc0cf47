#!/usr/bin/python3
"""Robot-loop regularity of the demo with and without Modbus load.

Starts the virtual CAN hub (recording a pcap), the drive simulator and belvanto in a copy
of the demo data root with the Modbus server on a free port, resets and enables the
robot, then measures two phases of the same length: idle, and five clients each reading
input registers 0-749 (six requests of 125) every 10 ms. For each phase it prints the
intervals between joint 1's set-point frames on the bus (median, p99, max), the p99
jitter (|interval - median|), the longest cycle the controller itself logged, and the
Modbus listener thread's CPU share.

    /usr/bin/python3 tests/fieldbus/demo_loop_load.py BUILD_DIR [SECONDS_PER_PHASE]
"""
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def thread_ticks(pid, name):
    """utime + stime (clock ticks) of the named thread of pid; None when not found."""
    base = "/proc/%d/task" % pid
    for tid in os.listdir(base):
        try:
            with open("%s/%s/comm" % (base, tid)) as f:
                if f.read().strip() != name:
                    continue
            with open("%s/%s/stat" % (base, tid)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])
        except OSError:
            continue
    return None


def cycle_stamps(pcap):
    """Reception times (s) of joint 1's set-point frames, as the loop-timing tool reads them."""
    stamps = []
    with open(pcap, "rb") as f:
        f.read(24)
        while True:
            head = f.read(16)
            if len(head) < 16:
                break
            sec, usec, incl, _ = struct.unpack("<IIII", head)
            data = f.read(incl)
            if len(data) < incl or len(data) < 16:
                continue
            can_id = struct.unpack(">I", data[:4])[0] & 0x7FF
            if can_id == 0x10 and data[8] in (0x14, 0x16, 0x25):
                stamps.append(sec + usec / 1e6)
    return stamps


def percentile(values, p):
    values = sorted(values)
    if not values:
        return 0.0
    return values[min(len(values) - 1, int(p * (len(values) - 1) + 0.5))]


def summary(stamps, start, end):
    inside = [t for t in stamps if start <= t <= end]
    intervals = [(b - a) * 1000.0 for a, b in zip(inside, inside[1:])]
    if not intervals:
        return None
    median = percentile(intervals, 0.5)
    jitter = [abs(i - median) for i in intervals]
    return {"cycles": len(intervals), "median": median, "p99": percentile(intervals, 0.99),
            "max": max(intervals), "p99jitter": percentile(jitter, 0.99)}


def reader(port, stop, counts, errors):
    transaction = 0
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            while not stop.is_set():
                began = time.monotonic()
                for start in range(0, 750, 125):
                    transaction = (transaction + 1) & 0xFFFF
                    s.sendall(struct.pack(">HHHBBHH", transaction, 0, 6, 1, 4, start, 125))
                    want = 9 + 250
                    got = b""
                    while len(got) < want:
                        chunk = s.recv(want - len(got))
                        if not chunk:
                            raise ConnectionError("closed")
                        got += chunk
                    counts.append(1)
                time.sleep(max(0.0, 0.010 - (time.monotonic() - began)))
    except Exception as e:  # a failed client is reported, not fatal
        errors.append(repr(e))


def logged_max_cycles(text):
    return [float(m) for m in re.findall(r"max CycleTime: ([0-9.]+) ms", text)]


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    work = tempfile.mkdtemp(prefix="belvanto-mbload-")
    root = os.path.join(work, "root")
    shutil.copytree(os.path.join(TOP, "demo"), root)
    port = free_port()
    project = os.path.join(root, "Data/Projects/Demo.prj")
    with open(project) as f:
        text = f.read().replace('Port="1502"', 'Port="%d"' % port)
    with open(project, "w") as f:
        f.write(text)
    hub_socket = os.path.join(work, "can0.sock")
    pcap = os.path.join(work, "bus.pcap")
    env = dict(os.environ, BELVANTO_CAN_HUB=hub_socket, BELVANTO_SHUTDOWN_LOG=os.path.join(work, "shutdown.log"))
    children = []
    out_path = os.path.join(work, "belvanto.txt")
    try:
        children.append(subprocess.Popen([build + "/tools/canhub/belvanto-canhub", hub_socket, "--pcap", pcap],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for(lambda: os.path.exists(hub_socket), 30)
        children.append(subprocess.Popen([build + "/tools/drivesim/belvanto-drivesim",
                                          root + "/Data/Robots/JXRPivra4/JXRPivra4.xml", "--dio", "80"],
                                         env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(1.0)
        out = open(out_path, "w")
        controller = subprocess.Popen([build + "/belvanto"], cwd=root, env=env, stdin=subprocess.PIPE,
                                      stdout=out, stderr=subprocess.STDOUT)
        children.append(controller)
        read = lambda: open(out_path).read()
        if not wait_for(lambda: "RobotMainLoop is executing" in read() and "Modbus Server started" in read(), 60):
            sys.exit("belvanto did not start:\n" + read())
        time.sleep(1.0)
        controller.stdin.write(b"2\n")
        controller.stdin.flush()
        time.sleep(5.0)

        results = {}
        for phase in ("idle", "5 clients"):
            stop = threading.Event()
            counts, errors, threads = [], [], []
            if phase != "idle":
                threads = [threading.Thread(target=reader, args=(port, stop, counts, errors)) for _ in range(5)]
                for t in threads:
                    t.start()
            log_before = len(read())
            ticks_before = thread_ticks(controller.pid, "ModbusListener") or 0
            start = time.time()
            time.sleep(seconds)
            end = time.time()
            ticks_after = thread_ticks(controller.pid, "ModbusListener") or 0
            stop.set()
            for t in threads:
                t.join()
            share = (ticks_after - ticks_before) / os.sysconf("SC_CLK_TCK") / (end - start) * 100.0
            results[phase] = (summary(cycle_stamps(pcap), start, end), share, len(counts), errors,
                              logged_max_cycles(read()[log_before:]))

        for phase, (s, share, requests, errors, logged) in results.items():
            print("%-9s cycles %d, interval median %.3f ms, p99 %.3f ms, max %.3f ms, p99 jitter %.3f ms; "
                  "logged longest cycle %s ms; listener CPU %.2f %%; requests %d%s"
                  % (phase, s["cycles"], s["median"], s["p99"], s["max"], s["p99jitter"],
                     "/".join("%.2f" % v for v in logged) or "-", share, requests,
                     ("; errors " + ", ".join(errors)) if errors else ""))
        idle, loaded = results["idle"][0], results["5 clients"][0]
        print("difference (loaded - idle): longest interval %+.3f ms, p99 jitter %+.3f ms"
              % (loaded["max"] - idle["max"], loaded["p99jitter"] - idle["p99jitter"]))
    finally:
        for child in reversed(children):
            child.send_signal(signal.SIGTERM)
            try:
                child.wait(15)
            except subprocess.TimeoutExpired:
                child.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
