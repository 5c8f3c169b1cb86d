"""Reads what `strace -f -tt -y -X raw -xx` recorded into the file-system
calls that change files under the watched folders, in the order they were
made, each with the bytes it wrote."""

import re
from dataclasses import dataclass

# The calls the recorder asks strace for.
TRACED = ("open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,fsync,fdatasync,sync_file_range,"
          "rename,renameat,renameat2,link,linkat,unlink,unlinkat,truncate,ftruncate,copy_file_range,"
          "sendfile,lseek,mkdir,mkdirat")

O_ACCMODE, O_CREAT, O_TRUNC, O_APPEND, O_DIRECTORY = 0o3, 0o100, 0o1000, 0o2000, 0o200000
LINE = re.compile(r"^(\d+) +(\d\d):(\d\d):(\d\d\.\d+) (\w+)\((.*)\) = (.*?)(?: <[\d.]+>)?$")
HEX = re.compile(r'"((?:\\x[0-9a-f]{2})*)"')
FD = re.compile(r"^(-?\d+)<((?:\\x[0-9a-f]{2})*)>$")


@dataclass
class Op:
    """One call that changed the file system (or made it durable).

    kind: create, write, truncate, sync (a file), dirsync (a folder),
    rename, link, unlink, mkdir, copy (bytes of `source` written to `path`)."""
    seq: int
    time: float
    kind: str
    path: str
    path2: str = ""
    offset: int = 0
    data: bytes = b""
    size: int = 0
    source_offset: int = 0


def _bytes(token):
    return bytes.fromhex(token.replace("\\x", ""))


def _split(args):
    # Strings are hex-escaped, so ", " only ever separates arguments.
    return [a.strip() for a in args.split(", ")]


def _fd(token):
    m = FD.match(token)
    return (int(m.group(1)), _bytes(m.group(2)).decode(errors="replace")) if m else (None, None)


def _path(dirfd_token, name_token):
    name = _bytes(HEX.match(name_token).group(1)).decode(errors="replace")
    if name.startswith("/"):
        return name
    _, folder = _fd(dirfd_token)
    return (folder or ".") + "/" + name


def _offset(token):
    # "[0] => [1234]": where the call started
    m = re.match(r"\[(\d+)\]", token)
    return int(m.group(1)) if m else None


def _merge_unfinished(lines):
    """Joins "<unfinished ...>" calls with their "<... resumed>" ends."""
    pending = {}
    for line in lines:
        line = line.rstrip("\n")
        if line.endswith(" <unfinished ...>"):
            pid = line.split()[0]
            pending[pid] = line[: -len(" <unfinished ...>")]
            continue
        m = re.match(r"^(\d+) +[\d:.]+ <\.\.\. \w+ resumed>(.*)$", line)
        if m:
            start = pending.pop(m.group(1), None)
            if start is None:
                continue
            line = start + m.group(2)
        yield line


def read_trace(path, watched):
    """The calls of the trace at `path` on files in (or below) the
    `watched` folders, in order; failed calls are left out."""
    watched = tuple(w.rstrip("/") for w in watched)

    def inside(p):
        return p is not None and any(p == w or p.startswith(w + "/") for w in watched)

    ops = []
    fds = {}  # fd -> [path, flags, position]
    with open(path, encoding="ascii", errors="replace") as f:
        for line in _merge_unfinished(f):
            m = LINE.match(line)
            if not m:
                continue
            _, hh, mm, ss, call, args, ret = m.groups()
            if not re.match(r"^-?\d+", ret) or ret.startswith("-1 "):
                continue
            t = int(hh) * 3600 + int(mm) * 60 + float(ss)
            a = _split(args)
            result, result_path = _fd(ret) if "<" in ret else (int(ret.split()[0]), None)

            def op(kind, p, **kw):
                ops.append(Op(len(ops), t, kind, p, **kw))

            if call in ("open", "openat", "creat"):
                if call == "openat":
                    flags, p = int(a[2], 0), _path(a[0], a[1])
                elif call == "open":
                    flags, p = int(a[1], 0), _path("", a[0])
                else:
                    flags, p = O_CREAT | O_TRUNC | 1, _path("", a[0])
                p = result_path or p
                fds[result] = [p, flags, 0]
                if inside(p) and flags & O_CREAT:
                    op("create", p)
                if inside(p) and flags & O_TRUNC and flags & O_ACCMODE:
                    op("truncate", p, size=0)
                continue
            fd, p = _fd(a[0]) if a and "<" in a[0] else (None, None)
            if p and p.endswith(" (deleted)"):
                p = None  # a removed file; the workload never writes one
            entry = fds.get(fd)
            if call == "lseek" and entry:
                entry[2] = result
            elif call in ("write", "pwrite64") and inside(p):
                data = _bytes(HEX.match(a[1]).group(1))[:result]
                if call == "pwrite64":
                    where = int(a[3])
                elif entry and entry[1] & O_APPEND:
                    where = -1  # at the end
                else:
                    where = entry[2] if entry else 0
                    if entry:
                        entry[2] = where + result
                op("write", p, offset=where, data=data)
            elif call in ("fsync", "fdatasync") and inside(p):
                op("dirsync" if entry and entry[1] & O_DIRECTORY else "sync", p)
            elif call in ("ftruncate", "truncate"):
                target = p if call == "ftruncate" else _path("", a[0])
                if inside(target):
                    op("truncate", target, size=int(a[1]))
            elif call in ("rename", "renameat", "renameat2"):
                src, dst = (_path("", a[0]), _path("", a[1])) if call == "rename" else \
                    (_path(a[0], a[1]), _path(a[2], a[3]))
                if inside(src) or inside(dst):
                    op("rename", src, path2=dst)
            elif call in ("link", "linkat"):
                src, dst = (_path("", a[0]), _path("", a[1])) if call == "link" else \
                    (_path(a[0], a[1]), _path(a[2], a[3]))
                if inside(dst):
                    op("link", src, path2=dst)
            elif call in ("unlink", "unlinkat"):
                target = _path("", a[0]) if call == "unlink" else _path(a[0], a[1])
                if inside(target):
                    op("unlink", target)
            elif call in ("mkdir", "mkdirat"):
                target = _path("", a[0]) if call == "mkdir" else _path(a[0], a[1])
                if inside(target):
                    op("mkdir", target)
            elif call in ("copy_file_range", "sendfile"):
                if call == "copy_file_range":
                    (_, src), src_off, (ofd, dst), dst_off = _fd(a[0]), _offset(a[1]), _fd(a[2]), _offset(a[3])
                else:
                    (ofd, dst), (_, src), src_off, dst_off = _fd(a[0]), _fd(a[1]), _offset(a[2]), None
                out = fds.get(ofd)
                if dst_off is None:
                    dst_off = out[2] if out else 0
                    if out:
                        out[2] = dst_off + result
                if inside(dst):
                    op("copy", dst, path2=src, offset=dst_off, size=result, source_offset=src_off or 0)
            elif call in ("writev", "pwritev", "pwritev2", "sync_file_range") and inside(p):
                raise ValueError("the recorder does not model " + call + ": " + line[:200])
    return ops
