#!/usr/bin/env python3
"""Power cuts, replayed: records every file-system call a program makes on
its folders, builds the file states a power cut may leave after each call
(fsmodel.py), starts the program's recovery on each and checks what it
leaves in the log files. See docs/crash-safety.md."""

import argparse
import collections
import concurrent.futures
import hashlib
import os
import random
import re
import shutil
import sys
import threading
import time

import fsmodel
import strace_log
import subjects


class Recording:
    """One program run: its durable start, its calls, and what they say
    about the events (when each was written, when each became durable)."""

    def __init__(self, subject, base, trace, layout):
        self.base = base
        self.ops = strace_log.read_trace(trace, layout.folders())
        self.written = {}  # event -> time its line was first written
        self.lines = set()  # every whole line the program wrote
        self.longest_sync = _longest_sync(trace)
        for op in self.ops:
            if op.kind == "write":
                for line in op.data.split(b"\r\n")[:-1]:
                    self.lines.add(line)
                    n = subject.event_number(line)
                    if n is not None:
                        self.written.setdefault(n, op.time)


def _longest_sync(trace):
    """The longest fdatasync/fsync of the trace, in seconds."""
    longest = 0.0
    with open(trace, errors="replace") as f:
        for line in f:
            m = re.search(r" f(?:data)?sync\(.*<([\d.]+)>$", line)
            if m:
                longest = max(longest, float(m.group(1)))
    return longest


def describe(op):
    names = " -> ".join(os.path.basename(p) for p in (op.path, op.path2) if p)
    t = op.time % 86400
    return "%s %s, %02d:%02d:%06.3f" % (op.kind, names, t // 3600, t % 3600 // 60, t % 60)


def events_in(data, subject):
    return [subject.event_number(line) for line in data.split(b"\r\n")]


def durable_events(disk, subject):
    out = set()
    for ino, data in disk.data.items():
        out.update(n for n in events_in(data, subject) if n is not None)
    return out


HOWS = ("none", "all", "names", "data", "torn")


def plan(budget, points, rng, hows=HOWS):
    """Which crash states to build: [(point, how)] with the extremes of
    every point first, then random ones, `budget` in all."""
    chosen = [(p, h) for h in hows for p in points]
    if len(chosen) >= budget:
        return sorted(rng.sample(chosen, budget))
    return sorted(chosen + [(rng.choice(points), "random") for _ in range(budget - len(chosen))])


class Checker:
    def __init__(self, subject, work, shm, workers=2, keep=20):
        self.subject, self.work, self.keep = subject, os.path.abspath(work), keep
        self.shm = shm = os.path.join(shm, "kvcc-%s" % hashlib.sha1(self.work.encode()).hexdigest()[:12])
        shutil.rmtree(os.path.join(self.work, "violations"), ignore_errors=True)
        self.record_layout = subjects.Layout(self.work, shm, 0)
        self.layouts = [subjects.Layout(self.work, shm, i + 1) for i in range(workers)]
        self.free = list(self.layouts)
        self.lock = threading.Lock()
        self.results = {}  # state digest -> (failure, {path: bytes})
        self.violations = []
        self.states = collections.Counter()
        self.lost_age = collections.defaultdict(float)

    def close(self):
        shutil.rmtree(self.shm, ignore_errors=True)

    def record(self, attempts=3):
        """Records the subject's workload, and checks that the calls
        recorded give the files each run left: none was missed. A kill in
        the middle of a call leaves the call without its result; the
        recording is then made again."""
        for attempt in range(attempts):
            try:
                return self._record()
            except RuntimeError as missed:
                if attempt + 1 == attempts:
                    raise
                print("recording again: %s" % missed, file=sys.stderr)

    def _record(self):
        traces, final = self.subject.record(self.record_layout, self.work)
        runs = [Recording(self.subject, base, trace, self.record_layout) for base, trace in traces]
        for i, r in enumerate(runs):
            disk = fsmodel.Disk("posix", r.base)
            for op in r.ops:
                disk.feed(op)
            left = runs[i + 1].base if i + 1 < len(runs) else final
            touched = {op.path for op in r.ops} | {op.path2 for op in r.ops}
            for folder, entries in disk.files().items():
                for name in set(entries) | set(left.get(folder, {})):
                    mine, theirs = entries.get(name), left[folder].get(name)
                    if os.path.join(folder, name) in touched and mine != theirs:
                        raise RuntimeError("run %d: the calls recorded do not give %s/%s (%s bytes, on disk %s)"
                                           % (i, folder, name, mine and len(mine), theirs and len(theirs)))
        return runs

    def run(self, budget, seed, runs=None, focus=None, hows=HOWS, models=("posix", "ext4")):
        """Checks `budget` crash states of the recording `runs` (made now
        when None), at the crash points after the calls `focus(run, op)`
        picks (all when None)."""
        rng = random.Random(seed)
        runs = runs or self.record()
        promise = self.subject.window_slack + 1.0 + max(r.longest_sync for r in runs)
        lines = set().union(*(r.lines for r in runs))
        points = [(i, k) for i, r in enumerate(runs) for k, op in enumerate(r.ops) if not focus or focus(i, op)]
        slots = threading.BoundedSemaphore(2 * len(self.layouts))
        with concurrent.futures.ThreadPoolExecutor(len(self.layouts)) as pool:
            done = []
            for m, model in enumerate(models):
                chosen = collections.defaultdict(list)
                share = budget // len(models) + (budget % len(models) if m == 0 else 0)
                for point, how in plan(share, points, rng, hows):
                    chosen[point].append(how)
                for i, r in enumerate(runs):
                    disk = fsmodel.Disk(model, r.base)
                    known = durable_events(disk, self.subject)
                    for k, op in enumerate(r.ops):
                        disk.feed(op)
                        if op.kind in ("sync", "dirsync"):
                            known |= durable_events(disk, self.subject)
                        for how in chosen.get((i, k), []):
                            files, note = disk.crash_state(rng, how)
                            where = "%s run %d crash point %d (after %s)" % (model, i, k, describe(op))
                            written = {n: t for n, t in r.written.items() if t <= op.time}
                            slots.acquire()
                            job = pool.submit(self.check, model, where, how + ": " + note, files, frozenset(known),
                                              written, op.time, promise, lines)
                            job.add_done_callback(lambda _: slots.release())
                            done.append(job)
            for job in done:
                job.result()
        return promise

    def check(self, model, where, note, files, durable, written, crash_time, promise, lines):
        digest = hashlib.sha256(repr(sorted((f, sorted(e.items())) for f, e in files.items())).encode()).hexdigest()
        with self.lock:
            self.states[model] += 1
            cached = self.results.get(digest)
            layout = None if cached else self.free.pop()
        if not cached:
            try:
                cached = self.results[digest] = self.recover(layout, files)
            finally:
                with self.lock:
                    self.free.append(layout)
        failure, logs = cached
        found = self.judge(failure, logs, durable, written, crash_time, promise, lines, model)
        if found:
            with self.lock:
                folder = None
                if len(self.violations) < self.keep:
                    folder = os.path.join(self.work, "violations", "%d" % len(self.violations))
                    self.keep_state(folder, files, logs)
                self.violations.append((where, note, found, folder))

    def recover(self, layout, files):
        layout.reset()
        for folder, entries in files.items():
            target = subjects.move(folder.encode(), self.record_layout, layout).decode()
            os.makedirs(target, exist_ok=True)
            for name, data in entries.items():
                with open(os.path.join(target, name), "wb") as f:
                    f.write(subjects.move(data, self.record_layout, layout))
        failure = self.subject.recover(layout)
        logs = {}
        for folder in self.subject.log_files(layout):
            for name in sorted(os.listdir(folder)):
                if name.startswith("kvs") and name.endswith(".log"):
                    with open(os.path.join(folder, name), "rb") as f:
                        key = subjects.move(os.path.join(folder, name).encode(), layout, self.record_layout)
                        logs[key.decode()] = subjects.move(f.read(), layout, self.record_layout)
        return failure, logs

    def judge(self, failure, logs, durable, written, crash_time, promise, lines, model):
        found = [failure] if failure else []
        seen = collections.defaultdict(list)
        for path, data in logs.items():
            name = os.path.basename(path)
            if data and not data.endswith(b"\r\n"):
                found.append("%s ends in a torn line %r" % (name, data[-60:]))
            for line in data.split(b"\r\n")[:-1] if data.endswith(b"\r\n") or not data else data.split(b"\r\n"):
                if line not in lines and not self.subject.known_line(line):
                    found.append("%s holds a line the program never wrote: %r" % (name, line[:80]))
                    continue
                n = self.subject.event_number(line)
                if n is not None:
                    seen[n].append(name)
        for n, where in sorted(seen.items()):
            if len(where) > 1:
                found.append("event %d saved %d times: %s" % (n, len(where), " ".join(where)))
        for n in sorted(durable - set(seen)):
            found.append("event %d was durable before the cut and is lost" % n)
        for n, t in written.items():
            if n not in seen and n not in durable:
                age = crash_time - t
                with self.lock:
                    self.lost_age[model] = max(self.lost_age[model], age)
                if age > promise:
                    found.append("event %d, written %.3f s before the cut, is lost (promise %.3f s)" % (n, age, promise))
        return found[:6]

    def report(self, promise, started):
        for where, note, found, folder in self.violations:
            print("VIOLATION %s, state kept: %s" % (where, note))
            for text in found:
                print("    " + text)
            print("    reproducer: %s" % (folder or "(not kept)"))
        for model in sorted(self.states):
            print("%s: %d crash states, longest loss %.3f s after the write (promise %.3f s)"
                  % (model, self.states[model], self.lost_age[model], promise))
        print("%d distinct file states recovered in %.0f s" % (len(self.results), time.monotonic() - started))
        print("%d crash states, %d violations" % (sum(self.states.values()), len(self.violations)))

    def keep_state(self, folder, files, logs):
        shutil.rmtree(folder, ignore_errors=True)
        for source, entries in files.items():
            target = os.path.join(folder, "state" + source)
            os.makedirs(target, exist_ok=True)
            for name, data in entries.items():
                with open(os.path.join(target, name), "wb") as f:
                    f.write(data)
        for path, data in logs.items():
            target = os.path.join(folder, "after" + path)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build", help="the build folder of kvlogserver and kvsvcrun")
    p.add_argument("--writer", help="check a writer of the checker's own tests instead (writers.py mode)")
    p.add_argument("--work", required=True, help="a folder for the recording and the crash states")
    p.add_argument("--shm", default="/dev/shm", help="a folder on another file system (a tmpfs)")
    p.add_argument("--states", type=int, default=300)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--keep", type=int, default=20, help="crash states kept for a look, at most")
    a = p.parse_args()
    subject = subjects.Writer(a.writer) if a.writer else subjects.Service(
        os.path.join(a.build, "src/app/kvlogserver"), os.path.join(a.build, "tools/svcrun/kvsvcrun"))
    work = os.path.abspath(a.work)
    started = time.monotonic()
    checker = Checker(subject, work, a.shm, a.workers, a.keep)
    try:
        promise = checker.run(a.states, a.seed)
    finally:
        checker.close()
    checker.report(promise, started)
    return 0 if not checker.violations else 1


if __name__ == "__main__":
    sys.exit(main())
