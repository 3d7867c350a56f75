#!/usr/bin/env python3
"""Kills ksupdate at many points of one update and checks that the
installation stays whole and its record true; then that one more run
finishes the update.

Usage: crash_test.py --runner CRASH_RUNNER --ksupdate KSUPDATE
                     [--wine [--runner CRASH_RUNNER --ksupdate KSUPDATE]...]
                     [--points N] [--timed N] [--few] [--jobs N] [--seed S]
                     [--keep]
       crash_test.py --at-once --runner CRASH_RUNNER --ksupdate KSUPDATE
                     [--trials N] [--seed S] [--keep]
       crash_test.py --order --ksupdate KSUPDATE [--seed S] [--keep]

The installation has over 50 modules of a few KiB to a few MiB (27 with
--few): some replaced (read-only ones, one in a subfolder, one spelt
otherwise on disk), some new (one with a stale record), some up to date, and
some whose patch file is missing. CRASH_RUNNER is the program with a seam
that kills itself at its Nth platform call, or a given number of
microseconds after that call starts (a timed kill, which lands inside a
copy or a manifest write). The kill points spread over every operation of
the run.

After each kill, every module in bin must be byte-identical to its old or
its new version; client.ver must consist of whole lines, each one it had or
one that records a patch version, and record no new version for a module
whose file is still old. Every fifth kill is followed by a second one at
another point. Then KSUPDATE runs once more, and every module must be new
(or as it was, when up to date or its patch file is missing), client.ver must
record every new version, no temporary file may be left in bin, and nothing
outside bin may have changed; the run's lock file may stay in bin, empty.
One case is counted, not failed: a kill
between the copy of a new module and its record while a stale record at or
above the patch's version stands (see stuck_records).

With --wine, the builds are Windows ones (one --runner and --ksupdate pair
each), run by Wine on a real prefix: one is made (wineboot -i), its registry
value set in the 32-bit view, and each worker gets a copy with a wineserver
of its own kept running (wineserver -p) so that a start is cheap; every one
is ended (wineserver -k) however the test ends. The runner ends itself with
TerminateProcess, and its exit status says whether a timed kill caught the
chosen call still running. What Wine itself rewrites is not "outside bin":
the registry files at the prefix's root (the server saves the whole registry
to new files, through temporary ones), and the device links in dosdevices, which Wine makes anew at
every server start (a link is compared by its target). Everything else in
the prefix must stay as it was: drive C after every kill, Wine's own windows
folder (1,800 entries) at the end of each build's kills. A mode is the
read-only attribute under Wine, where new files get the umask's mode.

outside bin may have changed. The run's lock file may stay in bin, empty.

With --at-once, instead: two and three runs at once on an installation of
200 modules (SharedInstallation), of one patch and of versions 7 and 5,
each of which must end as some order of the same runs one after the other
(files, client.ver and every run's trace); a run killed while it holds the
lock, after which the next must get it without waiting; a lock held past
the bound (shortened through the runner), which must leave everything as
it was with one trace line; and KSUPDATE_TRACE naming a FIFO without a
reader, one whose reader stops reading and one whose reader goes away,
none of which may change the run. tests/wine/conformance.py uses the same
parts for the Windows build under Wine.

With --order, instead: one run of the Linux build over the 27 modules of
--few, under strace -f (see OrderCheck), must flush each temporary file
(fsync or fdatasync) after its last change and before the rename that puts
it at a module's name or at client.ver, open no module and not client.ver
for writing, rename every module it replaces or adds, and rename a
client.ver that records a module's new version only after that module's
rename; rename, renameat and renameat2 (RENAME_EXCHANGE too) all count.
A file exchanged out of client.ver's name may be written again (as the
next temporary file) only after an fsync of bin has made that exchange
durable. Then the check is run on altered copies of that trace, each wrong
in one way (a record before its module, a flush left out or made before
the copy, a copy in place, the old client.ver written over too early), and
must name each fault; and on right variants (an exchange with the
temporary file written again, renames relative to a descriptor of bin),
which it must take.
"""

import argparse
import collections
import fcntl
import functools
import itertools
import os
import queue
import random
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_scenarios import parse_profile, system_reg  # noqa: E402

INSTALL_DIR = "Program Files\\Kestrova\\Plennet Groupware 6.5\\Client"
TEMP_PREFIX = ".ksupdate-"
# The run's lock, which it may leave in bin, empty.
LOCK_FILE = "ksupdate.lock"
RUN_TIMEOUT = 60
REG_KEY = "HKLM\\SOFTWARE\\Kestrova\\Plennet Groupware 6.5"
# The crash runner's exit statuses under Wine: killed, and killed while the
# call chosen for a timed kill had not returned.
WINE_KILLED = 137
WINE_KILLED_INSIDE = 138
# What Wine says when it failed to start a program or lost its server.
WINE_START_FAILURES = (b"ShellExecuteEx failed", b"wine client error")
# The registry, which wineserver saves whole to new files now and then,
# each through a temporary file "reg*.tmp" beside it.
WINE_REGISTRY_FILES = {"system.reg", "user.reg", "userdef.reg"}
KIB = 1024
MIB = 1024 * KIB
# client.ver's other section, which no write may touch.
OTHER_SECTION = [b"[client]", b"language=en", b"; kept as it is"]


class Module:
    """One module: what bin and the patch hold before the run, and what the
    update must make of it."""

    def __init__(self, name, kind, size, rng, disk_name=None,
                 old_record=None, new_record="1", mode=0o644):
        self.name = name                 # as the manifests spell it
        self.disk = (disk_name or name).replace("\\", "/")  # in bin
        self.kind = kind  # "replaced", "new", "current" or "broken"
        self.old = None if kind == "new" else rng.randbytes(size)
        # A new version differs from the old one in its size too, so that a
        # file cut short is never mistaken for either.
        self.new = None if kind == "broken" else rng.randbytes(
            size + rng.randrange(1, 4 * KIB))
        self.old_record = old_record
        self.new_record = new_record
        self.mode = mode
        self.changes = kind in ("replaced", "new")


def make_modules(rng, few=False):
    """The installation's modules; `few`: the same kinds and spread of
    sizes, with fewer of the small ones and of the middle sizes."""
    modules = []

    def add(kind, size, **kw):
        index = len(modules)
        name = kw.pop("name", f"ksmod{index:02d}.dll")
        modules.append(Module(name, kind, size, rng, **kw))

    def small():
        return rng.randrange(2 * KIB, 64 * KIB)

    for _ in range(6 if few else 16):
        add("replaced", small(), old_record="3", new_record="5")
    add("replaced", small(), old_record="0000000011",
        new_record="0000000012", mode=0o444)
    add("replaced", 300 * KIB, old_record="1", new_record="2", mode=0o444)
    add("replaced", small(), name="kscase.dll", disk_name="KSCASE.DLL",
        old_record="4", new_record="6")
    add("replaced", small(), name="plugins\\ksplug.dll", old_record="1",
        new_record="3")
    for size in ((256 * KIB, 4 * MIB) if few else
                 (256 * KIB, 512 * KIB, 2 * MIB, 4 * MIB)):
        add("replaced", size, old_record="2", new_record="9")
    for _ in range(4 if few else 12):
        add("new", small(), new_record="1")
    add("new", small(), old_record="9", new_record="2")  # stale record
    add("new", small(), name="plugins\\ksnew.dll", new_record="1")
    for size in (192 * KIB, 3 * MIB):
        add("new", size, new_record="7")
    for i in range(4 if few else 12):
        add("current", small(), old_record="7", new_record="7" if i % 2 else "4")
    add("current", 1 * MIB, old_record="5", new_record="5")
    for _ in range(2):
        add("broken", small(), old_record="1", new_record="2")
    rng.shuffle(modules)
    return modules


def client_ver_lines(modules):
    lines = [b"[modules]"]
    for m in modules:
        if m.old_record is not None:
            lines.append(f"{m.name}={m.old_record}".encode())
    return lines + [b""] + OTHER_SECTION


def source_manifest(modules):
    lines = ["[modules]"] + [f"{m.name}={m.new_record}" for m in modules]
    return "".join(line + "\r\n" for line in lines).encode()


class Installation:
    """A prefix of its own for one worker, reset before every kill."""

    def __init__(self, root, modules, store):
        self.root = root
        self.retries = 0  # runs that Wine failed to start
        self.hung_kills = []  # timed kills that Wine did not carry out
        self.modules = modules
        drive_c = os.path.join(root, "drive_c")
        self.drive_c = drive_c
        self.bin = os.path.join(drive_c, *INSTALL_DIR.split("\\"), "bin")
        self.patch = os.path.join(drive_c, "patch")
        self.make_prefix()
        os.makedirs(self.patch)
        # The patch is only read: links to one shared copy will do.
        for i, m in enumerate(modules):
            if m.new is None:
                continue
            target = os.path.join(self.patch, *m.name.split("\\"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.link(os.path.join(store, "new", str(i)), target)
        with open(os.path.join(self.patch, "ksmodules.ver"), "wb") as f:
            f.write(source_manifest(modules))
        self.store = store
        self.client_ver = b"".join(
            line + b"\r\n" for line in client_ver_lines(modules))
        self.reset()
        self.outside = self.outside_stamp()
        self.outside_all = self.outside_stamp(everything=True)

    def make_prefix(self):
        root = self.root
        os.makedirs(self.drive_c)
        os.makedirs(os.path.join(root, "dosdevices"))
        os.makedirs(os.path.join(root, "home"))
        os.symlink("../drive_c", os.path.join(root, "dosdevices", "c:"))
        with open(os.path.join(root, "system.reg"), "wb") as f:
            f.write(system_reg(
                {"registry": {"KestrovaDir32": "C:\\" + INSTALL_DIR}}))
        self.env = dict(os.environ, WINEPREFIX=root,
                        HOME=os.path.join(root, "home"))
        self.env.pop("KSUPDATE_TRACE", None)

    # Large trees outside bin that are checked once at the end of the test,
    # not after every kill.
    checked_at_end = ()

    def volatile(self, rel):
        """True for what the system beneath may rewrite outside bin."""
        return False

    def outside_stamp(self, everything=False):
        """What must not change outside bin, cheaply: every entry's kind,
        inode and (but for directories, which bin's reset touches) size and
        modification time; without `everything`, not inside checked_at_end.
        """
        stamp = {}
        for dirpath, dirnames, filenames in os.walk(self.root):
            if dirpath == self.bin or dirpath.startswith(self.bin + os.sep):
                continue
            if not everything and os.path.relpath(
                    dirpath, self.root) in self.checked_at_end:
                dirnames[:] = []
                continue
            for name in dirnames + filenames:
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, self.root)
                if path == self.bin or self.volatile(rel):
                    continue
                st = os.lstat(path)
                if stat.S_ISLNK(st.st_mode):
                    # A link is its target, however often it is remade.
                    stamp[rel] = ("link", os.readlink(path))
                    continue
                volatile = stat.S_ISDIR(st.st_mode)
                stamp[rel] = (
                    st.st_mode, st.st_ino, 0 if volatile else st.st_size,
                    0 if volatile else st.st_mtime_ns)
        return stamp

    def reset(self):
        if os.path.exists(self.bin):
            shutil.rmtree(self.bin)
        os.makedirs(os.path.join(self.bin, "plugins"))
        for i, m in enumerate(self.modules):
            if m.old is None:
                continue
            path = os.path.join(self.bin, m.disk)
            shutil.copyfile(os.path.join(self.store, "old", str(i)), path)
            os.chmod(path, m.mode)
        with open(os.path.join(self.bin, "client.ver"), "wb") as f:
            f.write(self.client_ver)

    def run(self, binary, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        return subprocess.run(
            [binary, "C:\\patch\\setup.exe"], cwd=self.drive_c, env=env,
            stdin=subprocess.DEVNULL, capture_output=True,
            timeout=RUN_TIMEOUT)

    def program_path(self, path):
        """A host path as the program under test names it."""
        return path

    def kill_status(self, result):
        """(killed, inside): whether the seam ended the run, and whether the
        kill caught the chosen call still running (None: not told)."""
        return result.returncode == -signal.SIGKILL, None

    def mode_ok(self, mode):
        """A replaced or new module's mode is the patch file's."""
        return mode & 0o7777 == 0o644


def wine_env(prefix, home):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", HOME=home,
               WINEDLLOVERRIDES="mscoree,mshtml=")
    for name in ("DISPLAY", "KSUPDATE_TRACE"):
        env.pop(name, None)
    return env


def boot_wine_prefix(path, home):
    """Makes a Wine prefix with the client's registry value in the 32-bit
    view, and waits until its server has saved the registry and exited."""
    env = wine_env(path, home)

    def run(argv, check=True):
        return subprocess.run(argv, env=env, check=check, timeout=300,
                              stdin=subprocess.DEVNULL, capture_output=True)
    run(["wineboot", "-i"])
    run(["wine", "reg", "add", REG_KEY, "/v", "KestrovaDir32", "/d",
         "C:\\" + INSTALL_DIR, "/f", "/reg:32"])
    run(["wineserver", "-w"], check=False)


class WineInstallation(Installation):
    """A copy of a booted Wine prefix, with its own wineserver running."""

    def __init__(self, root, modules, store, base, home, servers):
        self.base = base
        self.home = home
        self.servers = servers  # every prefix whose server was started
        super().__init__(root, modules, store)

    def make_prefix(self):
        # Wine's own system files (over a GiB) are linked, not copied: no
        # run writes them, and any change to them still shows as one
        # outside bin.
        windows = os.path.join(self.base, "drive_c", "windows") + os.sep

        def copy(source, target):
            if source.startswith(windows):
                os.link(source, target)
            else:
                shutil.copy2(source, target)
        shutil.copytree(self.base, self.root, symlinks=True,
                        copy_function=copy)
        self.env = wine_env(self.root, self.home)
        self.servers.append(self.env)
        subprocess.run(["wineserver", "-p"], env=self.env, check=True,
                       timeout=60)
        # The first program starts Wine's services, which stay with the
        # server: let them start here, before the state outside bin is
        # taken and the first run is timed.
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env,
                       cwd=self.drive_c, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, timeout=RUN_TIMEOUT)

    def run(self, binary, extra_env=None):
        # Output to a file, not a pipe: a process that Wine starts on the
        # way and keeps with the server would hold a pipe open for good.
        env = dict(self.env, **(extra_env or {}))
        argv = ["wine", binary, "C:\\patch\\setup.exe"]
        for _ in range(3):
            with tempfile.TemporaryFile() as out:
                process = subprocess.Popen(
                    argv, cwd=self.drive_c, env=env, stdin=subprocess.DEVNULL,
                    stdout=out, stderr=out)
                try:
                    status = process.wait(timeout=RUN_TIMEOUT)
                except subprocess.TimeoutExpired:
                    if "KSUPDATE_KILL_DELAY_US" not in env:
                        process.kill()
                        process.wait()
                        raise
                    status = self.end_hung_kill(process)
                out.seek(0)
                output = out.read()
            # Now and then, on a busy machine, Wine fails to start the
            # program at all or loses its link to the server: that run says
            # nothing of ours, so it is run again.
            if status == 0 or not any(text in output
                                      for text in WINE_START_FAILURES):
                break
            self.retries += 1
        return subprocess.CompletedProcess(argv, status, output, b"")

    def end_hung_kill(self, process):
        """Rarely (one timed kill in several hundred, seen with the win64
        build inside CopyFileA) the runner's TerminateProcess on itself,
        from its killer thread, never ends the process under Wine.
        The run is then ended from outside, all of this prefix's processes
        at once, which is a kill as good as any: the state it leaves is
        checked like every other. What its threads were waiting in is kept
        for the note."""
        waits = collections.Counter()
        try:
            for tid in os.listdir(f"/proc/{process.pid}/task"):
                with open(f"/proc/{process.pid}/task/{tid}/wchan") as f:
                    waits[f.read().strip() or "running"] += 1
        except OSError:
            pass
        states = [f"{n} in {w}" for w, n in sorted(waits.items())]
        self.hung_kills.append(", ".join(states) or "gone")
        subprocess.run(["wineserver", "-k"], env=self.env, check=False,
                       capture_output=True, timeout=60)
        process.kill()
        process.wait()
        subprocess.run(["wineserver", "-p"], env=self.env, check=False,
                       timeout=60)
        return WINE_KILLED

    # Wine's own system folder: some 1,800 entries.
    checked_at_end = (os.path.join("drive_c", "windows"),)

    def volatile(self, rel):
        return rel in WINE_REGISTRY_FILES or (
            os.sep not in rel and rel.startswith("reg")
            and rel.endswith(".tmp"))

    def program_path(self, path):
        return "Z:" + path.replace("/", "\\")

    def kill_status(self, result):
        return (result.returncode in (WINE_KILLED, WINE_KILLED_INSIDE),
                result.returncode == WINE_KILLED_INSIDE)

    def mode_ok(self, mode):
        # Win32 shows only the read-only attribute: the write bits.
        return mode & 0o222 != 0


def read_or_none(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def check_client_ver(inst, is_new, final, problems, stuck=()):
    """client.ver holds whole lines only, each one it had or one recording
    a patch version, and records nothing new for a module still old. After
    the last run, a module in `stuck` may keep its stale record."""
    data = read_or_none(os.path.join(inst.bin, "client.ver"))
    if data is None:
        problems.append("client.ver is gone")
        return
    if not data.endswith(b"\r\n") or data.replace(b"\r\n", b"").count(
            b"\n") + data.replace(b"\r\n", b"").count(b"\r"):
        problems.append(f"client.ver has a cut or foreign line end: "
                        f"{data[-40:]!r}")
    allowed = set(client_ver_lines(inst.modules))
    allowed |= {f"{m.name}={m.new_record}".encode() for m in inst.modules}
    for line in data.split(b"\r\n")[:-1]:
        if line not in allowed:
            problems.append(f"client.ver has a line it should not: {line!r}")
    sections = parse_profile(data)
    other = parse_profile(b"\r\n".join(OTHER_SECTION))
    if {s: e for s, e in sections.items() if s != "modules"} != other:
        problems.append("client.ver's other section changed")
    records = sections.get("modules", {})
    for m in inst.modules:
        got = records.get(m.name.lower())
        if final:
            if m.name in stuck and got == m.old_record:
                continue
            want = m.new_record if m.changes else m.old_record
            if got != want:
                problems.append(f"{m.name}: recorded {got!r} after the last "
                                f"run, expected {want!r}")
        elif got != m.old_record:
            if got != m.new_record:
                problems.append(f"{m.name}: recorded {got!r}, neither "
                                f"{m.old_record!r} nor {m.new_record!r}")
            elif not is_new[m.name]:
                problems.append(f"{m.name}: records the new version "
                                f"{got!r} while its file is still old")


def changed_entries(before, after):
    return sorted(k for k in set(before) | set(after)
                  if before.get(k) != after.get(k))


def check_state(inst, final, stuck=()):
    """Returns (problems, temporary files in bin)."""
    problems = []
    temps = []
    expected = {m.disk for m in inst.modules} | {"client.ver"}
    for dirpath, _, filenames in os.walk(inst.bin):
        for name in filenames:
            rel = os.path.relpath(os.path.join(dirpath, name), inst.bin)
            if name.startswith(TEMP_PREFIX):
                temps.append(rel)
            elif rel == LOCK_FILE:
                if os.path.getsize(os.path.join(dirpath, name)):
                    problems.append(f"{LOCK_FILE} is not empty")
            elif rel not in expected:
                problems.append(f"unexpected file in bin: {rel}")
    if final and temps:
        problems.append(f"temporary files left after the last run: {temps}")
    is_new = {}
    for m in inst.modules:
        path = os.path.join(inst.bin, m.disk)
        data = read_or_none(path)
        is_new[m.name] = data is not None and data == m.new
        if data is None:
            if m.old is not None or (final and m.changes):
                problems.append(f"{m.disk}: missing")
            continue
        if data != m.old and data != m.new:
            problems.append(f"{m.disk}: {len(data)} bytes, neither the old "
                            f"({len(m.old or b'')}) nor the new "
                            f"({len(m.new or b'')}) version")
        elif not m.changes and data != m.old:
            problems.append(f"{m.disk}: replaced, but it is {m.kind}")
        elif final and m.changes and data != m.new:
            problems.append(f"{m.disk}: still old after the last run")
        elif final and m.changes and not inst.mode_ok(os.stat(path).st_mode):
            problems.append(f"{m.disk}: mode {os.stat(path).st_mode:o} "
                            "instead of the patch file's")
    check_client_ver(inst, is_new, final, problems, stuck)
    changed = changed_entries(inst.outside, inst.outside_stamp())
    if changed:
        problems.append(f"something outside bin changed: {changed[:4]}")
    return problems, temps


KillPoint = collections.namedtuple("KillPoint", "call op delay_us chained")
# A build under test: its name (its directory's), the crash runner and the
# program.
Build = collections.namedtuple("Build", "name runner ksupdate")


def choose_points(calls, points, timed, rng, write_every=4):
    """Seam kills spread over every operation and over each one's calls,
    and timed kills inside copies and writes (every write_every-th one in a
    write)."""
    total = len(calls)
    by_op = collections.defaultdict(list)
    for index, (op, _) in enumerate(calls, start=1):
        by_op[op].append(index)
    # An equal share for each operation, what a rare one cannot use going
    # to the others: the few copies and writes matter as much as the many
    # registry reads.
    quotas = dict.fromkeys(by_op, 0)
    left = points
    while left > 0:
        open_ops = [op for op in by_op if quotas[op] < len(by_op[op])]
        if not open_ops:
            break
        share = max(1, left // len(open_ops))
        for op in open_ops:
            grant = min(share, len(by_op[op]) - quotas[op], left)
            quotas[op] += grant
            left -= grant
    chosen = {1: calls[0][0], total: calls[-1][0]}
    for op, indexes in sorted(by_op.items()):
        quota = quotas[op]
        offset = rng.random()
        for k in range(quota):
            index = indexes[int((k + offset) * len(indexes) / quota)]
            chosen[index] = op
    result = [KillPoint(i, op, None, None) for i, op in sorted(chosen.items())]

    copies = by_op.get("CopyFileA", [])
    writes = by_op.get("WritePrivateProfileStringA", [])
    longest = sorted(copies, key=lambda i: -calls[i - 1][1])[:8]
    for k in range(timed):
        if k % write_every == write_every - 1 and writes:
            index = rng.choice(writes)
        elif k % 4 != 2 and longest:
            index = rng.choice(longest)
        else:
            index = rng.choice(copies)
        duration_us = calls[index - 1][1] / 1000
        delay = max(1, int(rng.uniform(0, duration_us * 1.2)))
        result.append(KillPoint(index, calls[index - 1][0], delay, None))
    rng.shuffle(result)
    # Every fifth kill gets a second one in the run after it.
    return [p._replace(chained=rng.randrange(1, total + 1)) if i % 5 == 4
            else p for i, p in enumerate(result)]


def problem_kind(detail):
    """A problem's kind, to count them by."""
    for text, kind in (
            ("neither the old", "a torn module"),
            ("recorded None, neither", "a record lost"),
            ("missing", "a module missing"),
            ("cut or foreign line end", "client.ver cut or emptied"),
            ("client.ver is gone", "client.ver cut or emptied"),
            ("other section changed", "client.ver cut or emptied"),
            ("but it is", "a module replaced that was up to date"),
            ("while its file is still old", "a record ahead of its file"),
            ("after the last run", "a wrong record after the run after"),
            ("temporary files left", "a temporary file left"),
            ("outside bin", "a change outside bin")):
        if text in detail:
            return kind
    return "other"


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.problems = []
        self.by_op = collections.Counter()
        self.timed = 0
        self.timed_killed = 0
        self.timed_inside = 0
        self.timed_inside_told = 0
        self.chained = 0
        self.with_temps = 0
        self.new_at_kill = 0
        self.stuck = 0
        # The kill points with a problem -> the problems' kinds.
        self.failed = collections.defaultdict(set)
        self.kills = 0

    def fail(self, point, what, details):
        timed = "" if point.delay_us is None else f", +{point.delay_us} us"
        with self.lock:
            self.failed[point] |= {problem_kind(d) for d in details}
            self.problems.append(
                f"kill at call {point.call} ({point.op}{timed}), {what}:\n"
                + "\n".join("    " + d for d in details[:8]))


def run_killed(inst, build, call, delay_us):
    env = {"KSUPDATE_KILL_AT": str(call)}
    if delay_us is not None:
        env["KSUPDATE_KILL_DELAY_US"] = str(delay_us)
    return inst.run(build.runner, env)


def version_number(text):
    """What the update compares: the number at the start of the text."""
    digits = re.match(r"\d*", text).group()
    return int(digits) if digits else 0


def stuck_records(inst):
    """New modules that a kill left on disk, whole, while a stale record
    at or above the patch's version still stood. The update rule copies a
    missing file whatever its record says, but takes a file that is there
    for the version recorded: no later run copies or records it again. The
    state is the same as a real install of that version, so no provider can
    help it; the test counts it instead of failing."""
    data = read_or_none(os.path.join(inst.bin, "client.ver")) or b""
    records = parse_profile(data).get("modules", {})
    return {m.name for m in inst.modules
            if m.kind == "new" and m.old_record is not None
            and version_number(m.old_record) >= version_number(m.new_record)
            and records.get(m.name.lower()) == m.old_record
            and read_or_none(os.path.join(inst.bin, m.disk)) == m.new}


def trial(inst, build, point, tally):
    inst.reset()
    result = run_killed(inst, build, point.call, point.delay_us)
    killed, inside = inst.kill_status(result)
    if not killed and (point.delay_us is None or result.returncode != 0):
        tally.fail(point, "not killed", [
            f"exit status {result.returncode}",
            (result.stdout + result.stderr).decode(errors="replace")[:400]])
        return
    problems, temps = check_state(inst, final=False)
    with tally.lock:
        tally.kills += 1
        if point.delay_us is None:
            tally.by_op[point.op] += 1
        else:
            tally.timed += 1
            tally.timed_killed += killed
            tally.timed_inside += bool(temps)
            tally.timed_inside_told += bool(inside)
        tally.with_temps += bool(temps)
        tally.new_at_kill += sum(
            read_or_none(os.path.join(inst.bin, m.disk)) == m.new
            for m in inst.modules if m.changes)
    # A kill that broke something is still followed by the run after it:
    # what that run makes of the damage (a downgrade, say) is shown too.
    broken = bool(problems)
    if broken:
        tally.fail(point, "after the kill", problems)
    stuck = stuck_records(inst)
    if point.chained is not None and not broken:
        result = run_killed(inst, build, point.chained, None)
        with tally.lock:
            tally.chained += inst.kill_status(result)[0]
        problems, _ = check_state(inst, final=False)
        if problems:
            tally.fail(point, f"after a second kill at call {point.chained}",
                       problems)
            return
        stuck |= stuck_records(inst)
    result = inst.run(build.ksupdate)
    if result.returncode != 0 or result.stdout or result.stderr:
        tally.fail(point, "in the run after it", [
            f"exit status {result.returncode}",
            (result.stdout + result.stderr).decode(errors="replace")[:400]])
        return
    problems, _ = check_state(inst, final=True, stuck=stuck)
    if problems:
        tally.fail(point, "after the run after it", problems)
    with tally.lock:
        tally.stuck += len(stuck)


def write_store(work, modules):
    """Each module's old and new bytes in files under work/store, which
    each Installation links or copies from; returns that directory."""
    store = os.path.join(work, "store")
    for kind in ("old", "new"):
        os.makedirs(os.path.join(store, kind))
    for i, m in enumerate(modules):
        for kind, data in (("old", m.old), ("new", m.new)):
            if data is not None:
                with open(os.path.join(store, kind, str(i)), "wb") as f:
                    f.write(data)
    return store


def scratch_root():
    """A scratch directory in memory when there is room (a container's
    /dev/shm may be as small as 64 MiB), else in the temporary directory."""
    base = None
    try:
        st = os.statvfs("/dev/shm")
        if os.access("/dev/shm", os.W_OK) and \
                st.f_bavail * st.f_frsize >= 512 * MIB:
            base = "/dev/shm"
    except OSError:
        pass
    return os.path.realpath(tempfile.mkdtemp(prefix="kscrash-", dir=base))


def check_build(installs, modules, store, build, args, rng, stop):
    """The reference run and every kill of one build; returns 0 when all
    passed."""
    start = time.monotonic()
    name = f"crash test ({build.name})" if args.wine else "crash test"
    # One run to the end: what the update does, call by call.
    inst = installs[0]
    inst.reset()
    log = os.path.join(os.path.dirname(inst.root), "calls.log")
    result = inst.run(build.runner,
                      {"KSUPDATE_CALL_LOG": inst.program_path(log)})
    problems, _ = check_state(inst, final=True)
    if result.returncode != 0 or problems:
        print(f"{name}: the run without a kill fails (status "
              f"{result.returncode}):\n  " + "\n  ".join(problems))
        return 1
    with open(log) as f:
        calls = [(op, int(ns)) for op, ns in (line.split() for line in f)]
    counts = collections.Counter(op for op, _ in calls)
    size = sum(len(m.old or b"") + len(m.new or b"") for m in modules)
    kinds = collections.Counter(m.kind for m in modules)
    print(f"{name}: {len(modules)} modules ({kinds['replaced']} "
          f"replaced, {kinds['new']} new, {kinds['current']} up to date, "
          f"{kinds['broken']} without a patch file), "
          f"{size / MIB:.1f} MiB; {len(calls)} platform calls a run: "
          + ", ".join(f"{op} {n}" for op, n in sorted(counts.items())))

    # Under Wine half the timed kills go to writes: the real call rewrites
    # client.ver whole, and the moment it is cut is a short part of it.
    points = choose_points(calls, args.points, args.timed, rng,
                           write_every=2 if args.wine else 4)
    tally = Tally()
    work_queue = queue.Queue()
    for p in points:
        work_queue.put(p)

    def worker(inst):
        while not stop.is_set():
            try:
                p = work_queue.get_nowait()
            except queue.Empty:
                return
            try:
                trial(inst, build, p, tally)
            except Exception as e:  # a broken trial is a failure too
                tally.fail(p, "in the test itself", [repr(e)])

    threads = [threading.Thread(target=worker, args=(i,), daemon=True)
               for i in installs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    # Nothing may have written through to the patch or the store.
    for i, m in enumerate(modules):
        for kind, data in (("old", m.old), ("new", m.new)):
            if data is not None and read_or_none(
                    os.path.join(store, kind, str(i))) != data:
                tally.problems.append(f"the {kind} copy of {m.name} in "
                                      "the patch or store changed")
    for inst in installs:
        if not inst.checked_at_end:
            continue
        changed = changed_entries(inst.outside_all,
                                  inst.outside_stamp(everything=True))
        if changed:
            tally.problems.append(
                f"{inst.root}: changed during the test: {changed[:5]}")

    seam = tally.kills - tally.timed
    print(f"kill points tried: {tally.kills + tally.chained} "
          f"({seam} at a platform call: "
          + ", ".join(f"{op} {tally.by_op[op]}" for op in sorted(counts))
          + f"; {tally.timed} timed into a copy or write: "
          f"{tally.timed_killed} killed the run, {tally.timed_inside} "
          "of them inside the call, as its temporary file shows"
          + (f", {tally.timed_inside_told} by the runner's account"
             if args.wine else "")
          + f"; {tally.chained} second kills after a first)")
    print(f"kills that left a temporary file in bin: {tally.with_temps}; "
          f"modules already new at a kill: {tally.new_at_kill}")
    if tally.stuck:
        print(f"note: {tally.stuck} kills fell between the copy of a new "
              "module and its record while a stale record at or above the "
              "patch's version stood; the run after each kept that record "
              "(the update rule takes a file that is there for the version "
              "recorded)")
    retries = sum(i.retries for i in installs)
    if retries:
        print(f"note: Wine failed to start a program {retries} times; "
              "each was run again")
    hung = [h for i in installs for h in i.hung_kills]
    if hung:
        print(f"note: {len(hung)} timed kills were not carried out by Wine "
              f"within {RUN_TIMEOUT}s and were ended from outside (the "
              f"first one's threads: {hung[0]})")
    for i in installs:
        i.retries = 0
        i.hung_kills = []
    print(f"time: {time.monotonic() - start:.1f}s with {len(installs)} "
          "workers")
    if tally.problems:
        print(f"FAILED: {len(tally.problems)} problems at "
              f"{len(tally.failed)} of {len(points)} kill points; "
              "by what the kill or the run after it left: "
              + ", ".join(f"{what} {n}" for what, n in collections.Counter(
                  k for kinds in tally.failed.values() for k in kinds
              ).most_common()))
        for p in tally.problems[:20]:
            print("  " + p)
        return 1
    print("outcome: every module whole, client.ver true after every kill;"
          " the run after each one finished the update and left no "
          "temporary file")
    return 0


# --- Runs at once (--at-once) ------------------------------------------------

AT_ONCE_MODULES = 200
VERSIONS = ("7", "5")
BUSY_LINE = "    - Another update is running -"


class SharedInstallation:
    """200 modules at version 3, every tenth one missing, and two patches
    of them at versions 7 and 5 (C:\\patch7, C:\\patch5), for runs of any
    build at once on one installation. `own_prefix`: make the prefix's
    links and system.reg too (a Wine prefix has its own)."""

    def __init__(self, root, rng, own_prefix=True):
        self.drive_c = os.path.join(root, "drive_c")
        self.bin = os.path.join(self.drive_c, *INSTALL_DIR.split("\\"), "bin")
        if own_prefix:
            os.makedirs(os.path.join(root, "dosdevices"))
            os.symlink("../drive_c", os.path.join(root, "dosdevices", "c:"))
            with open(os.path.join(root, "system.reg"), "wb") as f:
                f.write(system_reg(
                    {"registry": {"KestrovaDir32": "C:\\" + INSTALL_DIR}}))
        self.env = dict(os.environ, WINEPREFIX=root)
        self.names = [f"ksat{i:03d}.dll" for i in range(AT_ONCE_MODULES)]
        self.bytes = {n: {v: rng.randbytes(rng.randrange(2 * KIB, 16 * KIB))
                          for v in ("3",) + VERSIONS} for n in self.names}
        for v in VERSIONS:
            patch = os.path.join(self.drive_c, "patch" + v)
            os.makedirs(patch)
            for n in self.names:
                with open(os.path.join(patch, n), "wb") as f:
                    f.write(self.bytes[n][v])
            with open(os.path.join(patch, "ksmodules.ver"), "wb") as f:
                f.write("".join(f"{line}\r\n" for line in ["[modules]"] + [
                    f"{n}={v}" for n in self.names]).encode())
        self.reset()

    def installed(self, i):
        return i % 10 != 9

    def reset(self):
        if os.path.exists(self.bin):
            shutil.rmtree(self.bin)
        os.makedirs(self.bin)
        lines = ["[modules]"]
        for i, n in enumerate(self.names):
            if self.installed(i):
                with open(os.path.join(self.bin, n), "wb") as f:
                    f.write(self.bytes[n]["3"])
                lines.append(f"{n}=3")
        with open(os.path.join(self.bin, "client.ver"), "wb") as f:
            f.write("".join(line + "\r\n" for line in lines).encode())

    def outcome(self):
        """(the version each module's bytes are, None when missing, "torn"
        when none; client.ver's records; problems of bin itself)."""
        problems = []
        for name in os.listdir(self.bin):
            path = os.path.join(self.bin, name)
            if name == LOCK_FILE and os.path.getsize(path) == 0:
                continue
            if name not in self.bytes and name != "client.ver":
                problems.append(f"unexpected file in bin: {name}")
        files = {}
        for n in self.names:
            data = read_or_none(os.path.join(self.bin, n))
            files[n] = None if data is None else next(
                (v for v, b in self.bytes[n].items() if b == data), "torn")
        data = read_or_none(os.path.join(self.bin, "client.ver")) or b""
        records = parse_profile(data).get("modules", {})
        return files, {n: records.get(n) for n in self.names}, problems


def native_starter(inst, binary, extra_env=None):
    """Starts `binary` (the Linux build or the crash runner) on one patch."""
    def start(version, trace):
        env = dict(inst.env, KSUPDATE_TRACE=trace, **(extra_env or {}))
        return subprocess.Popen(
            [binary, f"C:\\patch{version}\\setup.exe"], cwd=inst.drive_c,
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
    return start


def finish(process, what, problems, timeout=RUN_TIMEOUT, end_all=None):
    """Waits for a run and notes what is wrong with its end. `end_all`
    ends what a run left running when it has to be stopped (Wine's
    processes, which outlive the one that started them)."""
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        if end_all:
            end_all()
        process.communicate()
        problems.append(f"{what}: still running after {timeout}s")
        return
    # Wine's own notices are not ours.
    out = b"\n".join(line for line in (out + err).split(b"\n")
                     if line.strip() and not line.startswith(b"wine: "))
    if process.returncode != 0 or out:
        problems.append(f"{what}: exit status {process.returncode} "
                        f"{out[:300]!r}")


def trace_lines(path):
    data = read_or_none(path) or b""
    return data.replace(b"\r\n", b"\n").decode("latin-1").split("\n")[:-1]


class AtOnce:
    """Runs at once on a SharedInstallation, each checked against every
    order of the same runs one after the other (made with `serial`)."""

    def __init__(self, inst, work, serial, end_all=None):
        self.inst, self.work, self.serial_start = inst, work, serial
        self.end_all = end_all
        self.orders = {}
        self.tally = collections.Counter()

    def run(self, runs, what, stagger=False):
        """`runs`: (starter, version) pairs, started together, or with
        `stagger` each once the one before has recorded a module or ended
        (so that a slow starter still overlaps a fast one). Returns each
        run's trace and the outcome, after checking the runs' own ends."""
        problems = []
        procs = []
        paths = []
        client_ver = os.path.join(self.inst.bin, "client.ver")
        for i, (start, v) in enumerate(runs):
            path = os.path.join(self.work, f"trace{i}")
            if os.path.exists(path):
                os.remove(path)
            paths.append(path)
            if stagger and procs:
                stamp = os.stat(client_ver).st_ino
                wait_for(lambda: os.stat(client_ver).st_ino != stamp or
                         procs[-1].poll() is not None, 20)
            procs.append(start(v, path))
        for i, p in enumerate(procs):
            finish(p, f"{what}: run {i + 1}", problems,
                   end_all=self.end_all)
        return [trace_lines(p) for p in paths], self.inst.outcome(), problems

    def serial(self, versions):
        """Every distinct order of `versions` run one after the other:
        order -> (traces in that order, outcome)."""
        key = tuple(sorted(versions))
        if key not in self.orders:
            self.orders[key] = {}
            for order in sorted(set(itertools.permutations(versions))):
                traces = []
                self.inst.reset()
                for v in order:
                    t, outcome, problems = self.run(
                        [(self.serial_start, v)], "serial run")
                    if problems:
                        raise RuntimeError("; ".join(problems))
                    traces += t
                self.orders[key][order] = (traces, outcome[:2])
        return self.orders[key]

    def trial(self, runs, what, stagger=False):
        """One trial of `runs` at once; the problems found."""
        orders = self.serial([v for _, v in runs])
        self.inst.reset()
        traces, (files, records, problems), own = self.run(runs, what,
                                                           stagger)
        problems = own + problems
        names = self.inst.names
        problems += [f"{n}: neither of its versions" for n in names
                     if files[n] == "torn"]
        ahead = sum(records[n] in VERSIONS and files[n] != records[n]
                    for n in names)
        lost = sum(files[n] in VERSIONS and records[n] != files[n]
                   for n in names)
        self.tally["records ahead of their module"] += ahead
        self.tally["records lost"] += lost
        versions = [v for _, v in runs]
        for order, (serial_traces, outcome) in orders.items():
            if outcome != (files, records):
                continue
            # Runs of one version may have taken either place.
            left = list(zip(versions, traces))
            for v, t in zip(order, serial_traces):
                if (v, t) not in left:
                    break
                left.remove((v, t))
            else:
                return problems
        self.tally["trials like no order"] += 1
        not_at_7 = sum(files[n] != "7" for n in names)
        return problems + [
            f"{what}: like no order one after the other: {not_at_7} modules "
            f"not at 7, {ahead} records ahead of their module, {lost} lost"]


def wait_for(condition, seconds):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True


def hold_lock(inst):
    """Takes the installation's lock as another process would (a record
    lock, as Wine's server takes for the Windows build); returns the
    descriptor, which releases it when closed."""
    fd = os.open(os.path.join(inst.bin, LOCK_FILE), os.O_RDWR | os.O_CREAT)
    fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 0)
    return fd


def fifo_reader(path, stop_after, close):
    """A reader of the FIFO `path` that reads `stop_after` bytes and then
    stops reading (or goes away when `close`); its pipe takes one page, so
    that a run's trace fills it. Returns its thread."""
    def read():
        fd = os.open(path, os.O_RDONLY)
        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, 4096)
        got = b""
        while len(got) < stop_after:
            chunk = os.read(fd, stop_after - len(got))
            if not chunk:
                break
            got += chunk
        reader.got = got
        if close:
            os.close(fd)
        else:
            reader.fd = fd
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    return reader


def at_once_linux(args, work):
    """Runs of the Linux build at once, a killed lock holder, a lock held
    past the bound, and trace channels that nobody reads."""
    start = time.monotonic()
    inst = SharedInstallation(os.path.join(work, "prefix"),
                              random.Random(args.seed))
    linux = native_starter(inst, args.ksupdate)
    at_once = AtOnce(inst, work, linux)
    problems = []
    trials = 0
    for runs in (["7", "7"], ["7", "5"], ["5", "7"], ["7", "7", "7"],
                 ["5", "7", "5"]):
        for k in range(args.trials):
            trials += 1
            problems += at_once.trial([(linux, v) for v in runs],
                                      f"{'+'.join(runs)} #{k + 1}")
    lone = at_once.serial(["7"])[("7",)]

    # Killed in the middle of its copies while holding the lock: the next
    # run, which does not wait at all, gets the lock and finishes.
    inst.reset()
    log = os.path.join(work, "calls.log")
    run = native_starter(inst, args.runner, {"KSUPDATE_CALL_LOG": log})
    finish(run("7", os.devnull), "run with a call log", problems)
    copies = [i for i, line in enumerate(open(log), 1)
              if line.startswith("CopyFileA ")]
    inst.reset()
    killed = native_starter(inst, args.runner, {
        "KSUPDATE_KILL_AT": str(copies[len(copies) // 2])})("7", os.devnull)
    killed.communicate(timeout=RUN_TIMEOUT)
    if killed.returncode != -signal.SIGKILL:
        problems.append(f"the run to kill ended with {killed.returncode}")
    no_wait = native_starter(inst, args.runner, {"KSUPDATE_LOCK_WAIT_MS": "0"})
    traces, outcome, own = at_once.run([(no_wait, "7")], "after a kill")
    problems += own
    if BUSY_LINE in traces[0] or outcome[:2] != lone[1]:
        problems.append("the run after a killed holder did not get the lock "
                        "at once or did not finish the update")

    # Another process holds the lock past the bound: nothing is done, and
    # the run says so in one line.
    inst.reset()
    before = inst.outcome()
    fd = hold_lock(inst)
    began = time.monotonic()
    short = native_starter(inst, args.runner, {"KSUPDATE_LOCK_WAIT_MS": "300"})
    traces, outcome, own = at_once.run([(short, "7")], "lock held")
    waited = time.monotonic() - began
    os.close(fd)
    problems += own
    if traces[0] != [BUSY_LINE] or outcome != before or waited < 0.3:
        problems.append(f"with the lock held past the bound: trace "
                        f"{traces[0][:3]}, waited {waited:.2f}s, bin "
                        f"{'unchanged' if outcome == before else 'changed'}")

    # KSUPDATE_TRACE naming a FIFO without a reader, one whose reader stops
    # reading, and one whose reader goes away: the run ends, as without it.
    fifo = os.path.join(work, "fifo")
    os.mkfifo(fifo)
    for what, reader in (("a FIFO without a reader", None),
                         ("a FIFO whose reader stops", (100, False)),
                         ("a FIFO whose reader goes away", (100, True))):
        inst.reset()
        thread = fifo_reader(fifo, *reader) if reader else None
        if thread:
            time.sleep(0.1)  # open for reading before the run starts
        own = []
        finish(linux("7", fifo), f"with {what}", own, timeout=20)
        if own or inst.outcome()[:2] != lone[1]:
            problems.append(f"with {what}: {own} the update not as without "
                            "a channel")
        if thread:
            thread.join(5)
            if not getattr(thread, "got", b"").startswith(b"- Updating: "):
                problems.append(f"with {what}: the reader got "
                                f"{getattr(thread, 'got', b'')[:40]!r}")
            if hasattr(thread, "fd"):
                os.close(thread.fd)
    print(f"at once: {trials} trials of 2 and 3 Linux runs, the same patch "
          f"and versions 7 and 5: "
          + (", ".join(f"{k}: {n}" for k, n in at_once.tally.items())
             or "every outcome one of an order one after the other")
          + f"; a killed holder, a held lock, 3 FIFO channels; "
          f"{time.monotonic() - start:.1f}s")
    return problems


# --- The order of durability (--order) ----------------------------------------

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
        parts = [unquoted(s) for s in re.findall(r'iov_base=("[^"]*"(?:\.\.\.)?)',
                                                 arg)]
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
        for name in sorted(set(records) | set(self.records)):
            if records.get(name) != self.records.get(name) and \
                    name not in done:
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


def in_scratch(args, test, outcome):
    """Runs test(args, work) in a scratch directory and prints its
    problems, or `outcome` when there are none; the exit status."""
    work = scratch_root()
    try:
        problems = test(args, work)
    finally:
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    for p in problems[:20]:
        print("  " + p)
    print(f"FAILED: {len(problems)} problems" if problems else
          f"outcome: {outcome}")
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runner", action="append")
    parser.add_argument("--ksupdate", required=True, action="append")
    parser.add_argument("--points", type=int,
                        help="seam kills to aim for (default 220; 70 with "
                        "--wine)")
    parser.add_argument("--timed", type=int,
                        help="timed kills inside calls (default 60; 40 with "
                        "--wine)")
    parser.add_argument("--jobs", type=int,
                        default=min(2, os.cpu_count() or 1))
    parser.add_argument("--seed", default="ksupdate-crash")
    parser.add_argument("--keep", action="store_true",
                        help="keep the scratch directory")
    parser.add_argument("--wine", action="store_true",
                        help="Windows builds, run by Wine on a real prefix; "
                        "--runner and --ksupdate may be given once a build")
    parser.add_argument("--few", action=argparse.BooleanOptionalAction,
                        help="27 modules instead of 55, of the same kinds "
                        "and spread of sizes (default with --wine, where a "
                        "run costs more)")
    parser.add_argument("--at-once", action="store_true",
                        help="instead of kills: runs at once, a killed lock "
                        "holder, a held lock, FIFO trace channels")
    parser.add_argument("--trials", type=int, default=3,
                        help="with --at-once: trials of each mix of runs")
    parser.add_argument("--order", action="store_true",
                        help="instead of kills: the order of one traced "
                        "run's flushes, renames and records")
    args = parser.parse_args()
    if args.order:
        if len(args.ksupdate) != 1:
            parser.error("--order takes one --ksupdate")
        args.ksupdate = os.path.abspath(args.ksupdate[0])
        return in_scratch(args, order_test,
                          "every copy and record flushed, then renamed, each "
                          "record after its module; the check caught every "
                          "wrong order")
    if not args.runner:
        parser.error("--runner is needed unless --order is given")
    if args.at_once:
        if len(args.runner) != 1 or len(args.ksupdate) != 1:
            parser.error("--at-once takes one --runner and one --ksupdate")
        args.runner = os.path.abspath(args.runner[0])
        args.ksupdate = os.path.abspath(args.ksupdate[0])
        return in_scratch(args, at_once_linux,
                          "runs at once behaved as one after the other")
    for name, linux, wine in (("points", 220, 70), ("timed", 60, 40),
                              ("few", False, True)):
        if getattr(args, name) is None:
            setattr(args, name, wine if args.wine else linux)
    if len(args.runner) != len(args.ksupdate) or (
            len(args.runner) > 1 and not args.wine):
        parser.error("one --ksupdate for each --runner; several only with "
                     "--wine")
    builds = [Build(os.path.basename(os.path.dirname(os.path.abspath(k))),
                    os.path.abspath(r), os.path.abspath(k))
              for r, k in zip(args.runner, args.ksupdate)]
    start = time.monotonic()
    rng = random.Random(args.seed)
    modules = make_modules(rng, few=args.few)
    work = scratch_root()
    servers = []  # the Wine prefixes whose wineserver may be running
    stop = threading.Event()  # no more trials once the test is ending
    # A test runner's SIGTERM ends the run through the cleanup below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        store = write_store(work, modules)
        if args.wine:
            base = os.path.join(work, "base")
            home = os.path.join(work, "home")
            os.mkdir(home)
            servers.append(wine_env(base, home))
            boot_wine_prefix(base, home)
            installs = [WineInstallation(os.path.join(work, f"w{j}"), modules,
                                         store, base, home, servers)
                        for j in range(max(1, args.jobs))]
            print(f"crash test: Wine prefix made and copied in "
                  f"{time.monotonic() - start:.0f}s")
        else:
            installs = [Installation(os.path.join(work, f"w{j}"), modules,
                                     store)
                        for j in range(max(1, args.jobs))]
        status = 0
        for build in builds:
            status |= check_build(installs, modules, store, build, args, rng,
                                 stop)
        if len(builds) > 1:
            print(f"crash test: {len(builds)} builds in "
                  f"{time.monotonic() - start:.0f}s")
        return status
    finally:
        stop.set()
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # let cleanup finish
        for env in servers:
            subprocess.run(["wineserver", "-k"], env=env, check=False,
                           capture_output=True, timeout=60)
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
