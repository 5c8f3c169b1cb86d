"""The files as the program saw them, and the states a power cut may leave
of them, under two models of what survives.

posix (ALICE's minimal guarantee):
  - bytes written to a file (and truncations) since its last fsync or
    fdatasync survive as a prefix of those calls, the last one possibly cut
    at a 512-byte boundary of the file, or not at all;
  - names created, renamed or removed in a folder since the folder's last
    fsync survive as a prefix of those calls, per folder; a rename is
    atomic: it happened in both of its folders or in neither. fsync of a
    file makes its data durable, not its name.
ext4 (data=ordered, one journal):
  - names and truncations go through one journal: a prefix of them since
    the last commit survives, and every fsync or fdatasync (of a file or a
    folder) commits all of them;
  - bytes written to a file survive as in posix (per file, delayed
    allocation), but never across a truncation the journal did not keep.
"""

import copy

BLOCK = 512


class NameOp:
    """link/unlink/rename of names; compared by identity."""

    def __init__(self, seq, kind, folder, name, ino=None, folder2=None, name2=None):
        self.seq, self.kind, self.folder, self.name, self.ino = seq, kind, folder, name, ino
        self.folder2, self.name2 = folder2, name2

    def folders(self):
        return {self.folder} | ({self.folder2} if self.folder2 else set())

    def apply(self, names):
        if self.kind == "link":
            names[self.folder][self.name] = self.ino
        elif self.kind == "unlink":
            names[self.folder].pop(self.name, None)
        else:
            names[self.folder].pop(self.name, None)
            names[self.folder2][self.name2] = self.ino


class Trunc:
    def __init__(self, seq, ino, size):
        self.seq, self.ino, self.size = seq, ino, size


def apply_data(content, ops):
    out = bytearray(content)
    for op in ops:
        if isinstance(op, Trunc):
            del out[op.size:]
            out.extend(b"\0" * (op.size - len(out)))
        else:
            offset, data = op
            if offset > len(out):
                out.extend(b"\0" * (offset - len(out)))
            out[offset:offset + len(data)] = data
    return bytes(out)


def _block_ends(op):
    """The 512-byte boundaries strictly inside a write; none for a truncation."""
    if isinstance(op, Trunc):
        return range(0)
    offset, data = op
    return range((offset // BLOCK + 1) * BLOCK, offset + len(data), BLOCK)


def split(path):
    folder, _, name = path.rpartition("/")
    return folder, name


class Disk:
    def __init__(self, model, base):
        """base: {folder: {name: bytes}}, all of it durable."""
        assert model in ("posix", "ext4")
        self.model = model
        self.live_names = {f: {} for f in base}
        self.live = {}  # ino -> bytearray
        self.label = {}  # ino -> the last name it had, for reports
        for folder, files in base.items():
            for name, data in files.items():
                ino = len(self.live)
                self.live[ino] = bytearray(data)
                self.live_names[folder][name] = ino
                self.label[ino] = name
        self.names = copy.deepcopy(self.live_names)  # durable
        self.data = {ino: bytes(b) for ino, b in self.live.items()}  # durable
        self.pending = {}  # ino -> [(offset, bytes) | Trunc]
        self.dir_pending = {f: [] for f in base}  # posix
        self.meta = []  # ext4: [NameOp | Trunc]

    # --- the calls, as they were made ---
    def ino_at(self, path):
        folder, name = split(path)
        return self.live_names.get(folder, {}).get(name)

    def _name_op(self, op):
        op.apply(self.live_names)
        if self.model == "ext4":
            self.meta.append(op)
        else:
            for f in op.folders():
                self.dir_pending[f].append(op)

    def _data_op(self, ino, op):
        self.live[ino][:] = apply_data(self.live[ino], [op])
        self.pending.setdefault(ino, []).append(op)
        if self.model == "ext4" and isinstance(op, Trunc):
            self.meta.append(op)

    def feed(self, op):
        ino = self.ino_at(op.path)
        if op.kind == "create":
            if ino is None:
                ino = len(self.live)
                self.live[ino] = bytearray()
                self.data[ino] = b""
                self.label[ino] = split(op.path)[1]
                self._name_op(NameOp(op.seq, "link", *split(op.path), ino=ino))
        elif op.kind == "mkdir":
            # Folders the program makes are taken as durable at once; the
            # workload makes its folders itself.
            self.live_names.setdefault(op.path, {})
            self.names.setdefault(op.path, {})
            self.dir_pending.setdefault(op.path, [])
        elif ino is None and op.kind not in ("rename", "link", "unlink", "dirsync"):
            return  # a file already removed: nothing of it can be found again
        elif op.kind == "write":
            self._data_op(ino, (len(self.live[ino]) if op.offset < 0 else op.offset, op.data))
        elif op.kind == "copy":
            if self.ino_at(op.path2) is None:
                raise ValueError("a copy from a removed file, which the model does not follow: " + op.path2)
            src = self.live[self.ino_at(op.path2)]
            self._data_op(ino, (op.offset, bytes(src[op.source_offset:op.source_offset + op.size])))
        elif op.kind == "truncate":
            self._data_op(ino, Trunc(op.seq, ino, op.size))
        elif op.kind == "sync":
            self.data[ino] = bytes(self.live[ino])
            self.pending.pop(ino, None)
            if self.model == "ext4":
                self._commit_journal()
        elif op.kind == "dirsync":
            if self.model == "ext4":
                self._commit_journal()
            elif op.path in self.dir_pending:
                self._commit_folder(op.path)
        elif op.kind in ("rename", "link"):
            src = self.ino_at(op.path)
            if src is None:
                return
            f2, n2 = split(op.path2)
            if op.kind == "rename":
                self._name_op(NameOp(op.seq, "rename", *split(op.path), ino=src, folder2=f2, name2=n2))
            else:
                self._name_op(NameOp(op.seq, "link", f2, n2, ino=src))
            self.label[src] = n2
        elif op.kind == "unlink" and ino is not None:
            self._name_op(NameOp(op.seq, "unlink", *split(op.path)))

    def _commit_folder(self, folder, upto=None):
        queue = self.dir_pending[folder]
        n = len(queue) if upto is None else queue.index(upto) + 1
        head, self.dir_pending[folder] = queue[:n], queue[n:]
        for op in head:
            for other in op.folders() - {folder}:
                if op in self.dir_pending[other]:
                    self._commit_folder(other, op)  # atomic: its folder's earlier calls first
            if not getattr(op, "done", False):
                op.apply(self.names)
                op.done = True

    def _commit_journal(self):
        for op in self.meta:
            if isinstance(op, Trunc):
                queue = self.pending.get(op.ino, [])
                if op in queue:
                    at = queue.index(op) + 1
                    self.data[op.ino] = apply_data(self.data[op.ino], queue[:at])
                    self.pending[op.ino] = queue[at:]
            else:
                op.apply(self.names)
        self.meta = []

    def files(self):
        """The files as the program sees them now."""
        return {f: {n: bytes(self.live[ino]) for n, ino in entries.items()} for f, entries in self.live_names.items()}

    # --- what a power cut may leave ---
    def crash_state(self, rng, how):
        """how: "none" (nothing unsynced survives), "all" (everything does),
        "names" (names survive, unsynced bytes do not), "data" (the
        reverse), "torn" (each file up to the last write that crosses a 512-byte
        boundary, cut at its last one), "random". Returns ({folder: {name: bytes}}, description)."""

        def cut(n, part):
            if how in ("all", "torn") or how == part:
                return n
            if how in ("none", "names", "data"):
                return 0
            r = rng.random()
            return 0 if r < 0.25 else n if r < 0.5 else rng.randint(0, n)

        notes = []
        names = copy.deepcopy(self.names)
        kept_truncs = set()
        if self.model == "posix":
            cuts = {f: cut(len(q), "names") for f, q in self.dir_pending.items()}
            changed = True
            while changed:  # a rename kept in one folder is kept in both
                changed = False
                for f, q in self.dir_pending.items():
                    for i, op in enumerate(q[:cuts[f]]):
                        for other in op.folders() - {f}:
                            oq = self.dir_pending[other]
                            if op in oq and oq.index(op) >= cuts[other]:
                                cuts[f], changed = i, True
                                break
                        if changed:
                            break
            kept = {id(op): op for f, q in self.dir_pending.items() for op in q[:cuts[f]]}
            for op in sorted(kept.values(), key=lambda o: o.seq):
                op.apply(names)
            notes += ["%s %d/%d names" % (f.rpartition("/")[2], cuts[f], len(q))
                      for f, q in self.dir_pending.items() if q]
        else:
            g = cut(len(self.meta), "names")
            for op in self.meta[:g]:
                if isinstance(op, Trunc):
                    kept_truncs.add(id(op))
                else:
                    op.apply(names)
            if self.meta:
                notes.append("journal %d/%d" % (g, len(self.meta)))
        contents = {}
        for ino, queue in self.pending.items():
            if not queue:
                continue
            lo, hi = 0, len(queue)
            if self.model == "ext4":
                for i, op in enumerate(queue):
                    if isinstance(op, Trunc):
                        if id(op) in kept_truncs:
                            lo = i + 1
                        elif hi == len(queue):
                            hi = i
            c = lo + cut(hi - lo, "data")
            content = apply_data(self.data[ino], queue[:c])
            torn = 0
            if how == "torn":  # the last write that crosses a block boundary, torn there
                crossing = [i for i in range(lo, hi) if _block_ends(queue[i])]
                c = crossing[-1] if crossing else hi
                content = apply_data(self.data[ino], queue[:c])
            if c < hi and _block_ends(queue[c]) and (how == "torn" or how == "random" and rng.random() < 0.5):
                offset, data = queue[c]
                ends = _block_ends(queue[c])
                torn = (ends[-1] if how == "torn" else rng.choice(ends)) - offset
                content = apply_data(content, [(offset, data[:torn])])
            contents[ino] = content
            notes.append("%s %d/%d writes%s" % (self.label[ino], c, len(queue), " +%d B" % torn if torn else ""))
        files = {f: {n: contents.get(ino, self.data.get(ino, b"")) for n, ino in entries.items()}
                 for f, entries in names.items()}
        return files, ", ".join(notes) or "all synced"
