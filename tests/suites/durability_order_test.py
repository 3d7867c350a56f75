#!/usr/bin/env python3
"""Checks the order of one traced update: each copy and record flushed,
then renamed into place, each record after its module.

Usage: durability_order_test.py --ksupdate KSUPDATE [--seed S] [--keep]

One run of the Linux build over the 27 modules of installation.py's
make_modules(few=True), under strace -f (see OrderCheck), must flush each
temporary file (fsync or fdatasync) after its last change and before the
rename that puts it at a module's name or at client.ver, open no module and
not client.ver for writing, rename every module it replaces or adds, and
rename a client.ver that records a module's new version only after that
module's rename (one that only removes a stale record may come before);
rename, renameat and renameat2 (RENAME_EXCHANGE too) all
count. A file exchanged out of client.ver's name may be written again (as
the next temporary file) only after an fsync of bin has made that exchange
durable. The run must leave what every run must (check_state). Then the
check is run on altered copies of that trace, each wrong in one way (a
record before its module, a flush left out or made before the copy, a copy
in place, the old client.ver written over too early), and must name each
fault; and on right variants (an exchange with the temporary file written
again, renames relative to a descriptor of bin), which it must take.
"""

import argparse
import collections
import functools
import os
import random
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from installation import (  # noqa: E402
    MIB, RUN_TIMEOUT, TEMP_PREFIX, Installation, check_state, in_scratch,
    make_modules, read_or_none, write_store)
from run_scenarios import parse_profile  # noqa: E402

# Every byte of a string as \xNN, so that no quote, comma or bracket in a
# path or a write splits an argument; writes whole up to 1 MiB.
ORDER_STRACE = ["strace", "-f", "-qq", "-xx", "-s", str(MIB)]
Call = collections.namedtuple("Call", "pid name args ret")


def split_args(text):
    """An strace argument list, split at its top-level commas."""
    args, depth, start = [], 0, 0
    for i, c in enumerate(text):
        depth += (c in "[{(") - (c in "]})")
        if c == "," and depth == 0:
            args.append(text[start:i].strip())
            start = i + 1
    return args + [text[start:].strip()] if text.strip() else args


def parse_strace(lines):
    """The finished calls of an `strace -f -xx` log, in order; a call cut by
    another thread's is joined with its resumption."""
    calls, pending = [], {}
    for line in lines:
        pid, _, text = line.partition(" ")
        text = text.strip()
        if text.endswith("<unfinished ...>"):
            pending[pid] = text[:-len("<unfinished ...>")].rstrip()
            continue
        resumed = re.match(r"<\.\.\. \w+ resumed>(.*)", text)
        if resumed:
            text = pending.pop(pid, "") + resumed.group(1)
        ends = list(re.finditer(r"\) += ", text))  # strace pads to "="
        if not ends or "(" not in text[:ends[-1].start()]:
            continue  # a signal, or a process's end
        body, tail = text[:ends[-1].start()], text[ends[-1].end():]
        name, _, args = body.partition("(")
        try:
            ret = int(tail.split()[0], 0)
        except ValueError:
            ret = None
        calls.append(Call(pid, name, split_args(args), ret))
    return calls


def quoted(data):
    return '"' + "".join(f"\\x{b:02x}" for b in data) + '"'


def unquoted(arg):
    """A string argument's bytes, or None when strace cut it short."""
    m = re.fullmatch(r'"((?:\\x[0-9a-f]{2})*)"(\.\.\.)?', arg)
    if m is None:
        raise ValueError(f"not a string argument: {arg[:60]}")
    return None if m.group(2) else bytes.fromhex(m.group(1).replace("\\x", ""))


class TracedFile:
    """One file (an inode) as the calls make it: its bytes (None when they
    cannot be followed), whether it was changed since its last flush, and
    the path it has now (None when it has none)."""

    def __init__(self, data, path):
        self.data, self.dirty, self.path = data, True, path
        # Exchanged out of a target's name, and that exchange not yet made
        # durable by a flush of the directory.
        self.set_aside = False


class OrderCheck:
    """Follows the file calls of one traced run and notes where they break
    the order that keeps an installation whole across a crash: a module
    or client.ver takes its new bytes only by the rename of a temporary
    file flushed after its last change, and client.ver records a module's
    new version only once that module has been renamed into place.

    The records are read from the bytes the run writes into each client.ver
    temporary file (write, pwrite, writev, ftruncate, followed per file
    from the installed client.ver on), not from the number of renames: a
    run that put the right number of renames in the wrong places, or
    recorded another module than the one it had copied, is caught too.
    Changes of data dirty a file; a change of its mode or times does not,
    since a flush after it is no part of the order. Paths are resolved
    against the run's current directory and directory descriptors, then
    through the prefix's drive link. Calls not followed here (a change of
    directory, truncate by name) would show as a misread: the calls
    followed must give the client.ver that the run left."""

    def __init__(self, inst):
        self.bin = os.path.realpath(inst.bin)
        self.cwd = os.path.realpath(inst.drive_c)
        self.client_ver = os.path.join(self.bin, "client.ver")
        self.module_of = {os.path.join(self.bin, m.disk): m
                          for m in inst.modules}
        self.files = {self.client_ver: TracedFile(
            bytearray(inst.client_ver), self.client_ver)}
        self.files[self.client_ver].dirty = False
        self.records = parse_profile(inst.client_ver).get("modules", {})
        self.fds = {}  # fd -> [path opened, TracedFile, offset, append]
        self.renamed = []  # module names, in the order of their renames
        self.commits = 0
        self.problems = []
        # (call index, what, TracedFile, path put in place) of creations,
        # flushes and renames into place: what the self-test alters.
        self.events = []

    def rel(self, path):
        return os.path.relpath(path, self.bin)

    def target(self, path):
        return path == self.client_ver or path in self.module_of

    def path(self, dirfd, arg):
        name = os.fsdecode(unquoted(arg))
        if not name.startswith("/"):
            base = self.cwd if dirfd == "AT_FDCWD" else \
                self.fds[int(dirfd)][0]
            name = os.path.join(base, name)
        head, tail = os.path.split(os.path.normpath(name))
        return os.path.join(realpath(head), tail)

    def follow(self, calls):
        for index, call in enumerate(calls):
            if call.ret is not None and call.ret >= 0:
                handler = getattr(self, "on_" + call.name, None)
                if handler:
                    handler(index, call.args, call.ret)
        return self

    # Opening, duplicating, closing.
    def opened(self, index, path, flags, fd):
        writes = any(f in flags for f in ("O_WRONLY", "O_RDWR", "O_TRUNC"))
        if writes and self.target(path):
            self.problems.append(f"{self.rel(path)}: opened for writing "
                                 f"({flags}), so written in place")
        f = self.files.get(path)
        if f is None or "O_EXCL" in flags:
            f = self.files[path] = TracedFile(
                bytearray() if "O_EXCL" in flags else None, path)
            if "O_EXCL" in flags:
                self.events.append((index, "create", f, None))
        if writes and "O_TRUNC" in flags:
            self.change(f, bytearray())
        self.fds[fd] = [path, f, 0, "O_APPEND" in flags]

    def on_open(self, index, args, fd):
        self.opened(index, self.path("AT_FDCWD", args[0]), args[1], fd)

    def on_openat(self, index, args, fd):
        self.opened(index, self.path(args[0], args[1]), args[2], fd)

    def on_openat2(self, index, args, fd):
        self.opened(index, self.path(args[0], args[1]), args[2], fd)

    def on_close(self, index, args, ret):
        self.fds.pop(int(args[0]), None)

    def on_dup(self, index, args, fd):
        if int(args[0]) in self.fds:
            self.fds[fd] = self.fds[int(args[0])]  # one offset for both

    on_dup2 = on_dup3 = on_dup

    def on_fcntl(self, index, args, fd):
        if args[1].startswith("F_DUPFD"):
            self.on_dup(index, args, fd)

    # Changes of data, and flushes.
    def change(self, f, data):
        """`f` changed: its bytes are now `data`, None when not known."""
        if f.set_aside:
            # A power cut could undo the exchange and bring back the old
            # name over this file half written.
            self.problems.append(f"{self.rel(f.path)}: the old file written "
                                 "over before the exchange that set it aside "
                                 "was flushed (fsync of the directory)")
            f.set_aside = False
        f.dirty = True
        f.data = data
        if f.path is not None and self.target(f.path):
            self.problems.append(f"{self.rel(f.path)}: written in place")

    def write_at(self, fd, data, offset=None):
        """`data` (None: bytes not shown) written at `offset`, or where
        the descriptor stands, which then moves on."""
        if fd not in self.fds:
            return  # not a file (the standard channels)
        entry = self.fds[fd]
        f = entry[1]
        old = f.data
        if old is None or data is None:
            self.change(f, None)
            return
        at = len(old) if entry[3] else entry[2] if offset is None else offset
        new = old + bytearray(max(0, at - len(old)))
        new[at:at + len(data)] = data
        self.change(f, new)
        if offset is None:
            entry[2] = at + len(data)

    def on_write(self, index, args, n):
        data = unquoted(args[1])
        self.write_at(int(args[0]), data and data[:n])

    def on_pwrite64(self, index, args, n):
        data = unquoted(args[1])
        self.write_at(int(args[0]), data and data[:n], int(args[3]))

    def iov_data(self, arg, n):
        parts = [unquoted(s) for s in
                 re.findall(r'iov_base=("[^"]*"(?:\.\.\.)?)', arg)]
        return None if None in parts else b"".join(parts)[:n]

    def on_writev(self, index, args, n):
        self.write_at(int(args[0]), self.iov_data(args[1], n))

    def on_pwritev(self, index, args, n):
        self.write_at(int(args[0]), self.iov_data(args[1], n), int(args[3]))

    on_pwritev2 = on_pwritev

    def on_lseek(self, index, args, pos):
        if int(args[0]) in self.fds:
            self.fds[int(args[0])][2] = pos

    def on_ftruncate(self, index, args, ret):
        if int(args[0]) in self.fds:
            f, size = self.fds[int(args[0])][1], int(args[1])
            self.change(f, None if f.data is None else
                        (f.data + bytearray(size))[:size])

    def on_copy_file_range(self, index, args, n):
        self.write_at(int(args[2]), None)

    def on_sendfile(self, index, args, n):
        self.write_at(int(args[0]), None)

    def on_fallocate(self, index, args, ret):
        self.write_at(int(args[0]), None)

    def on_mmap(self, index, args, ret):
        fd = int(args[4]) if args[4].lstrip("-").isdigit() else -1
        if "PROT_WRITE" in args[2] and "MAP_SHARED" in args[3] and \
                fd in self.fds:
            self.problems.append(f"{self.rel(self.fds[fd][0])}: mapped for "
                                 "writing; what it gets cannot be followed")

    def on_fsync(self, index, args, ret):
        if int(args[0]) in self.fds and self.fds[int(args[0])][0] == self.bin:
            for f in self.files.values():
                f.set_aside = False
            self.events.append((index, "dir flush", None, None))
        elif int(args[0]) in self.fds:
            f = self.fds[int(args[0])][1]
            f.dirty = False
            self.events.append((index, "flush", f, None))

    on_fdatasync = on_fsync

    # Renames and removals.
    def renamed_to(self, index, src, dst, flags=""):
        exchange = "RENAME_EXCHANGE" in flags
        f = self.files.get(src) or TracedFile(None, src)
        if self.target(dst):
            self.put_in_place(index, src, dst, f)
        if self.target(src) and not exchange:
            self.problems.append(f"{self.rel(src)}: renamed away to "
                                 f"{self.rel(dst)}")
        old = self.files.pop(dst, None)
        self.files.pop(src, None)
        if old is not None:
            old.path = src if exchange else None
            if exchange:
                self.files[src] = old
                old.set_aside = self.target(dst)
        self.files[dst] = f
        f.path = dst

    def put_in_place(self, index, src, dst, f):
        self.events.append((index, "rename", f, dst))
        what = self.rel(dst)
        if not os.path.basename(src).startswith(TEMP_PREFIX):
            self.problems.append(f"{what}: put in place from {self.rel(src)}, "
                                 "not from a temporary file")
        if f.dirty:
            self.problems.append(f"{what}: its temporary file {self.rel(src)} "
                                 "was not flushed after its last change "
                                 "before the rename")
        if dst != self.client_ver:
            self.renamed.append(self.module_of[dst].name)
            return
        self.commits += 1
        if f.data is None:
            self.problems.append(f"client.ver rename {self.commits}: what it "
                                 "holds could not be followed")
            return
        records = parse_profile(bytes(f.data)).get("modules", {})
        done = {name.lower() for name in self.renamed}
        # A record removed before its module's copy (a stale one at or above
        # the patch's version) puts nothing ahead of a file.
        for name in sorted(set(records) | set(self.records)):
            if records.get(name) != self.records.get(name) and \
                    records.get(name) is not None and name not in done:
                self.problems.append(
                    f"client.ver rename {self.commits} records {name}="
                    f"{records.get(name)} before that module's rename")
        self.records = records

    def on_rename(self, index, args, ret):
        self.renamed_to(index, self.path("AT_FDCWD", args[0]),
                        self.path("AT_FDCWD", args[1]))

    def on_renameat(self, index, args, ret):
        self.renamed_to(index, self.path(args[0], args[1]),
                        self.path(args[2], args[3]),
                        args[4] if len(args) > 4 else "")

    on_renameat2 = on_renameat

    def on_unlink(self, index, args, ret):
        self.removed(self.path("AT_FDCWD", args[0]))

    def on_unlinkat(self, index, args, ret):
        self.removed(self.path(args[0], args[1]))

    def removed(self, path):
        if self.target(path):
            self.problems.append(f"{self.rel(path)}: removed")
        f = self.files.pop(path, None)
        if f is not None:
            f.path = None

    def finish(self, inst):
        """What must hold once the run has ended."""
        renamed = set(self.renamed)
        for m in inst.modules:
            if m.changes and m.name not in renamed:
                self.problems.append(f"{m.name}: never put in place by a "
                                     "rename")
            elif not m.changes and m.name in renamed:
                self.problems.append(f"{m.name}: renamed, but it is {m.kind}")
        f = self.files.get(self.client_ver)
        on_disk = read_or_none(self.client_ver)
        if f is None or f.data is None or bytes(f.data) != on_disk:
            self.problems.append("the calls followed do not give the "
                                 "client.ver on disk: the trace was misread")
        return self


@functools.lru_cache(maxsize=None)
def realpath(path):
    return os.path.realpath(path)


def broken_orders(calls, check):
    """Altered copies of a right run's calls, each wrong in one way that
    the check must name, and two right ways it must take: (what, calls,
    texts one of which every problem found must hold; none for a right
    way)."""
    def at(f, what):
        return [i for i, w, g, _ in check.events if g is f and w == what]

    def without(indexes):
        return [c for i, c in enumerate(calls) if i not in indexes]

    renames = [(i, f, dst) for i, w, f, dst in check.events if w == "rename"]
    commits = [(i, f) for i, f, dst in renames if dst == check.client_ver]
    c_rename, commit = commits[0]
    m_rename, module, module_path = next(r for r in renames
                                         if r[2] != check.client_ver)
    # client.ver's first rename, with its temporary file's calls, moved to
    # just before the module rename that comes before it.
    m_before = max(i for i, _, dst in renames
                   if i < c_rename and dst != check.client_ver)
    block = set(range(max(at(commit, "create")[0], m_before + 1),
                      c_rename + 1))
    record_first = (calls[:m_before] + [calls[i] for i in sorted(block)]
                    + [c for i, c in enumerate(calls) if i >= m_before
                       and i not in block])
    # The first module's flushes moved to just after its temporary file is
    # made, before the copy.
    create, flushes = at(module, "create")[0], set(at(module, "flush"))
    early = without(flushes)
    early[create + 1:create + 1] = [calls[i] for i in sorted(flushes)]
    # That module's copy made into the module itself, with no rename.
    in_place = list(calls)
    in_place[create] = calls[create]._replace(args=[
        "AT_FDCWD", quoted(os.fsencode(module_path)),
        "O_RDWR|O_CREAT|O_TRUNC"] + calls[create].args[3:])
    del in_place[m_rename]
    # Right: every client.ver rename an exchange; from the second on, the
    # temporary file is the old client.ver kept under the last temporary
    # name, opened again and rewritten (pwrite at 0, ftruncate).
    # (A run that exchanges already has this form: then its flushes of bin
    # are left out instead, which the check must name.)
    starts = {at(f, "create")[0] for _, f in commits if at(f, "create")}
    exchanged, temp, fd = [], None, None
    for i, call in enumerate(calls):
        if i in starts:
            fd = str(call.ret)
            if temp is not None:
                call = call._replace(args=[call.args[0], temp, "O_RDWR"])
        elif call.name == "write" and call.args[0] == fd and temp:
            exchanged.append(call._replace(name="pwrite64",
                                           args=call.args + ["0"]))
            call = call._replace(name="ftruncate", args=[fd, str(call.ret)])
        elif call.name == "close" and call.args[0] == fd:
            fd = None
        elif call.name == "rename" and check.path(
                "AT_FDCWD", call.args[1]) == check.client_ver:
            temp = temp or call.args[0]
            call = call._replace(name="renameat2", args=[
                "AT_FDCWD", temp, "AT_FDCWD", call.args[1],
                "RENAME_EXCHANGE"])
        exchanged.append(call)
    # Right: the renames in bin made relative to a descriptor of bin.
    relative = [calls[0]._replace(name="openat", ret=99, args=[
        "AT_FDCWD", quoted(os.fsencode(check.bin)), "O_RDONLY|O_DIRECTORY"])]
    for call in calls:
        paths = [check.path("AT_FDCWD", a) for a in call.args[:2]] \
            if call.name == "rename" else []
        if paths and all(os.path.dirname(p) == check.bin for p in paths):
            call = call._replace(name="renameat", args=[
                "99", quoted(os.fsencode(os.path.basename(paths[0]))),
                "99", quoted(os.fsencode(os.path.basename(paths[1])))])
        relative.append(call)
    return [
        ("client.ver recorded before its module's rename", record_first,
         ["before that module's rename"]),
        ("a module's temporary file not flushed", without(flushes),
         ["was not flushed"]),
        ("client.ver's temporary file not flushed",
         without(set(at(commit, "flush"))), ["was not flushed"]),
        ("a module's temporary file flushed before its copy", early,
         ["was not flushed"]),
        # Its record then comes before any rename of it, too.
        ("a module copied in place", in_place,
         ["in place", "before that module's rename"]),
        ("client.ver exchanged, its temporary file written again",
         exchanged, []) if not any(
             "RENAME_EXCHANGE" in c.args[-1:] for c in calls) else
        ("the old client.ver written over before its exchange is flushed",
         without(set(i for i, w, _, _ in check.events if w == "dir flush")),
         ["before the exchange that set it aside was flushed"]),
        ("renames relative to a descriptor of bin", relative, [])]


def order_test(args, work):
    """One traced run's order, then the check on altered copies of it."""
    if not shutil.which("strace"):
        return ["strace is not installed"]
    modules = make_modules(random.Random(args.seed), few=True)
    store = write_store(work, modules)
    inst = Installation(os.path.join(work, "prefix"), modules, store)
    log = os.path.join(work, "run.strace")
    result = subprocess.run(
        ORDER_STRACE + ["-o", log, args.ksupdate, "C:\\patch\\setup.exe"],
        cwd=inst.drive_c, env=inst.env, stdin=subprocess.DEVNULL,
        capture_output=True, timeout=RUN_TIMEOUT)
    problems, _ = check_state(inst, final=True)
    if result.returncode != 0 or result.stdout or result.stderr:
        problems.append(f"the traced run: status {result.returncode} "
                        f"{(result.stdout + result.stderr)[:300]!r}")
    with open(log, encoding="latin-1") as f:
        calls = parse_strace(f.read().splitlines())
    check = OrderCheck(inst).follow(calls).finish(inst)
    problems += check.problems
    print(f"durability order: {len(modules)} modules, {len(calls)} calls; "
          f"{len(check.renamed)} module renames, {check.commits} client.ver "
          "renames")
    if check.problems or not check.commits:
        return problems or ["no client.ver rename in the trace"]
    for what, altered, expected in broken_orders(calls, check):
        found = OrderCheck(inst).follow(altered).finish(inst).problems
        print(f"  {what}: "
              + (f"{len(found)} problems, such as: {found[0]}" if found
                 else "taken"))
        if bool(found) != bool(expected) or not all(
                any(text in p for text in expected) for p in found):
            problems.append(f"the check on {what}: {found[:5] or 'nothing'}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ksupdate", required=True)
    parser.add_argument("--seed", default="ksupdate-crash")
    parser.add_argument("--keep", action="store_true",
                        help="keep the scratch directory")
    args = parser.parse_args()
    args.ksupdate = os.path.abspath(args.ksupdate)
    return in_scratch(args, order_test,
                      "every copy and record flushed, then renamed, each "
                      "record after its module; the check caught every "
                      "wrong order")


if __name__ == "__main__":
    sys.exit(main())
