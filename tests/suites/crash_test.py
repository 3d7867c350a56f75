#!/usr/bin/env python3
"""Kills ksupdate at many points of one update and checks that the
installation stays whole and its record true; then that one more run
finishes the update.

Usage: crash_test.py --runner CRASH_RUNNER --ksupdate KSUPDATE
                     [--wine [--runner CRASH_RUNNER --ksupdate KSUPDATE]...]
                     [--points N] [--timed N] [--few] [--jobs N] [--seed S]
                     [--checksums] [--signed] [--keep]

The installation is installation.py's: over 50 modules of a few KiB to a
few MiB (27 with --few) of every kind an update meets. CRASH_RUNNER is the
program with a seam that kills itself at its Nth platform call, or a given
number of microseconds after that call starts (a timed kill, which lands
inside a copy or a manifest write). The kill points spread over every
operation of the run.

After each kill, every module in bin must be byte-identical to its old or
its new version; client.ver must consist of whole lines, each one it had or
one that records a patch version, and record no new version for a module
whose file is still old. Every fifth kill is followed by a second one at
another point. Then KSUPDATE runs once more, and every module must be new
(or as it was, when up to date or its patch file is missing), client.ver must
record every new version, no temporary file may be left in bin, and nothing
outside bin may have changed; the run's lock file may stay in bin, empty.
A new module that client.ver records at or above the patch's version may
lose that record before its copy (the run removes it first, so that a kill
between the copy and the new record cannot leave the stale record standing
for a file that is there). With --signed, client.ver may keep the signed
patch's serial (and none other) from before the first copy, and must keep
it after the run after.

With --wine, the builds are Windows ones (one --runner and --ksupdate pair
each; one that Wine cannot run here, as wine_machine.py finds, is said to
be not run), run by Wine on a real prefix: one is made (wineboot -i), its registry
value set in the 32-bit view, and each worker gets a copy with a wineserver
of its own kept running (wineserver -p) so that a start is cheap; every one
is ended (wineserver -k) however the test ends. The runner ends itself with
TerminateProcess, and its exit status says whether a timed kill caught the
chosen call still running. What Wine itself rewrites is not "outside bin":
the registry files at the prefix's root (the server saves the whole
registry to new files, through temporary ones), and the device links in
dosdevices, which Wine makes anew at every server start (a link is
compared by its target). Everything else in
the prefix must stay as it was: drive C after every kill, Wine's own windows
folder (1,800 entries) at the end of each build's kills. A mode is the
read-only attribute under Wine, where new files get the umask's mode.
"""

import argparse
import collections
import json
import os
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from installation import (  # noqa: E402
    INSTALL_DIR, MIB, RUN_TIMEOUT, Installation, changed_entries,
    check_state, make_modules, read_or_none, scratch_root, write_store)
from run_scenarios import parse_profile  # noqa: E402
from wine_prefix import boot_wine_prefix, wine_env  # noqa: E402
import signing  # noqa: E402
import wine_machine  # noqa: E402

# The crash runner's exit statuses under Wine: killed, and killed while the
# call chosen for a timed kill had not returned.
WINE_KILLED = 137
WINE_KILLED_INSIDE = 138
# What Wine says when it failed to start a program or lost its server.
WINE_START_FAILURES = (b"ShellExecuteEx failed", b"wine client error")
# The registry, which wineserver saves whole to new files now and then,
# each through a temporary file "reg*.tmp" beside it.
WINE_REGISTRY_FILES = {"system.reg", "user.reg", "userdef.reg"}


class WineInstallation(Installation):
    """A copy of a booted Wine prefix, with its own wineserver running."""

    def __init__(self, root, modules, store, base, home, servers,
                 checksums=False, signed=False):
        self.base = base
        self.home = home
        self.servers = servers  # every prefix whose server was started
        super().__init__(root, modules, store, checksums, result=True,
                         signed=signed)

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
        subprocess.run(wine_machine.command("cmd", "/c", "exit"), env=self.env,
                       cwd=self.drive_c, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, timeout=RUN_TIMEOUT)

    def run(self, binary, extra_env=None):
        # Output to a file, not a pipe: a process that Wine starts on the
        # way and keeps with the server would hold a pipe open for good.
        env = dict(self.env, **(extra_env or {}))
        if self.result:
            env["KSUPDATE_RESULT"] = self.program_path(self.result)
        argv = wine_machine.command(binary, "C:\\patch\\setup.exe")
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

    # A patch with checksums copies in its stage and records all at once.
    copies = by_op.get("CopyFileA", []) + by_op.get("CopyStage::Stage", [])
    writes = by_op.get("WritePrivateProfileStringA", []) + \
        by_op.get("WriteProfileStrings", [])
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
    # Before the record of every copy into a missing file (one that no
    # attribute change came before): where a stale record at or above the
    # patch's version would otherwise outlive the copy.
    steps = [(i, op) for i, (op, _) in enumerate(calls, start=1)
             if not op.startswith("Reg")]
    for k in range(2, len(steps)):
        if steps[k][1] == "WritePrivateProfileStringA" and \
                steps[k - 1][1] == "CopyFileA" and \
                steps[k - 2][1] != "SetFileAttributesA":
            result.append(KillPoint(steps[k][0], steps[k][1], None, None))
    # A few inside the write of the result file, which is short.
    for index in by_op.get("WriteResultFile", [])[:1] * 3:
        duration_us = calls[index - 1][1] / 1000
        delay = max(1, int(rng.uniform(0, duration_us)))
        result.append(KillPoint(index, "WriteResultFile", delay, None))
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


def result_file_problems(inst, final=False):
    """A run's result file is whole or not there (`final`: there), never
    cut short."""
    data = read_or_none(inst.result)
    if data is None:
        return ["no result file after the run"] if final else []
    try:
        if json.loads(data.decode("utf-8")).get("format") == 1:
            return []
    except ValueError:
        pass
    return [f"a result file cut short: {data[-80:]!r}"]


def run_killed(inst, build, call, delay_us):
    env = {"KSUPDATE_KILL_AT": str(call)}
    if delay_us is not None:
        env["KSUPDATE_KILL_DELAY_US"] = str(delay_us)
    return inst.run(build.runner, env)


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
    problems += result_file_problems(inst)
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
    if point.chained is not None and not broken:
        result = run_killed(inst, build, point.chained, None)
        with tally.lock:
            tally.chained += inst.kill_status(result)[0]
        problems, _ = check_state(inst, final=False)
        if problems:
            tally.fail(point, f"after a second kill at call {point.chained}",
                       problems)
            return
    result = inst.run(build.ksupdate)
    if result.returncode != 0 or result.stdout or result.stderr:
        tally.fail(point, "in the run after it", [
            f"exit status {result.returncode}",
            (result.stdout + result.stderr).decode(errors="replace")[:400]])
        return
    problems, _ = check_state(inst, final=True)
    problems += result_file_problems(inst, final=True)
    if problems:
        tally.fail(point, "after the run after it", problems)




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
    print("outcome: every module whole, client.ver true and the result "
          "file whole or not there after every kill;"
          " the run after each one finished the update and left no "
          "temporary file")
    return 0




def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runner", required=True, action="append")
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
    parser.add_argument("--checksums", action="store_true",
                        help="the patch manifest vouches for every module "
                        "with a [sha256] section, so that kills land in "
                        "hashed copies")
    parser.add_argument("--signed", action="store_true",
                        help="a pinned key signs the patch (which then has "
                        "checksums too): kills before and after client.ver "
                        "keeps its serial")
    parser.add_argument("--few", action=argparse.BooleanOptionalAction,
                        help="27 modules instead of 55, of the same kinds "
                        "and spread of sizes (default with --wine, where a "
                        "run costs more)")
    args = parser.parse_args()
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
    if args.wine:
        for build in list(builds):
            arch = wine_machine.arch_of(build.ksupdate)
            if not wine_machine.runs(arch):
                print(f"{build.ksupdate}: {wine_machine.not_run(arch)}")
                builds.remove(build)
        if not builds:
            return 0
    start = time.monotonic()
    rng = random.Random(args.seed)
    modules = make_modules(rng, few=args.few,
                           broken=not (args.checksums or args.signed))
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
            policy = {"TrustedKeys": [signing.pinned_value("one")]} \
                if args.signed else None
            boot_wine_prefix(servers[-1], "C:\\" + INSTALL_DIR, policy)
            installs = [WineInstallation(os.path.join(work, f"w{j}"), modules,
                                         store, base, home, servers,
                                         args.checksums, args.signed)
                        for j in range(max(1, args.jobs))]
            print(f"crash test: Wine prefix made and copied in "
                  f"{time.monotonic() - start:.0f}s")
        else:
            installs = [Installation(os.path.join(work, f"w{j}"), modules,
                                     store, args.checksums, result=True,
                                     signed=args.signed)
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
