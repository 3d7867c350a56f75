#!/usr/bin/env python3
"""Runs ksupdate at once on one installation, and checks that they behave
as one after the other.

Usage: at_once_test.py --runner CRASH_RUNNER --ksupdate KSUPDATE
                       [--trials N] [--seed S] [--keep]

Two and three runs at once on an installation of 200 modules
(SharedInstallation), of one patch and of versions 7 and 5, each of which
must end as some order of the same runs one after the other (files,
client.ver and every run's trace); a run killed while it holds the lock,
after which the next must get it without waiting; a lock held past the
bound (shortened through CRASH_RUNNER, tests/suites/crash_runner.cc), which must
leave everything as it was with one trace line; and KSUPDATE_TRACE naming
a FIFO without a reader, one whose reader stops reading and one whose
reader goes away, none of which may change the run.
tests/suites/wine/conformance.py uses the same parts for the Windows build under
Wine.
"""

import argparse
import collections
import fcntl
import itertools
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from installation import (  # noqa: E402
    INSTALL_DIR, KIB, LOCK_FILE, RUN_TIMEOUT, in_scratch, read_or_none)
from run_scenarios import (own_lines, parse_profile, run_lines,  # noqa: E402
                           unstamped)
from wine_prefix import make_prefix  # noqa: E402

AT_ONCE_MODULES = 200
VERSIONS = ("7", "5")
BUSY_LINE = "    - Another update is running -"
# The exit status of a run that another held the lock from, with msi exit
# codes: 1618 on Windows, 18 on Linux.
LINUX_BUSY = 18
WINDOWS_BUSY = 1618


def busy_result_problems(data, status):
    """What is wrong with the result file of a run that found the lock
    held: it must say so, and that no module was reached."""
    try:
        result = json.loads(data)
    except (TypeError, ValueError):
        return [f"lock held: result file {data!r}"]
    if result.get("outcome") != "busy" or result.get("msi_code") != 1618 or \
            result.get("exit_status") != status or not result.get("modules") \
            or any(m.get("result") != "not reached"
                   for m in result["modules"]):
        return [f"lock held: result file says {data[:300]!r}"]
    return []


class SharedInstallation:
    """200 modules at version 3, every tenth one missing, and two patches
    of them at versions 7 and 5 (C:\\patch7, C:\\patch5), for runs of any
    build at once on one installation. `own_prefix`: make the prefix's
    links and system.reg too (a Wine prefix has its own)."""

    def __init__(self, root, rng, own_prefix=True):
        self.drive_c = os.path.join(root, "drive_c")
        self.bin = os.path.join(self.drive_c, *INSTALL_DIR.split("\\"), "bin")
        if own_prefix:
            make_prefix(root, "C:\\" + INSTALL_DIR)
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


def finish(process, what, problems, timeout=RUN_TIMEOUT, end_all=None,
           status=0):
    """Waits for a run and notes what is wrong with its end: an exit status
    other than `status` (its low 8 bits), or output. `end_all` ends what a
    run left running when it has to be stopped (Wine's processes, which
    outlive the one that started them)."""
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
    if process.returncode != status & 0xFF or out:
        problems.append(f"{what}: exit status {process.returncode} "
                        f"{out[:300]!r}")


def trace_lines(path):
    data = read_or_none(path) or b""
    return own_lines(
        data.replace(b"\r\n", b"\n").decode("latin-1").split("\n")[:-1])


def runs_by_process(path, pids, problems):
    """The own lines of each run of `pids` in the one trace file they all
    wrote: each line must begin with the time and one of their process
    ids, and each run's lines, taken by its id, must begin and end as a
    run's do."""
    data = (read_or_none(path) or b"").replace(b"\r\n", b"\n")
    lines = data.decode("latin-1").split("\n")[:-1]
    strays = [line for line in lines if unstamped(line)[1] not in pids]
    if strays:
        problems.append(f"{len(strays)} lines of the shared trace file "
                        f"without a run's process id: {strays[:2]!r}")
    return [run_lines([line for line in lines if unstamped(line)[1] == pid],
                      problems, f" of process {pid}", stamped=True)
            for pid in pids]


class AtOnce:
    """Runs at once on a SharedInstallation, each checked against every
    order of the same runs one after the other (made with `serial`)."""

    def __init__(self, inst, work, serial, end_all=None):
        self.inst, self.work, self.serial_start = inst, work, serial
        self.end_all = end_all
        self.orders = {}
        self.tally = collections.Counter()

    def run(self, runs, what, stagger=False, status=0, shared=False):
        """`runs`: (starter, version) pairs, started together, or with
        `stagger` each once the one before has recorded a module or ended
        (so that a slow starter still overlaps a fast one); with `shared`,
        all appending to one trace file, each run's lines told apart by the
        process id that begins them. Returns each run's trace and the
        outcome, after checking the runs' own ends (`status`: the exit
        status each must have)."""
        problems = []
        procs = []
        paths = []
        client_ver = os.path.join(self.inst.bin, "client.ver")
        for i, (start, v) in enumerate(runs):
            path = os.path.join(self.work, "trace" if shared else f"trace{i}")
            if os.path.exists(path) and not (shared and i):
                os.remove(path)
            paths.append(path)
            if stagger and procs:
                stamp = os.stat(client_ver).st_ino
                wait_for(lambda: os.stat(client_ver).st_ino != stamp or
                         procs[-1].poll() is not None, 20)
            procs.append(start(v, path))
        for i, p in enumerate(procs):
            finish(p, f"{what}: run {i + 1}", problems,
                   end_all=self.end_all, status=status)
        if shared:
            return (runs_by_process(paths[0], [p.pid for p in procs],
                                    problems),
                    self.inst.outcome(), problems)
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

    def trial(self, runs, what, stagger=False, shared=False):
        """One trial of `runs` at once; the problems found."""
        orders = self.serial([v for _, v in runs])
        self.inst.reset()
        traces, (files, records, problems), own = self.run(
            runs, what, stagger, shared=shared)
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
    that a run's trace fills it. Returns its thread, once the FIFO is open
    with that pipe: open for reading and writing, which does not wait for
    a writer, so that no line gets into a larger pipe first."""
    fd = os.open(path, os.O_RDWR)
    fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, 4096)

    def read():
        got = b""
        while len(got) < stop_after:
            got += os.read(fd, stop_after - len(got))
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
    # Runs that share one trace file, as the runs of many computers share
    # one on a server: each run's lines are its own, told by its id.
    for k in range(args.trials):
        trials += 1
        problems += at_once.trial([(linux, "7"), (linux, "5")],
                                  f"7+5 in one trace file #{k + 1}",
                                  shared=True)
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

    # Another process holds the lock past the bound: nothing is done, the
    # run says so in one line, and its status and result file tell a
    # deployment tool to try again later.
    inst.reset()
    before = inst.outcome()
    fd = hold_lock(inst)
    began = time.monotonic()
    result = os.path.join(work, "busy.json")
    short = native_starter(inst, args.runner, {
        "KSUPDATE_LOCK_WAIT_MS": "300", "KSUPDATE_EXIT_CODES": "msi",
        "KSUPDATE_RESULT": result})
    traces, outcome, own = at_once.run([(short, "7")], "lock held",
                                       status=LINUX_BUSY)
    waited = time.monotonic() - began
    os.close(fd)
    problems += own + busy_result_problems(read_or_none(result), LINUX_BUSY)
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
        own = []
        finish(linux("7", fifo), f"with {what}", own, timeout=20)
        if own or inst.outcome()[:2] != lone[1]:
            problems.append(f"with {what}: {own} the update not as without "
                            "a channel")
        if thread:
            thread.join(5)
            if not re.match(rb"\S+ \d+ === ksupdate ",
                            getattr(thread, "got", b"")):
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runner", required=True)
    parser.add_argument("--ksupdate", required=True)
    parser.add_argument("--trials", type=int, default=3,
                        help="trials of each mix of runs")
    parser.add_argument("--seed", default="ksupdate-crash")
    parser.add_argument("--keep", action="store_true",
                        help="keep the scratch directory")
    args = parser.parse_args()
    args.runner = os.path.abspath(args.runner)
    args.ksupdate = os.path.abspath(args.ksupdate)
    return in_scratch(args, at_once_linux,
                      "runs at once behaved as one after the other")


if __name__ == "__main__":
    sys.exit(main())
