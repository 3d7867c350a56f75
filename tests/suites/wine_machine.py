#!/usr/bin/env python3
"""What this machine runs under Wine, and the command that starts it.

Debian's Wine has two loaders: /usr/lib/wine/wine for 32-bit Windows
programs (from wine32:i386) and /usr/lib/wine/wine64 for 64-bit ones. The
`wine` wrapper starts the 32-bit loader whenever it is installed, which
then also starts 64-bit programs; but on a kernel without IA-32 emulation
that loader fails with "Exec format error", and through the wrapper
nothing runs at all. So each loader is started here (`--version`), and:

- both start: programs are started by the `wine` wrapper, as always;
- only the 64-bit one: by that loader itself, with WINELOADER naming it
  (Wine starts every further process of the prefix through WINELOADER),
  and 32-bit programs are not run, with the reason;
- KSUPDATE_TEST_WINE=64 asks for the second case on any machine.

The finding is made once per run: the first caller keeps it in the
environment (KSUPDATE_WINE_MACHINE) that every process it starts inherits.
`wineserver` needs no such care: Debian's wrapper always starts the
64-bit server when it is there, which serves both kinds of program.

As a program:
  wine_machine.py               what runs, one line per Windows build
  wine_machine.py --export      a shell line that keeps the finding
  wine_machine.py --reference   the build that stands for Windows in a
                                comparison: win32 where it runs, else win64
  wine_machine.py --shell ARCH  shell lines that set the array `wine` and
                                export WINELOADER for ARCH (win32, win64);
                                exit 1 with the reason when ARCH cannot run
  wine_machine.py --i386        exit 0 when this kernel runs 32-bit x86
                                programs (a tiny one is started)
"""

import json
import os
import shlex
import struct
import subprocess
import sys
import tempfile

LOADER32 = "/usr/lib/wine/wine"
LOADER64 = "/usr/lib/wine/wine64"
ARCHES = ("win32", "win64")
SETTING = "KSUPDATE_TEST_WINE"
KEPT = "KSUPDATE_WINE_MACHINE"


def i386_runs():
    """Whether the kernel starts a 32-bit x86 program: a static ELF of one
    PT_LOAD whose code is exit(0) by int 0x80."""
    base = 0x08048000
    code = bytes.fromhex("b801000000" "31db" "cd80")
    size = 52 + 32 + len(code)
    header = (b"\x7fELF\x01\x01\x01" + bytes(9) +
              struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0,
                          52, 32, 1, 0, 0, 0))
    segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5,
                          0x1000)
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "i386_probe")
        with open(path, "wb") as f:
            f.write(header + segment + code)
        os.chmod(path, 0o755)
        try:
            return subprocess.run([path], timeout=30).returncode == 0
        except OSError:
            return False


def start_loader(loader):
    """None when `loader --version` answers as Wine does, else why not."""
    if not os.path.exists(loader):
        return f"{loader} is not installed"
    try:
        result = subprocess.run([loader, "--version"], capture_output=True,
                                stdin=subprocess.DEVNULL, timeout=60)
    except OSError as e:
        return f"{loader}: {e.strerror}"
    except subprocess.TimeoutExpired:
        return f"{loader} --version did not answer in 60s"
    if result.returncode == 0 and result.stdout.startswith(b"wine-"):
        return None
    said = (result.stdout + result.stderr).decode(errors="replace").strip()
    return f"{loader}: status {result.returncode}: {said[-200:]}"


def find(loader32=LOADER32, loader64=LOADER64, wrapper="wine",
         setting=None, kernel_runs_i386=i386_runs):
    """Starts the loaders; returns the finding: {"runs": [arch...],
    "not_run": {arch: reason}, "command": argv that starts a Windows
    program (None when nothing runs), "env": what it needs set,
    "setting": the KSUPDATE_TEST_WINE it was made under}."""
    if setting not in (None, "", "64"):
        raise ValueError(f"{SETTING}={setting}: only 64 (64-bit programs "
                         "only) may be asked for")
    failed = {"win32": start_loader(loader32),
              "win64": start_loader(loader64)}
    if failed["win32"] and not kernel_runs_i386():
        failed["win32"] = "this machine cannot run 32-bit programs (" + \
            failed["win32"] + ")"
    if setting == "64" and not failed["win32"]:
        failed["win32"] = f"{SETTING}=64 asks for 64-bit programs only"
    runs = [arch for arch in ARCHES if not failed[arch]]
    finding = {"runs": runs, "setting": setting or "",
               "not_run": {a: r for a, r in failed.items() if r},
               "command": None, "env": {}}
    if runs == ["win64"]:
        finding.update(command=[loader64], env={"WINELOADER": loader64})
    elif runs:
        finding["command"] = [wrapper]
    return finding


def machine():
    """The finding of this run: made once, then kept in the environment."""
    setting = os.environ.get(SETTING, "")
    kept = os.environ.get(KEPT)
    if kept:
        finding = json.loads(kept)
        if finding.get("setting") == setting:
            return finding
    finding = find(setting=setting)
    os.environ[KEPT] = json.dumps(finding)
    return finding


def runs(arch):
    return arch in machine()["runs"]


def not_run(arch):
    """The line that says a build's Wine runs are left out, and why."""
    return f"{arch} under Wine: not run: {machine()['not_run'][arch]}"


def command(*args):
    """The argv that runs `args` (a program and its arguments) under Wine.
    Raises RuntimeError when Wine runs nothing here."""
    found = machine()
    if not found["command"]:
        raise RuntimeError("Wine runs nothing here: " +
                           "; ".join(found["not_run"].values()))
    return found["command"] + list(args)


def environ(env):
    """`env` with what the Wine command needs set."""
    return dict(env, **machine()["env"])


def reference_arch():
    """The Windows build that stands for Windows in a comparison: the
    shipped 32-bit one where it runs, else the 64-bit one."""
    for arch in ARCHES:
        if runs(arch):
            return arch
    raise RuntimeError("Wine runs nothing here: " +
                       "; ".join(machine()["not_run"].values()))


def arch_of(program):
    """"win32" or "win64": what the Windows program `program` is built for
    (the machine field of its PE header)."""
    with open(program, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    machine_type = struct.unpack_from("<H", head, pe + 4)[0]
    return {0x14C: "win32", 0x8664: "win64"}[machine_type]


def main(argv):
    if argv[:1] == ["--i386"]:
        return 0 if i386_runs() else 1
    found = machine()
    if argv[:1] == ["--export"]:
        print(f"export {KEPT}={shlex.quote(os.environ[KEPT])}")
        return 0
    if argv[:1] == ["--reference"]:
        print(reference_arch())
        return 0
    if argv[:1] == ["--shell"] and len(argv) == 2 and argv[1] in ARCHES:
        if argv[1] not in found["runs"]:
            print(not_run(argv[1]), file=sys.stderr)
            return 1
        print("wine=(" + " ".join(map(shlex.quote, found["command"])) + ")")
        for name, value in found["env"].items():
            print(f"export {name}={shlex.quote(value)}")
        return 0
    if argv:
        print(__doc__.split("\n\n")[-1], file=sys.stderr)
        return 2
    for arch in ARCHES:
        if arch in found["runs"]:
            env = "".join(f"{k}={v} " for k, v in found["env"].items())
            print(f"{arch} under Wine: runs ({env}{found['command'][0]})")
        else:
            print(not_run(arch))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (RuntimeError, ValueError) as error:
        sys.exit(f"wine_machine.py: {error}")
