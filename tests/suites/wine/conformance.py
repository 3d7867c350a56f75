#!/usr/bin/env python3
"""Runs the Linux build and both Windows builds on one real Wine prefix.

Usage: conformance.py --native DIR --win32 DIR --win64 DIR [-k TEXT]
                      [--hunt-files N] [--seed S] [--jobs N]

A Windows build that Wine cannot run on this machine (wine_machine.py) is
said to be not run, and the others are compared without it; where a
single Windows build stands for Windows (the profile reference, the runs
at once), that is the 32-bit one where it runs, else the 64-bit one.

Makes a Wine prefix (wineboot -i) for each of --jobs workers, which share
out what follows; for every scenario of
tests/suites/scenarios sets the registry value with `wine reg` in the 32-bit view,
lays the scenario's files on drive C and runs each build on them: the Linux
one directly (after `wineserver -w` has written the registry to
system.reg), the Windows ones under Wine through a launcher that gives them
an exact raw command line. Each run must meet the scenario's expectations,
and the three must agree with one another: the same trace, the same files
in the same state (bytes and read-only attribute), the same client.ver
entries; the Windows builds' OutputDebugStringA lines (Wine's debugstr
channel) must be the trace's, in order; each run's one event in the event
log (Wine's eventlog channel) must carry its outcome at its level; and a
lock file that a run makes or keeps must be closed to every other host
user. A run that takes more than
WINE_TIMEOUT_SECONDS fails its scenario. Then the profile probe of each build answers the same reads and
writes as Wine's own profile functions, on the corpus under
tests/data/profiles and on --hunt-files generated files (seeded; a tenth as
many again in a locale of another single-byte code page and in one of a
double-byte code page, picked by the seed). Last, in a prefix of their
own, runs at once on one installation of that prefix (at_once_test.py's
SharedInstallation): two and three of the 32-bit build, and the Linux build
with it, must each behave as some order of the same runs one after the
other; a lock that either build holds keeps the other waiting, a killed
holder frees it at once, and a trace channel whose reader stops or a
debug-output listener that never answers costs the Windows build no more
than a second. Every Wine process started here is ended (wineserver -k)
before the script exits.
"""

import argparse
import grp
import hashlib
import json
import multiprocessing
import random
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time
from queue import Empty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import run_scenarios as rs  # noqa: E402
import at_once_test as ao  # noqa: E402
from installation import INSTALL_DIR  # noqa: E402
from wine_prefix import POLICY_KEY, reg_add_policy  # noqa: E402
import profile_conformance  # noqa: E402
import wine_machine  # noqa: E402

REG_KEY = "HKLM\\SOFTWARE\\Kestrova\\Plennet Groupware 6.5"
BUILDS = ("native", "win32", "win64")
# A Windows build asks wineserver for each registry read (the win64 build
# for each key of the path: nine requests a read), event and handle; on an
# idle 2-core VM a request costs some 40 us, and the scenarios of 100,000
# modules took 30 to 75 s there (less when the machine is busy). The limit
# is for a run that hangs.
WINE_TIMEOUT_SECONDS = 300


def host_to_windows(path):
    return "Z:" + path.replace("/", "\\")


class Prefix:
    """A Wine prefix made for this run and removed after it."""

    def __init__(self):
        self.work = os.path.realpath(tempfile.mkdtemp(prefix="ksconform-"))
        self.root = os.path.join(self.work, "prefix")
        self.drive_c = os.path.join(self.root, "drive_c")
        self.env = wine_machine.environ(dict(
            os.environ, WINEPREFIX=self.root, WINEDEBUG="-all",
            HOME=os.path.join(self.work, "home"), DISPLAY="",
            WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL=rs.DEFAULT_LOCALE))
        os.mkdir(self.env["HOME"])
        self.env.pop("KSUPDATE_TRACE", None)

    def wine(self, *args, check=True):
        result = subprocess.run(wine_machine.command(*args), env=self.env,
                                cwd=self.drive_c if os.path.isdir(
                                    self.drive_c) else self.work,
                                stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=120)
        if check and result.returncode != 0:
            raise RuntimeError(f"wine {' '.join(args)}: status "
                               f"{result.returncode}: {result.stderr[-400:]!r}")
        return result

    def boot(self):
        subprocess.run(wine_machine.command("wineboot", "-i"), env=self.env,
                       check=True,
                       stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=300)
        self.flush()

    def flush(self):
        """Waits until wineserver has written the registry and exited."""
        subprocess.run(["wineserver", "-w"], env=self.env, check=False,
                       timeout=120)

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self.env, check=False,
                       capture_output=True, timeout=60)

    def set_registry(self, scenario):
        self.wine("reg", "delete", REG_KEY, "/f", "/reg:32", check=False)
        self.wine("reg", "delete", REG_KEY, "/f", "/reg:64", check=False)
        for view, values in (("/reg:32", scenario["registry"]),
                             ("/reg:64", scenario.get("registry64"))):
            if values is None:
                continue
            if not values:
                self.wine("reg", "add", REG_KEY, "/f", view)
            for name, data in values.items():
                self.wine("reg", "add", REG_KEY, "/v", name, "/d", data, "/f",
                          view)
        # The pinned keys, in the native view, as Group Policy writes them.
        self.wine("reg", "delete", "HKLM\\SOFTWARE\\" + POLICY_KEY, "/f",
                  "/reg:64", check=False)
        for name, data in (rs.resolved_policy(scenario) or {}).items():
            self.wine(*reg_add_policy(name, data))


def owned_roots(baseline, files):
    """The shallowest paths of the scenario's files that the prefix does not
    already have: what the scenario lays and what is removed after it."""
    roots = set()
    for rel in files:
        parts = rel.split("/")
        for i in range(1, len(parts) + 1):
            candidate = "/".join(parts[:i])
            if candidate.lower() not in baseline:
                roots.add(candidate)
                break
    return roots


def baseline_paths(drive_c):
    paths = set()
    for dirpath, dirnames, filenames in os.walk(drive_c):
        for name in dirnames + filenames:
            paths.add(os.path.relpath(os.path.join(dirpath, name),
                                      drive_c).lower())
        # The scenarios only go a few levels deep.
        if os.path.relpath(dirpath, drive_c).count(os.sep) >= 2:
            dirnames[:] = []
    return paths


def watched(drive_c, roots):
    """A snapshot of what a run may touch: the scenario's own trees, and
    the listing of every directory that holds one (new entries there)."""
    state = {}
    parents = {os.path.dirname(r) for r in roots} | {""}
    for parent in parents:
        path = os.path.join(drive_c, parent)
        if os.path.isdir(path):
            state["listing:" + parent] = ("listing", 0, tuple(sorted(
                n for n in os.listdir(path))))
    for root in roots:
        path = os.path.join(drive_c, root)
        if os.path.isdir(path) and not os.path.islink(path):
            for rel, entry in rs.snapshot(path).items():
                state["drive_c/" + root + "/" + rel] = entry
            state["drive_c/" + root] = ("dir", 0o755, None)
        elif os.path.lexists(path):
            state["drive_c/" + root] = entry_of(path)
    return state


def entry_of(path):
    """One entry as rs.snapshot describes it."""
    st = os.lstat(path)
    mode = rs.stat.S_IMODE(st.st_mode)
    if rs.stat.S_ISLNK(st.st_mode):
        return ("link", 0, os.readlink(path))
    if rs.stat.S_ISREG(st.st_mode):
        with open(path, "rb") as f:
            return ("file", mode, f.read())
    return ("other", mode, None)


def attribute_state(state):
    """Files by bytes and read-only attribute only: that is what Win32
    shows, and Wine makes new files 0644 where Linux copies the mode."""
    out = {}
    for rel, (kind, mode, data) in state.items():
        if kind == "file":
            out[rel] = (kind, 0o444 if mode & 0o222 == 0 else 0o644, data)
        elif kind == "dir":
            out[rel] = (kind, 0o755, None)
        else:
            out[rel] = (kind, mode, data)
    return out


def lay_files(prefix, scenario, roots):
    rs.use_scenario(scenario)
    for root in roots:
        path = os.path.join(prefix.drive_c, root)
        if os.path.lexists(path):
            if os.path.isdir(path) and not os.path.islink(path):
                rs.remove_tree(path)
            else:
                os.chmod(path, 0o644)
                os.remove(path)
    dir_modes = rs.lay_files(prefix.drive_c, scenario["files"])
    for path, mode in sorted(dir_modes, key=lambda d: -d[0].count("/")):
        os.chmod(path, mode)
    rs.prepare_patch(prefix.drive_c, scenario)


def result_path(prefix):
    return os.path.join(prefix.work, "result.json")


def run_build(prefix, build, dirs, scenario, trace_path):
    """Runs one build on the laid files; returns (status, stdout+stderr)."""
    for path in (trace_path, result_path(prefix)):
        if os.path.exists(path):
            os.remove(path)
    locale = rs.locale_env(scenario.get("locale", rs.DEFAULT_LOCALE))
    locale.update(scenario.get("env", {}))
    if "result" in scenario:
        locale["KSUPDATE_RESULT"] = result_path(prefix) if build == "native" \
            else host_to_windows(result_path(prefix))
    if build == "native":
        env = dict(prefix.env, KSUPDATE_TRACE=trace_path, **locale)
        result = subprocess.run(
            [os.path.join(dirs[build], "ksupdate")] + rs.host_args(scenario),
            cwd=prefix.drive_c, env=env, stdin=subprocess.DEVNULL,
            capture_output=True, timeout=rs.TIMEOUT_SECONDS)
        return result.returncode, result.stdout + result.stderr
    # The same argument text as the Linux build's joined words.
    command_line = " ".join(["ksupdate.exe"] + scenario["args"])
    line_file = trace_path + ".cmdline"
    with open(line_file, "wb") as f:
        f.write(command_line.encode(f"cp{rs.code_page(scenario)}"))
    # Wine's debugstr channel shows each OutputDebugStringA call; its
    # eventlog channel each event's text, at the event's level.
    env = dict(prefix.env, KSUPDATE_TRACE=host_to_windows(trace_path),
               WINEDEBUG="-all,warn+debugstr,+eventlog", **locale)
    try:
        result = subprocess.run(
            wine_machine.command(
                os.path.join(dirs[build], "tests", "wine", "launch.exe"),
                host_to_windows(os.path.join(dirs[build], "ksupdate.exe")),
                host_to_windows(line_file)),
            cwd=prefix.drive_c, env=env, stdin=subprocess.DEVNULL,
            capture_output=True, timeout=WINE_TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        # The run itself is a process of the prefix, not launch.exe's child
        # on the host: end them all, and fail this scenario only.
        prefix.kill()
        return f"timed out after {WINE_TIMEOUT_SECONDS}s", b""
    finally:
        os.remove(line_file)
    return result.returncode, result.stdout + result.stderr


FOREIGN = b"another user's file\n"


def check_foreign_outputs(prefix, dirs):
    """A trace file and a result file that another host user made before
    the run are refused by every build: each keeps its bytes (Wine shows a
    file of another host user's as Anonymous Logon's, which the Windows
    builds refuse as they refuse any other account's but their own,
    Administrators' and SYSTEM's). None when it cannot be tried here."""
    if os.geteuid() != 0:
        print("skip foreign_outputs: only root can give a file to another "
              "user")
        return None
    problems = []
    for build in dirs:
        paths = {name: os.path.join(prefix.work, f"foreign-{name}")
                 for name in ("trace", "result")}
        for path in paths.values():
            with open(path, "wb") as f:
                f.write(FOREIGN)
            os.chown(path, rs.NOBODY, rs.NOBODY)
        spell = (lambda p: p) if build == "native" else host_to_windows
        env = dict(prefix.env, KSUPDATE_TRACE=spell(paths["trace"]),
                   KSUPDATE_RESULT=spell(paths["result"]))
        program = os.path.join(dirs[build], "ksupdate") \
            if build == "native" else os.path.join(dirs[build], "ksupdate.exe")
        command = [program] if build == "native" else \
            wine_machine.command(program)
        subprocess.run(command + ["C:\\nowhere\\setup.exe"],
                       cwd=prefix.drive_c, env=env, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=WINE_TIMEOUT_SECONDS)
        for name, path in paths.items():
            if rs.read_or_none(path) != FOREIGN:
                problems.append(f"{build}: another user's {name} file was "
                                "written")
            os.remove(path)
    print(("FAIL" if problems else "PASS") + " foreign_outputs")
    for p in problems:
        print("    " + p)
    return not problems


def read_trace(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    # Windows builds end their lines in CRLF.
    return data.replace(b"\r\n", b"\n").decode(
        "utf-8", "surrogateescape").split("\n")[:-1] if data else []


def run_trace(path, problems):
    """The run's own lines of its trace file, its begin and end checked."""
    return rs.run_lines(read_trace(path), problems, stamped=True)


DEBUGSTR = re.compile(
    rb'^[0-9a-f]+:warn:debugstr:OutputDebugStringA "(.*)"(\.\.\.)?$')
UNESCAPED = {b"n": b"\n", b"r": b"\r", b"t": b"\t"}


def split_debug_lines(output):
    """A Windows build's output without Wine's debugstr lines, and those
    lines unescaped, each with whether Wine cut it short (past some 300
    characters)."""
    def unescape(m):
        code = m.group(1)
        if code[:1] == b"x":
            return bytes([int(code[1:], 16)])
        return UNESCAPED.get(code, code)
    rest, lines = [], []
    for line in output.split(b"\n"):
        m = DEBUGSTR.match(line)
        if m is None:
            rest.append(line)
            continue
        text = re.sub(rb"\\(x[0-9a-f]{2}|.)", unescape, m.group(1))
        lines.append((text.decode("utf-8", "surrogateescape"),
                      m.group(2) is not None))
    return b"\n".join(rest), lines


EVENT = re.compile(
    rb'^[0-9a-f]+:(trace|warn|err):eventlog:ReportEventW L"(.*?)(\\r|")')
EVENT_LEVEL = {"success": b"trace", "would change": b"trace",
               "restart required": b"warn"}


def split_events(output):
    """A Windows build's output without Wine's eventlog lines, and each
    event's level, first line and fields (Wine gives each insertion string
    a line: the text's, beginning "ksupdate ", then each field's)."""
    rest, events = [], []
    for line in output.split(b"\n"):
        m = EVENT.match(line)
        if m is not None:
            text = m.group(2).decode("latin-1")
            if events and not text.startswith("ksupdate "):
                events[-1][2].append(text)
            else:
                events.append((m.group(1), text, []))
        elif not re.match(rb"^[0-9a-f]+:\w+:eventlog:", line):
            rest.append(line)  # else Wine's event log service, starting
    return b"\n".join(rest), events


def check_event(trace_file, events, problems):
    """One event a run, its outcome the trace file's closing line's, at
    that outcome's level."""
    lines = read_trace(trace_file)
    ended = re.match(r"=== ksupdate run ended: (.*?) \((\d+)\), exit status "
                     r"(\d+)", rs.unstamped(lines[-1])[0] if lines else "")
    if len(events) != 1 or ended is None:
        problems.append(f"event log: {len(events)} events, "
                        f"{'a' if ended else 'no'} closing trace line")
        return
    level, text, fields = events[0]
    outcome, code, status = ended.groups()
    if not re.fullmatch(rf"ksupdate \S+: {re.escape(outcome)} \({code}\), "
                        rf"exit status {status}", text) or \
            level != EVENT_LEVEL.get(outcome, b"err"):
        problems.append(f"event log: {level.decode()} {text!r} for "
                        f"{outcome} ({code})")
    # Outcome, code, patch directory, manifest digest, copied, failed.
    if len(fields) != 6 or fields[:2] != [outcome, code] or \
            not re.fullmatch(r"([0-9a-f]{64})?", fields[3].lower()) or \
            not all(f.isdigit() for f in fields[4:]):
        problems.append(f"event log: fields {fields!r} for {outcome} ({code})")


def check_debug_channel(trace, lines, problems):
    """The debugger channel carries the trace's lines in order. It drops
    lines only when more than 1 MiB wait for the listener, or when they
    still wait a second after the run's end: all of a smaller trace."""
    rest = iter(trace)
    for text, cut in lines:
        if not any(t == text or (cut and t.startswith(text)) for t in rest):
            shown = rs.show(text.encode("utf-8", "surrogateescape"), 80)
            problems.append(f"debugger channel: {shown} is not in the "
                            "trace, or out of order")
            return
    if len(lines) < len(trace) and sum(map(len, trace)) < 1 << 20:
        problems.append(f"debugger channel: {len(lines)} of the trace's "
                        f"{len(trace)} lines")


def first_difference(got, want):
    """Where two traces part, briefly: long traces would flood the log."""
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            return f" at line {i + 1}: {rs.show(g.encode('utf-8', 'surrogateescape'), 120)} " \
                f"vs {rs.show(w.encode('utf-8', 'surrogateescape'), 120)}"
    return f": {len(got)} lines, expected {len(want)}"


def check_run(scenario, before, after, trace, problems):
    """The scenario's own expectations, on attribute-level states."""
    want_trace = rs.expand_trace(scenario["trace"])
    if trace != want_trace:
        problems.append("trace differs from the expected one" +
                        first_difference(trace, want_trace))
    expected = {"drive_c/" + p: d
                for p, d in scenario.get("expect_files", {}).items()}
    for rel, desc in expected.items():
        if rel.lower().endswith("client.ver") and "same_as" not in desc:
            # Wine rewrites a whole profile file at each write (the Linux
            # provider keeps every other byte): compare what it reads as.
            cp = rs.code_page(scenario)
            want = rs.parse_profile(rs.desc_bytes(desc), cp)
            got = after.get(rel)
            if got is None or got[0] != "file" or \
                    rs.parse_profile(got[2], cp) != want:
                problems.append(f"{rel}: reads as "
                                f"{rs.parse_profile(got[2], cp) if got else None}"
                                f", expected {want}")
            continue
        if "mode" in desc:
            desc = dict(desc, mode="0444" if int(desc["mode"], 8) & 0o222 == 0
                        else "0644")
        rs.check_file(rel, desc, before, after, problems)
    cv_rel = None
    if "client_ver" in scenario:
        cv_rel = rs.client_ver_path(scenario, after)
        rs.check_client_ver(rs.expected_client_ver(scenario), cv_rel, before,
                            after, problems, rs.code_page(scenario),
                            rs.kept_serial(scenario, before),
                            scenario.get("client_ver_sha256"))
    lock_ok = not scenario.get("times_kept")  # a what-if run makes none
    for rel in sorted(set(before) | set(after)):
        if rel in expected or rel == cv_rel or \
                (lock_ok and rs.is_lock_file(rel, before, after)):
            continue
        if before.get(rel) != after.get(rel):
            problems.append(f"{rel}: {rs.describe(before.get(rel))} -> "
                            f"{rs.describe(after.get(rel))}")


def outcome(scenario, after):
    """What the three builds must share: files and client.ver entries."""
    files = {k: v for k, v in after.items() if not k.endswith("client.ver")}
    entries = {}
    for rel, (kind, _, data) in after.items():
        if rel.lower().endswith("client.ver") and kind == "file":
            # A large one is kept as its digest (rs.LARGE), compared as is.
            entries[rel] = rs.parse_profile(data, rs.code_page(scenario)) \
                if isinstance(data, bytes) else data
    return files, entries


def run_one(prefix, dirs, build, scenario, roots):
    """One build on a fresh copy of the scenario's files: (problems, trace,
    outcome)."""
    trace_path = os.path.join(prefix.work, "trace.log")
    for attempt in (1, 2):
        lay_files(prefix, scenario, roots)
        before = attribute_state(watched(prefix.drive_c, roots))
        status, output = run_build(prefix, build, dirs, scenario, trace_path)
        after = attribute_state(watched(prefix.drive_c, roots))
        # Now and then Wine's own link to its server breaks ("wine client
        # error"): that run says nothing of ours, so it is run once more.
        if b"wine client error" not in output or attempt == 2:
            break
        print(f"note: {build} run hit a Wine client error; run again")
    own = []
    trace = run_trace(trace_path, own)
    rs.check_notes([rs.with_digests(note)
                    for note in scenario.get("trace_notes", [])],
                   rs.run_notes(read_trace(trace_path)), own)
    # Wine hands the host a Windows status's low 8 bits; the result file
    # holds it whole.
    want = rs.expected_status(
        scenario, rs.LINUX_STATUS if build == "native" else
        {code: code for code in rs.LINUX_STATUS})
    if isinstance(status, str):
        own.append(status)
    elif status != want & 0xFF:
        own.append(f"exit status {status}, expected {want}")
    if "result" in scenario:
        rs.check_result(scenario, rs.read_or_none(result_path(prefix)), want,
                        own)
    if build != "native":
        output, lines = split_debug_lines(output)
        check_debug_channel(trace, lines, own)
        output, events = split_events(output)
        check_event(trace_path, events, own)
    # Wine's own notices (a helper process of Wine's that faulted, say) are
    # not ours: a fault of ksupdate shows in its exit status and trace.
    output = b"\n".join(line for line in output.split(b"\n")
                        if not line.startswith(b"wine: "))
    if output.strip():
        own.append(f"output {rs.show(output, 300)}")
    check_run(scenario, before, after, trace, own)
    check_lock_files(prefix.drive_c, roots, own, build != "native")
    return [f"{build}: {p}" for p in own], trace, outcome(scenario, after)


def check_lock_files(drive_c, roots, problems, under_wine):
    """Every lock file a run made or kept is its user's alone on the host:
    the Linux build makes it 0600, and Wine makes the host mode of the
    Windows build's from the DACL it gives it (Administrators and SYSTEM
    only). Wine gives an entry for any SID of the owner's token the user's
    and the group's bits, so there the group may have them when nobody but
    the owner is in it. Another user who could open it could hold a
    reader's lock that keeps every run waiting."""
    for root in roots:
        for dirpath, _, filenames in os.walk(os.path.join(drive_c, root)):
            if rs.LOCK_FILE in filenames:
                path = os.path.join(dirpath, rs.LOCK_FILE)
                st = os.stat(path)
                mode = st.st_mode & 0o777
                closed = 0o007 if under_wine and group_is_owners(st) \
                    else 0o077
                if mode & closed:
                    problems.append(f"{os.path.relpath(path, drive_c)}: "
                                    f"mode {mode:04o}, open to others")


def group_is_owners(st):
    """Whether nobody but the file's owner is in the file's group."""
    try:
        members = set(grp.getgrgid(st.st_gid).gr_mem)
    except KeyError:
        return False
    members |= {p.pw_name for p in pwd.getpwall() if p.pw_gid == st.st_gid}
    return members <= {pwd.getpwuid(st.st_uid).pw_name}


def compare_builds(results):
    problems = []
    native_trace, (native_files, native_entries) = results["native"]
    for build in results:
        if build == "native":
            continue
        trace, (files, entries) = results[build]
        if trace != native_trace:
            problems.append(f"{build} and native traces differ" +
                            first_difference(trace, native_trace))
        for rel in sorted(set(files) | set(native_files)):
            if files.get(rel) != native_files.get(rel):
                problems.append(
                    f"{build} and native differ at {rel}: "
                    f"{rs.describe(files.get(rel))} vs "
                    f"{rs.describe(native_files.get(rel))}")
        if entries != native_entries:
            problems.append(f"{build} and native client.ver entries differ: "
                            f"{rs.show(repr(entries).encode(), 300)} vs "
                            f"{rs.show(repr(native_entries).encode(), 300)}")
    return problems


def remove_roots(prefix, roots):
    for root in roots:
        path = os.path.join(prefix.drive_c, root)
        if os.path.isdir(path) and not os.path.islink(path):
            rs.remove_tree(path)
        elif os.path.lexists(path):
            os.chmod(path, 0o644)
            os.remove(path)


def run_group(prefix, dirs, named, baseline):
    """Scenarios that share one registry setting: the Windows builds run
    while wineserver is up, the Linux build after one flush to system.reg,
    so the server restarts once per setting, not once per scenario.
    Returns name -> problems."""
    prefix.set_registry(named[0][1])
    problems = {name: [] for name, _ in named}
    results = {name: {} for name, _ in named}
    order = [b for b in dirs if b != "native"] + ["native"]
    for build in order:
        if build == "native":
            prefix.flush()
        for name, scenario in named:
            roots = owned_roots(baseline, scenario["files"])
            own, trace, result = run_one(prefix, dirs, build, scenario, roots)
            problems[name] += own
            results[name][build] = (trace, result)
            remove_roots(prefix, roots)
    for name, _ in named:
        problems[name] += compare_builds(results[name])
    return problems


def wine_starter(prefix, inst, build_dir, stalled_listener=False,
                 direct=False, program="ksupdate.exe", extra_env=None):
    """Starts the Windows build on one patch, as at_once_test's starters do;
    with a stalled debug-output listener when asked. `direct`: started by
    wine itself, so that the process started is the run's own (a run that
    launch.exe starts outlives launch.exe). `program` and `extra_env`: another
    program of the build (the crash runner, say) and more environment."""
    def start(version, trace):
        if direct:
            env = dict(prefix.env, KSUPDATE_TRACE=host_to_windows(trace))
            return subprocess.Popen(
                wine_machine.command(os.path.join(build_dir, "ksupdate.exe"),
                                     f"C:\\patch{version}\\setup.exe"),
                cwd=inst.drive_c, env=env, stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line_file = trace + ".cmdline"
        with open(line_file, "wb") as f:
            f.write(f"ksupdate.exe C:\\patch{version}\\setup.exe".encode())
        env = dict(prefix.env, KSUPDATE_TRACE=host_to_windows(trace),
                   **(extra_env or {}))
        return subprocess.Popen(
            wine_machine.command(
                os.path.join(build_dir, "tests", "wine", "launch.exe"),
                *(["--stalled-debug-listener"] if stalled_listener else []),
                host_to_windows(os.path.join(build_dir, program)),
                host_to_windows(line_file)),
            cwd=inst.drive_c, env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return start


def run_at_once(prefix, dirs):
    """Runs at once of the Windows and Linux builds on one installation;
    returns (passed, failed)."""
    started = time.monotonic()
    prefix.set_registry({"registry": {
        "KestrovaDir32": "C:\\" + INSTALL_DIR}})
    prefix.flush()  # for the Linux build, which reads system.reg
    inst = ao.SharedInstallation(prefix.root, random.Random("at-once"),
                                 own_prefix=False)
    work = os.path.join(prefix.work, "at-once")
    os.mkdir(work)
    linux = ao.native_starter(inst, os.path.join(dirs["native"], "ksupdate"))
    runner = os.path.join(dirs["native"], "tests", "crash_runner")
    win = wine_machine.reference_arch()
    windows = wine_starter(prefix, inst, dirs[win])
    at_once = ao.AtOnce(inst, work, linux, end_all=prefix.kill)
    lone = at_once.serial(["7"])[("7",)]
    problems = {}
    for name, runs in (
            (f"{win} 7 + {win} 5", [(windows, "7"), (windows, "5")]),
            (f"{win} 5 + {win} 7 + {win} 5",
             [(windows, "5"), (windows, "7"), (windows, "5")]),
            (f"{win} 7 + linux 5", [(windows, "7"), (linux, "5")]),
            (f"linux 7 + {win} 5 + linux 7",
             [(linux, "7"), (windows, "5"), (linux, "7")])):
        # A Linux run starts once a Windows one has recorded a module: Wine
        # starts slowly, and the two must overlap.
        problems[name] = at_once.trial(runs, name, stagger="linux" in name)

    # A Linux process holds the lock: the Windows build waits for it.
    name = f"{win} waits for a lock held on Linux"
    inst.reset()
    before = inst.outcome()
    fd = ao.hold_lock(inst)
    waiting = windows("7", os.path.join(work, "waiting"))
    time.sleep(3)  # a lone run here takes about as long
    held = waiting.poll() is None and inst.outcome() == before
    os.close(fd)
    problems[name] = []
    ao.finish(waiting, "the waiting run", problems[name])
    if not held or inst.outcome()[:2] != lone[1]:
        problems[name].append(f"went on while the lock was held: {not held}; "
                              "its update not that of a lone run")

    # Held past the bound: the Windows build does nothing, and its status
    # and result file say to try again later (1618).
    name = f"{win} finds the lock held past the bound"
    inst.reset()
    before = inst.outcome()
    fd = ao.hold_lock(inst)
    result = os.path.join(work, "busy.json")
    busy = wine_starter(prefix, inst, dirs[win],
                        program=os.path.join("tests", "crash_runner.exe"),
                        extra_env={"KSUPDATE_LOCK_WAIT_MS": "300",
                                   "KSUPDATE_EXIT_CODES": "msi",
                                   "KSUPDATE_RESULT": host_to_windows(result)})
    traces, outcome, own = at_once.run([(busy, "7")], name,
                                       status=ao.WINDOWS_BUSY)
    os.close(fd)
    problems[name] = own + ao.busy_result_problems(rs.read_or_none(result),
                                                   ao.WINDOWS_BUSY)
    if traces[0] != [ao.BUSY_LINE] or outcome != before:
        problems[name].append(f"trace {traces[0][:3]}; bin "
                              f"{'unchanged' if outcome == before else 'changed'}")

    # The Windows build holds the lock: the Linux build finds it taken;
    # killed, it frees it at once.
    name = f"linux finds a lock held by {win}, freed when it is killed"
    inst.reset()
    holder = wine_starter(prefix, inst, dirs[win], direct=True)(
        "7", os.path.join(work, "holder"))
    problems[name] = []
    if not ao.wait_for(lambda: "7" in inst.outcome()[0].values(), 30):
        problems[name].append("the Windows run copied nothing")
    running = holder.poll() is None
    probe = ao.native_starter(inst, runner, {"KSUPDATE_LOCK_WAIT_MS": "0"})
    traces, _, own = at_once.run([(probe, "7")], "probe")
    if not running or traces[0] != [ao.BUSY_LINE]:
        problems[name].append(f"lock not seen (the holder running: "
                              f"{running}): {traces[0][:2]}")
    holder.kill()
    holder.communicate(timeout=60)
    # Wine's server lets go of the dead process's lock when it sees it end.
    after = ao.native_starter(inst, runner, {"KSUPDATE_LOCK_WAIT_MS": "1000"})
    traces, outcome, own = at_once.run([(after, "7")], "after the kill")
    problems[name] += own
    if traces[0] and traces[0][0] == ao.BUSY_LINE or outcome[:2] != lone[1]:
        problems[name].append("the run after the kill did not get the lock "
                              "within a second or did not finish")

    # Channels that nobody reads cost a second at most (at the end, for the
    # lines still on their way); measured with room for Wine's own jitter.
    fifo = os.path.join(work, "fifo")
    os.mkfifo(fifo)
    timings = {}
    for name, start, trace in (
            (f"{win} alone", windows, os.path.join(work, "alone")),
            (f"{win} with a FIFO whose reader stops", windows, fifo),
            (f"{win} with a stalled debug listener",
             wine_starter(prefix, inst, dirs[win], True),
             os.path.join(work, "stalled"))):
        inst.reset()
        problems[name] = []
        reader = ao.fifo_reader(fifo, 100, False) if trace == fifo else None
        begun = time.monotonic()
        ao.finish(start("7", trace), name, problems[name], timeout=60,
                  end_all=prefix.kill)
        timings[name] = time.monotonic() - begun
        if inst.outcome()[:2] != lone[1]:
            problems[name].append("the update not as without a channel")
        if reader is not None:
            reader.join(5)
            if hasattr(reader, "fd"):
                os.close(reader.fd)
        alone = timings[f"{win} alone"]
        if timings[name] > alone + 4:
            problems[name].append(f"took {timings[name]:.1f}s, alone "
                                  f"{alone:.1f}s")
    passed = failed = 0
    for name, found in problems.items():
        if found:
            failed += 1
            print(f"FAIL at once: {name}")
            for p in found[:rs.MAX_PROBLEMS]:
                print("    " + p)
        else:
            passed += 1
            print(f"PASS at once: {name}")
    print("at once: " + ", ".join(f"{k} {n}" for k, n in at_once.tally.items())
          + "; "
          + ", ".join(f"{k} {t:.1f}s" for k, t in timings.items())
          + f"; {time.monotonic() - started:.0f}s")
    return passed, failed


def run_task(prefix, dirs, baseline, task, name_filter):
    """One piece of the comparison in `prefix`: ("outcomes", name ->
    problems) for a group of scenarios, ("counts", passed, failed) for the
    rest."""
    kind = task[0]
    if kind == "group":
        named = task[1]
        try:
            return ("outcomes", run_group(prefix, dirs, named, baseline))
        except (rs.ScenarioError, RuntimeError,
                subprocess.TimeoutExpired) as e:
            return ("outcomes", {name: [f"{type(e).__name__}: {e}"]
                                 for name, _ in named})
    if kind == "profiles":
        return ("counts",) + profile_conformance.run(prefix, dirs,
                                                     name_filter)
    if kind == "code pages":
        return ("counts",) + profile_conformance.check_code_pages(
            prefix, dirs, name_filter)
    _, locale, files, seed = task
    _, f = profile_conformance.hunt(prefix, dirs, files, seed, locale)
    return ("counts", 0 if f else 1, 1 if f else 0)


def worker(tasks, results, dirs, name_filter):
    """Takes tasks until None, each in this worker's own prefix (a Wine
    prefix serves one run of a build at a time), and puts each one's answer
    on `results`; a task that raises counts as one failure."""
    prefix = Prefix()
    try:
        prefix.boot()
        baseline = baseline_paths(prefix.drive_c)
        while (task := tasks.get()) is not None:
            try:
                answer = run_task(prefix, dirs, baseline, task, name_filter)
            except Exception as e:  # noqa: BLE001 - told, and counted
                print(f"FAIL {task[0]}: {type(e).__name__}: {e}")
                answer = ("counts", 0, 1)
            sys.stdout.flush()
            results.put(answer)
    finally:
        prefix.kill()
        shutil.rmtree(prefix.work, ignore_errors=True)
        sys.stdout.flush()


def run_in_workers(tasks, jobs, dirs, name_filter):
    """Runs `tasks` in `jobs` processes, each with a prefix of its own.
    Returns (outcomes, passed, failed); a worker that dies takes its task
    with it, and that counts as a failure."""
    context = multiprocessing.get_context("fork")
    queue, results = context.Queue(), context.Queue()
    for task in tasks:
        queue.put(task)
    for _ in range(jobs):
        queue.put(None)
    sys.stdout.flush()
    workers = [context.Process(target=worker,
                               args=(queue, results, dirs, name_filter))
               for _ in range(jobs)]
    for w in workers:
        w.start()
    outcomes, passed, failed, answered = {}, 0, 0, 0
    while answered < len(tasks):
        try:
            answer = results.get(timeout=5)
        except Empty:
            if any(w.is_alive() for w in workers):
                continue
            print(f"FAIL {len(tasks) - answered} tasks: their worker died")
            failed += len(tasks) - answered
            break
        answered += 1
        if answer[0] == "outcomes":
            outcomes.update(answer[1])
        else:
            passed += answer[1]
            failed += answer[2]
    for w in workers:
        w.join()
    return outcomes, passed, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for build in BUILDS:
        parser.add_argument("--" + build, required=True,
                            help=f"the {build} build directory")
    parser.add_argument("-k", dest="filter", default="",
                        help="only the scenarios whose name holds this "
                        "(and no runs at once)")
    parser.add_argument("--at-once-only", action="store_true",
                        help="only the runs at once")
    parser.add_argument("--hunt-files", type=int, default=300,
                        help="generated profile files to compare (0: none)")
    parser.add_argument("--seed", default=str(int(time.time())),
                        help="seed of the generated files")
    parser.add_argument("--jobs", type=int,
                        default=min(2, os.cpu_count() or 1),
                        help="prefixes that compare at once (default: 2, "
                        "or 1 on one core)")
    args = parser.parse_args()
    dirs = {}
    for build in BUILDS:
        if build == "native" or wine_machine.runs(build):
            dirs[build] = os.path.abspath(getattr(args, build))
        else:
            print(wine_machine.not_run(build))

    started = time.monotonic()
    passed = failed = 0
    scenarios_dir = os.path.join(os.path.dirname(HERE), "scenarios")
    groups = {}
    named = [n for path in rs.scenario_files([scenarios_dir])
             for n in rs.load_scenarios(path)]
    for name, scenario in named:
        if args.at_once_only or args.filter not in name:
            continue
        rs.validate(scenario)
        if "linux_only" in scenario:
            print(f"skip {name}: {scenario['linux_only']}")
            continue
        key = json.dumps([scenario["registry"],
                          scenario.get("registry64"),
                          scenario.get("policy")], sort_keys=True)
        groups.setdefault(key, []).append((name, scenario))
    # The longest first, so that the workers end together.
    tasks = []
    if not args.at_once_only:
        tasks += [("profiles",), ("code pages",)]
    if args.hunt_files > 0 and not args.filter and not args.at_once_only:
        # Beside the default locale, one of another single-byte page and
        # one of a double-byte page, picked by the seed.
        pick = int(hashlib.sha256(args.seed.encode()).hexdigest(), 16)
        tasks.append(("hunt", rs.DEFAULT_LOCALE, args.hunt_files, args.seed))
        for double in (False, True):
            others = sorted(name for name, cp in rs.LOCALE_CODE_PAGES.items()
                            if cp != 1252 and (cp < 1250) == double and
                            name.endswith(".UTF-8"))
            tasks.append(("hunt", others[pick % len(others)],
                          max(1, args.hunt_files // 10), args.seed))
    tasks += [("group", named) for named in groups.values()]
    outcomes, passed, failed = run_in_workers(tasks, max(1, args.jobs), dirs,
                                              args.filter)
    for name in sorted(outcomes):
        if outcomes[name]:
            failed += 1
            print(f"FAIL {name}")
            for p in outcomes[name][:rs.MAX_PROBLEMS]:
                print("    " + p)
        else:
            passed += 1
            print(f"PASS {name} ({', '.join(dirs)} agree)")
    # What watches the whole prefix (its event log, its runs at once) has
    # one to itself.
    checks_foreign = not args.at_once_only and args.filter in "foreign_outputs"
    if checks_foreign or not args.filter:
        prefix = Prefix()
        try:
            prefix.boot()
            if checks_foreign:
                ok = check_foreign_outputs(prefix, dirs)
                passed += ok is True
                failed += ok is False
            if not args.filter:
                p, f = run_at_once(prefix, dirs)
                passed += p
                failed += f
        finally:
            prefix.kill()
            shutil.rmtree(prefix.work, ignore_errors=True)
    print(f"conformance took {time.monotonic() - started:.0f}s")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
