#!/usr/bin/env python3
"""Small writers that save a buffer file of numbered lines into log files,
the right way and wrong ways on purpose: the checker must find each wrong
one and nothing in the right ones.

  writers.py run|recover MODE SETTINGS_FOLDER LOG_FOLDER

MODE: rename (right), rename-early (renames before the data is durable),
copy (right: a journal lets recovery take back a copy cut short),
truncate-early (empties the buffer before the log file is durable),
no-journal (a recovery after a crash appends the lines a second time)."""

import os
import sys

MODE, SETTINGS, LOGS = sys.argv[2], sys.argv[3], sys.argv[4]
BUF = os.path.join(SETTINGS, "KVLogService.buf")
JOURNAL = BUF + ".saving"


def sync_folder(folder):
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    os.fsync(fd)
    os.close(fd)


def open_buffer():
    fd = os.open(BUF, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    sync_folder(SETTINGS)
    return fd


def save_by_rename(fd, name):
    target = os.path.join(LOGS, name)
    if MODE == "rename":
        os.fdatasync(fd)
    os.rename(BUF, target)
    sync_folder(LOGS)
    sync_folder(SETTINGS)
    os.fsync(fd)  # too late in rename-early
    os.close(fd)
    return open_buffer()


def save_by_copy(fd):
    os.fdatasync(fd)  # the journal's buffer size must be the one a crash leaves
    with open(BUF, "rb") as f:
        lines = f.read()
    target = os.path.join(LOGS, "kvs0.log")
    out = os.open(target, os.O_WRONLY | os.O_CREAT, 0o644)
    size = os.fstat(out).st_size
    sync_folder(LOGS)
    if MODE != "no-journal":
        with open(JOURNAL + ".new", "w") as j:
            j.write("%d %d\n" % (size, len(lines)))
            j.flush()
            os.fdatasync(j.fileno())
        os.rename(JOURNAL + ".new", JOURNAL)
        sync_folder(SETTINGS)
    os.pwrite(out, lines, size)
    if MODE != "truncate-early":
        os.fsync(out)
    os.ftruncate(fd, 0)
    os.fdatasync(fd)
    os.fsync(out)  # too late in truncate-early
    os.close(out)
    if MODE != "no-journal":
        os.unlink(JOURNAL)
        sync_folder(SETTINGS)


def save(fd, name):
    if MODE.startswith("rename"):
        return save_by_rename(fd, name)
    save_by_copy(fd)
    return fd


def run():
    fd = open_buffer()
    number = 1
    for batch in range(1, 25):
        lines = b"".join(b"crash-event %d %s\r\n" % (n, b"." * (60 + n % 40)) for n in range(number, number + 3))
        number += 3
        os.write(fd, lines)
        if batch % 2 == 1:  # a save finds the last batch not yet durable
            os.fdatasync(fd)
        if batch % 4 == 0:
            fd = save(fd, "kvs%d.log" % batch)


def recover():
    if os.path.exists(JOURNAL):
        with open(JOURNAL) as j:
            log_size, buf_size = (int(x) for x in j.read().split())
        target = os.path.join(LOGS, "kvs0.log")
        if os.path.exists(target) and os.path.getsize(BUF) == buf_size and os.path.getsize(target) >= log_size:
            with open(target, "r+b") as f:
                f.truncate(log_size)
                os.fsync(f.fileno())
        os.unlink(JOURNAL)
        sync_folder(SETTINGS)
    fd = open_buffer()
    with open(BUF, "rb") as f:
        data = f.read()
    whole = data[: data.rfind(b"\r\n") + 2]  # a line cut short was never durable
    if len(whole) != len(data):
        os.ftruncate(fd, len(whole))
    if whole:
        save(fd, "kvs-recovered.log")


run() if sys.argv[1] == "run" else recover()
