#!/usr/bin/python3
"""Soak of the demo: the start program repeats while 5 HVP clients ask GetVersion every
100 ms each and 5 Modbus pollers read all four tables every 20 ms. Every minute it samples
belvanto's resident memory (VmRSS), threads and open descriptors; at the end it compares the
last sample with the one after WARMUP minutes.

    /usr/bin/python3 tests/remote/demo_soak.py BUILD_DIR [MINUTES] [WARMUP]

Defaults: 30 minutes, warm-up 5. Exits 1 when threads or descriptors differ, RSS grew by
more than 100 kB, or a client failed.
"""
import os
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from demo_stack import DemoStack  # noqa: E402


def hvp_client(port, stop, counts, errors):
    counter = 0
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.settimeout(10)
            pending = b""
            while not stop.is_set():
                counter = (counter + 1) % 1000
                s.sendall(("HVPSTART %d CMD GetVersion HVPEND" % counter).encode())
                # Telegrams flow all the time; the client reads everything it gets.
                deadline = time.monotonic() + 0.1
                while time.monotonic() < deadline:
                    s.settimeout(max(0.001, deadline - time.monotonic()))
                    try:
                        chunk = s.recv(65536)
                    except socket.timeout:
                        break
                    if not chunk:
                        raise ConnectionError("closed by the server")
                    pending = (pending + chunk)[-4096:]
                counts[0] += 1
    except Exception as e:  # reported, not fatal for the others
        errors.append("hvp: " + repr(e))


def modbus_poller(port, stop, counts, errors):
    transaction = 0
    tables = ((1, 428, 8), (2, 428, 8), (3, 750, 125), (4, 750, 125))  # function, size, per request
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            while not stop.is_set():
                began = time.monotonic()
                for function, size, step in tables:
                    step = 2000 if function in (1, 2) else step
                    for start in range(0, size, step):
                        n = min(step, size - start)
                        transaction = (transaction + 1) & 0xFFFF
                        s.sendall(struct.pack(">HHHBBHH", transaction, 0, 6, 1, function, start, n))
                        head = b""
                        while len(head) < 9:
                            chunk = s.recv(9 - len(head))
                            if not chunk:
                                raise ConnectionError("closed by the server")
                            head += chunk
                        length = struct.unpack(">H", head[4:6])[0]
                        rest = length - 3
                        body = b""
                        while len(body) < rest:
                            chunk = s.recv(rest - len(body))
                            if not chunk:
                                raise ConnectionError("closed by the server")
                            body += chunk
                        if head[7] & 0x80:
                            raise RuntimeError("exception %d for function %d" % (head[8], function))
                counts[0] += 1
                time.sleep(max(0.0, 0.020 - (time.monotonic() - began)))
    except Exception as e:
        errors.append("modbus: " + repr(e))


def sample(pid):
    rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    threads = len(os.listdir("/proc/%d/task" % pid))
    fds = len(os.listdir("/proc/%d/fd" % pid))
    return rss, threads, fds


def main():
    build = sys.argv[1]
    minutes = float(sys.argv[2]) if len(sys.argv) > 2 else 30.0
    warmup = float(sys.argv[3]) if len(sys.argv) > 3 else 5.0
    with DemoStack(build) as stack:
        stack.start()
        stack.start_controller()
        stack.enable_and_start()
        stop = threading.Event()
        errors = []
        hvp_counts = [[0] for _ in range(5)]
        mb_counts = [[0] for _ in range(5)]
        threads = [threading.Thread(target=hvp_client, args=(stack.hvp_port, stop, c, errors)) for c in hvp_counts]
        threads += [threading.Thread(target=modbus_poller, args=(stack.modbus_port, stop, c, errors))
                    for c in mb_counts]
        for t in threads:
            t.start()
        pid = stack.controller.pid
        samples = []
        began = time.time()
        while time.time() - began < minutes * 60:
            time.sleep(60 if minutes >= 2 else 10)
            minute = (time.time() - began) / 60
            rss, nthreads, fds = sample(pid)
            samples.append((minute, rss, nthreads, fds))
            print("%6.1f min  RSS %d kB  threads %d  descriptors %d  GetVersion %d  Modbus passes %d  starts %d" %
                  (minute, rss, nthreads, fds, sum(c[0] for c in hvp_counts), sum(c[0] for c in mb_counts),
                   stack.output().count("Starting Program")))
            sys.stdout.flush()
        stop.set()
        for t in threads:
            t.join()
        alive = stack.controller.poll() is None
        stack.stop()
    if not alive:
        print("belvanto ended during the soak")
        return 1
    base = min((s for s in samples if s[0] >= warmup - 0.01), key=lambda s: s[0], default=samples[0])
    last = samples[-1]
    print("after %.1f min: RSS %d kB, threads %d, descriptors %d; at the end: RSS %d kB (%+d kB), threads %d, "
          "descriptors %d" % (base[0], base[1], base[2], base[3], last[1], last[1] - base[1], last[2], last[3]))
    failed = bool(errors) or last[2] != base[2] or last[3] != base[3] or last[1] - base[1] > 100
    for e in errors:
        print(e)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
