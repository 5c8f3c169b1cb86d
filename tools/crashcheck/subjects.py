"""What the checker records and recovers: the real service under kvsvcrun,
or one of the small writers of its own tests. A subject knows its folders,
records its workload (one or more program runs, each a trace) and starts
its recovery on a crash state."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import strace_log

HERE = os.path.dirname(os.path.abspath(__file__))
SAVED_LINE = re.compile(rb"^\*\* saved file .+ \*\*$")
CLEANUP_LINE = re.compile(rb"^LogCleanup:\*ERROR\* log delete error, file = .+$")
BANNER = b"** KVLogService 1.0 KVS-7000 **"


def strace(trace, command, **kw):
    return subprocess.Popen(["strace", "-f", "-qq", "-tt", "-T", "-y", "-X", "raw", "-xx", "-s", "16777216",
                             "-e", "trace=" + strace_log.TRACED, "-e", "signal=none", "-o", trace] + command, **kw)


def snapshot(folders):
    """The files of each folder (not of its subfolders), after a sync."""
    os.sync()
    out = {}
    for folder in folders:
        out[folder] = {}
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    out[folder][name] = f.read()
    return out


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Layout:
    """The folders of one copy of the subject: copy 0 is recorded, copies
    1.. recover crash states. Paths of all copies have the same length, so
    a state moves between copies by replacing the path in its bytes."""

    def __init__(self, work, shm, copy):
        self.root = os.path.join(work, "r%d" % copy)
        self.settings = os.path.join(self.root, "opt/KelvaneSystem")
        self.logs = os.path.join(self.settings, "Logs")
        self.other = os.path.join(shm, "t%d" % copy)  # a log folder on another file system

    def folders(self):
        return [self.settings, self.logs, self.other]

    def prefixes(self):
        return [self.root.encode(), self.other.encode()]

    def reset(self):
        for d in (self.root, self.other):
            shutil.rmtree(d, ignore_errors=True)
        for d in self.folders():
            os.makedirs(d)


def move(data, src, dst):
    for a, b in zip(src.prefixes(), dst.prefixes()):
        data = data.replace(a, b)
    return data


class Service:
    """kvlogserver under kvsvcrun, in a platform root of its own."""

    window_slack = 0.1  # the 100 ms tick that requests the sync

    def __init__(self, server, svcrun):
        self.server, self.svcrun = server, svcrun
        self.next_event = 1

    def event_number(self, line):
        m = re.search(rb"crash-event (\d+)$", line)
        return int(m.group(1)) if m else None

    def known_line(self, line):
        return line == BANNER or SAVED_LINE.match(line) or CLEANUP_LINE.match(line)

    def log_files(self, layout):
        return [layout.logs, layout.other]

    def _ini(self, folder, receive, repeat):
        return ("[KVLogService]\r\nReceivePort=%d\r\nRepeatPort=%d\r\nInterval=1\r\nFolder=%s\r\nLogKeepDays=30\r\n"
                % (receive, repeat, folder)).encode()

    def _start(self, layout, trace=None, log=None):
        command = [self.svcrun, "--root", layout.root, "--start-timeout", "30", self.server]
        out = open(log, "wb") if log else subprocess.DEVNULL
        proc = strace(trace, command, stdout=out, stderr=subprocess.STDOUT) if trace else \
            subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return proc

    # --- recording ---
    def record(self, layout, work):
        """Four runs: saves by rename and a stop; an end without a save; a
        start that recovers by a copy into the other file system, saves
        there and ends without a save; a start that recovers by rename and
        a stop. Returns [(base, trace)] and the files at the end."""
        layout.reset()
        plan = [(layout.logs, "stop"), (layout.logs, "kill"), (layout.other, "kill"), (layout.logs, "stop")]
        runs = []
        for i, (folder, end) in enumerate(plan):
            receive, repeat = free_port(), free_port()
            with open(os.path.join(layout.settings, "KVLogService.ini"), "wb") as f:
                f.write(self._ini(folder, receive, repeat))
            base = snapshot(layout.folders())
            trace = os.path.join(work, "trace%d.txt" % i)
            log = os.path.join(work, "run%d.log" % i)
            self._run(layout, trace, log, receive, repeat, end, flushes=((0.3,), (), (0.3, 0.55, 0.8), ())[i])
            runs.append((base, trace))
        return runs, snapshot(layout.folders())

    def _run(self, layout, trace, log, receive, repeat, end, flushes):
        relays = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        relays.bind(("127.0.0.1", repeat))
        relays.settimeout(0.2)
        stop = threading.Event()
        threading.Thread(target=lambda: _drain(relays, stop), daemon=True).start()
        proc = self._start(layout, trace, log)
        try:
            _await(lambda: b"state RUNNING" in open(log, "rb").read(), 30, "the service did not start: " + log)
            send = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

            def event(text):
                send.sendto(b"2024/03/05 14.07.09:1:CrashApp:CrashSource:1:2:" + text, ("127.0.0.1", receive))
                time.sleep(0.03)

            def events(until):
                while not until():
                    event(b"crash-event %d" % self.next_event)
                    self.next_event += 1

            started = time.monotonic()
            events(lambda: time.monotonic() - started > 1.6)
            # Flushes at several moments of the second, so that some come
            # between two syncs of the buffer file; the first two in one
            # second: the second appends to the file of the first.
            for n, phase in enumerate(flushes):
                events(lambda: 0 <= (time.time() - phase) % 1 < 0.1)
                for k in (1, 2) if n == 0 else (1,):
                    event(b"$FLUSHLOG$ crash-flush %d.%d" % (n, k))
            started = time.monotonic()
            events(lambda: time.monotonic() - started > 1.0)
            svcrun = children(proc.pid)[0]
            if end == "stop":
                time.sleep(0.2)
                os.kill(svcrun, signal.SIGTERM)
            else:  # with lines left in the buffer file, none in mid-write
                time.sleep(0.05)
                os.kill(children(svcrun)[0], signal.SIGKILL)
            proc.wait(timeout=60)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            stop.set()

    # --- recovery ---
    def recover(self, layout):
        """Starts the service on the files of `layout` and stops it once it
        runs. Returns None, or what went wrong."""
        ini = os.path.join(layout.settings, "KVLogService.ini")
        with open(ini, "rb") as f:
            text = f.read()
        text = re.sub(rb"ReceivePort=\d+", b"ReceivePort=%d" % free_port(), text)
        text = re.sub(rb"RepeatPort=\d+", b"RepeatPort=%d" % free_port(), text)
        with open(ini, "wb") as f:
            f.write(text)
        proc = self._start(layout)
        out = b""
        try:
            while b"state RUNNING" not in out:
                line = proc.stdout.readline()
                if not line:
                    break
                out += line
            if b"state RUNNING" not in out:
                proc.wait(timeout=30)
                return "the service did not start: " + out.decode(errors="replace")[-600:]
            proc.send_signal(signal.SIGTERM)
            out += proc.communicate(timeout=60)[0]
            if proc.returncode != 0:
                return "the service ended with %d: %s" % (proc.returncode, out.decode(errors="replace")[-600:])
            return None
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()


def _drain(sock, stop):
    while not stop.is_set():
        try:
            sock.recv(65536)
        except OSError:
            pass
    sock.close()


def _await(condition, seconds, failure):
    until = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > until:
            raise RuntimeError(failure)
        time.sleep(0.05)


class Writer:
    """A small writer of the checker's own tests (writers.py), right or
    wrong on purpose."""

    window_slack = 0.0

    def __init__(self, mode):
        self.mode = mode

    def _command(self, layout, action):
        return [sys.executable, os.path.join(HERE, "writers.py"), action, self.mode, layout.settings, layout.logs]

    def event_number(self, line):
        m = re.match(rb"^crash-event (\d+) .*$", line)
        return int(m.group(1)) if m else None

    def known_line(self, line):
        return False

    def log_files(self, layout):
        return [layout.logs]

    def record(self, layout, work):
        layout.reset()
        base = snapshot(layout.folders())
        trace = os.path.join(work, "trace0.txt")
        strace(trace, self._command(layout, "run")).wait(timeout=120)
        return [(base, trace)], snapshot(layout.folders())

    def recover(self, layout):
        run = subprocess.run(self._command(layout, "recover"), capture_output=True, timeout=60)
        return None if run.returncode == 0 else "recovery failed: " + run.stderr.decode(errors="replace")[-400:]
