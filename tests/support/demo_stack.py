"""The demo stack for measurement scripts: a copy of the demo data root, the virtual CAN hub
(recording a pcap), the drive simulator and belvanto, each child stopped in order at the end.

    with DemoStack(build) as stack:
        stack.edit("Data/Robots/JXRPivra4/JXRPivra4.xml", lambda text: text.replace(...))
        stack.start()
        stack.type("2\\n")               # belvanto's console
        stack.simulator("inputs 80 1\\n")  # the drive simulator's stdin
        frames = stack.frames()           # the bus so far
"""
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ROBOT = "Data/Robots/JXRPivra4/JXRPivra4.xml"
PROJECT = "Data/Projects/Demo.prj"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, step=0.05):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def percentile(values, p):
    values = sorted(values)
    if not values:
        return 0.0
    return values[min(len(values) - 1, int(p * (len(values) - 1) + 0.5))]


def can_frames(pcap):
    """(time s, id, data bytes) of every frame the hub recorded (link type 227)."""
    frames = []
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
            can_id = struct.unpack(">I", data[:4])[0] & 0x1FFFFFFF
            frames.append((sec + usec / 1e6, can_id, data[8:8 + min(data[4], 8)]))
    return frames


class DemoStack:
    def __init__(self, build, dio_ids=(80,), prefix="belvanto-demo-", simulator=None):
        """simulator: the drives' program and its arguments below the build folder (e.g.
        ["tools/canopensim/belvanto-canopensim", "--drive", "16"]) instead of the drive
        simulator on the demo robot file."""
        self.build = os.path.abspath(build)
        self.dio_ids = dio_ids
        self.simulator_argv = simulator
        self.work = tempfile.mkdtemp(prefix=prefix)
        self.root = os.path.join(self.work, "root")
        shutil.copytree(os.path.join(TOP, "demo"), self.root)
        self.socket = os.path.join(self.work, "can0.sock")
        self.pcap = os.path.join(self.work, "bus.pcap")
        self.out_path = os.path.join(self.work, "belvanto.txt")
        self.sim_path = os.path.join(self.work, "drivesim.txt")
        self.hvp_port = free_port()
        self.modbus_port = free_port()
        self.edit(PROJECT, lambda t: re.sub(r'(<ModbusServer[^>]*\sPort=")[0-9]+"', r"\g<1>%d\"" % self.modbus_port, t))
        self.env = dict(os.environ, BELVANTO_CAN_HUB=self.socket, BELVANTO_HVP_PORT=str(self.hvp_port),
                        BELVANTO_SHUTDOWN_LOG=os.path.join(self.work, "shutdown.log"), BELVANTO_PANEL_PORTS="")
        self.children = []
        self.controller = None
        self.drives = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def edit(self, relative, change):
        path = os.path.join(self.root, relative)
        with open(path) as f:
            text = f.read()
        new = change(text)
        if new == text:
            raise RuntimeError("edit of %s changed nothing" % relative)
        with open(path, "w") as f:
            f.write(new)

    def start(self, timeout=60, hub_cpu=None):
        """Hub, drives (stdin a pipe), then belvanto (console a pipe); waits for the drives.
        hub_cpu: the one CPU the hub runs on; the other processes then keep off it."""
        self.hub_cpu = hub_cpu
        hub = subprocess.Popen([self.build + "/tools/canhub/belvanto-canhub", self.socket, "--pcap", self.pcap],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.children.append(hub)
        if hub_cpu is not None:
            os.sched_setaffinity(hub.pid, {hub_cpu})
        if not wait_for(lambda: os.path.exists(self.socket), 30):
            raise RuntimeError("no CAN hub")
        if self.simulator_argv is None:
            args = [self.build + "/tools/drivesim/belvanto-drivesim", os.path.join(self.root, ROBOT)]
            for dio in self.dio_ids:
                args += ["--dio", str(dio)]
            ready = "module on CAN ID"
        else:
            args = [self.build + "/" + self.simulator_argv[0]] + list(self.simulator_argv[1:])
            ready = " on "
        self.drives = subprocess.Popen(args, env=self.env, stdin=subprocess.PIPE, stdout=open(self.sim_path, "w"),
                                       stderr=subprocess.STDOUT)
        self.children.append(self.drives)
        self.keep_off_hub(self.drives.pid)
        if not wait_for(lambda: ready in self.simulator_output(), 30):
            raise RuntimeError("no drives:\n" + self.simulator_output())

    def keep_off_hub(self, pid):
        if getattr(self, "hub_cpu", None) is not None:
            os.sched_setaffinity(pid, os.sched_getaffinity(0) - {self.hub_cpu})

    def start_controller(self, timeout=60, slow_stdout=False, connected="ProtocolJXRCANV2: Connection succeeded"):
        """slow_stdout: the console is a pipe read 1 KiB every 10 ms (a slow terminal).
        connected: the line that tells the drives are connected."""
        out = open(self.out_path, "w")
        if slow_stdout:
            read_end, write_end = os.pipe()
            self.controller = subprocess.Popen([self.build + "/belvanto"], cwd=self.root, env=self.env,
                                               stdin=subprocess.PIPE, stdout=write_end, stderr=subprocess.STDOUT)
            os.close(write_end)

            def slow_reader():
                while True:
                    chunk = os.read(read_end, 1024)
                    if not chunk:
                        break
                    out.write(chunk.decode(errors="replace"))
                    out.flush()
                    time.sleep(0.010)
                os.close(read_end)

            threading.Thread(target=slow_reader, daemon=True).start()
        else:
            self.controller = subprocess.Popen([self.build + "/belvanto"], cwd=self.root, env=self.env,
                                               stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT)
        self.children.append(self.controller)
        self.keep_off_hub(self.controller.pid)
        if not wait_for(lambda: connected in self.output(), timeout):
            raise RuntimeError("the drives did not connect:\n" + self.output())

    def enable_and_start(self, attempts=10):
        """Types "2" (reset, enable) and "5" (start) until the program starts; until the I/O
        module's first frame the drives may not be ready, so a first try can fail."""
        before = self.output().count("Starting Program")
        for _ in range(attempts):
            self.type("2\n")
            time.sleep(0.3)
            self.type("5\n")
            if wait_for(lambda: self.output().count("Starting Program") > before, 3):
                return
        raise RuntimeError("the program did not start:\n" + self.output()[-3000:])

    def output(self):
        with open(self.out_path) as f:
            return f.read()

    def simulator_output(self):
        with open(self.sim_path) as f:
            return f.read()

    def type(self, text):
        self.controller.stdin.write(text.encode())
        self.controller.stdin.flush()

    def simulator(self, text):
        self.drives.stdin.write(text.encode())
        self.drives.stdin.flush()

    def frames(self):
        return can_frames(self.pcap)

    def stop(self):
        for child in reversed(self.children):
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
                try:
                    child.wait(15)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        self.children = []
