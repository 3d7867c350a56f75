"""The Linux profile provider against Wine's, on the corpus in
tests/data/profiles: the same reads must give the same answers, and after
the same writes both files must read back the same entries.

Run from conformance.py, which owns the Wine prefix.
"""

import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(os.path.dirname(HERE), "data", "profiles")

SECTIONS = ["modules", "MODULES", " modules ", "other", "missing", "broken"]
SECTION_SIZES = [2, 3, 4, 8, 17, 64, 512, 65536]
STRING_SIZES = [1, 2, 5, 80]
EXTRA_KEYS = ["missing", "A.DLL", " a.dll "]
DEFAULTS = ["0000000000"]
WRITES = [
    ("modules", "new.dll", "7"),
    ("MODULES", "A.DLL", "9"),
    ("modules", "a.dll", "0000000010"),
    ("other", "k", "v2"),
    ("added", "n.dll", "1"),
]
READ_BACK = ["modules", "other", "added"]

# Where the Linux provider deliberately answers otherwise than Wine: none
# for reads; writes keep every other byte of the file (Windows does, Wine
# rewrites the whole file), so files are compared by what they read back,
# never by their bytes.
KNOWN_DIFFERENCES = {}


def escape(text):
    out = []
    for ch in text:
        if ch == "\\":
            out.append("\\\\")
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        else:
            out.append(ch)
    return "".join(out)


def command(*fields):
    return "\t".join(escape(f) for f in fields)


def section_commands(path, sections, sizes):
    return [command("section", path, s, str(n))
            for s in sections for n in sizes]


def string_commands(path, keys):
    cmds = []
    for key in keys:
        for default in DEFAULTS:
            for n in STRING_SIZES:
                cmds.append(command("string", path, "modules", key, default,
                                    str(n)))
    return cmds


def keys_of(answer_lines):
    """Key names from the answers of the largest section reads."""
    keys = []
    for line in answer_lines:
        parts = line.split(" ", 2)
        if len(parts) < 3 or parts[0] != "section":
            continue
        for entry in parts[2].split("\\x00"):
            key = entry.partition("=")[0]
            if key and key not in keys:
                keys.append(key.replace("\\\\", "\\"))
    return keys


class Probe:
    def __init__(self, prefix, dirs, build):
        self.prefix, self.build = prefix, build
        self.dir = dirs[build]

    def run(self, commands):
        work = self.prefix.work
        cmd_path = os.path.join(work, "probe.cmd")
        out_path = os.path.join(work, "probe.out")
        with open(cmd_path, "w", encoding="latin-1", newline="\n") as f:
            f.write("\n".join(commands) + "\n")
        if os.path.exists(out_path):
            os.remove(out_path)
        if self.build == "native":
            argv = [os.path.join(self.dir, "tests", "wine", "profile_probe"),
                    cmd_path, out_path]
        else:
            argv = ["wine",
                    os.path.join(self.dir, "tests", "wine",
                                 "profile_probe.exe"),
                    "Z:" + cmd_path.replace("/", "\\"),
                    "Z:" + out_path.replace("/", "\\")]
        subprocess.run(argv, env=self.prefix.env, cwd=self.prefix.drive_c,
                       stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=120, check=True)
        with open(out_path, encoding="latin-1") as f:
            return f.read().split("\n")[:-1]


def place(prefix, name):
    """A fresh copy of one corpus file at C:\\probe\\NAME."""
    target_dir = os.path.join(prefix.drive_c, "probe")
    os.makedirs(target_dir, exist_ok=True)
    target = os.path.join(target_dir, name)
    shutil.copyfile(os.path.join(CORPUS, name), target)
    return "C:\\probe\\" + name


def compare(label, commands, mine, theirs, problems):
    if len(mine) != len(theirs):
        problems.append(f"{label}: {len(mine)} answers vs {len(theirs)}")
        return
    for cmd, a, b in zip(commands, mine, theirs):
        if a == "bad command" or b == "bad command":
            problems.append(f"{label}: the probe did not take {cmd!r}")
        elif a != b:
            problems.append(f"{label}: {cmd!r}: native {a!r}, wine {b!r}")


def check_file(prefix, dirs, name, build):
    problems = []
    path = place(prefix, name)
    native, wine = Probe(prefix, dirs, "native"), Probe(prefix, dirs, build)

    sections = section_commands(path, SECTIONS, SECTION_SIZES)
    first = native.run(sections)
    keys = keys_of(first) + EXTRA_KEYS
    reads = sections + string_commands(path, keys)
    compare(f"{name} reads", reads, native.run(reads), wine.run(reads),
            problems)

    writes = [command("write", path, *w) for w in WRITES]
    back = section_commands(path, READ_BACK, [65536]) + string_commands(
        path, keys + [w[1] for w in WRITES])
    place(prefix, name)
    native_answers = native.run(writes + back)
    native_file = os.path.join(prefix.drive_c, "probe", name)
    with open(native_file, "rb") as f:
        native_bytes = f.read()
    place(prefix, name)
    wine_answers = wine.run(writes + back)
    compare(f"{name} writes, each read back by its own build",
            writes + back, native_answers, wine_answers, problems)
    # Each build also reads what the other wrote.
    wine_read_by_native = native.run(back)
    with open(native_file, "wb") as f:
        f.write(native_bytes)
    native_read_by_wine = wine.run(back)
    compare(f"{name}: Wine's file read by native", back, wine_read_by_native,
            native_answers[len(writes):], problems)
    compare(f"{name}: native's file read by Wine", back,
            wine_answers[len(writes):], native_read_by_wine, problems)
    return problems


def run(prefix, dirs, name_filter=""):
    passed = failed = 0
    for name in sorted(os.listdir(CORPUS)):
        if name_filter not in name:
            continue
        # One Windows probe is enough: both widths run the same Wine code.
        for build in ("win32",):
            problems = [p for p in check_file(prefix, dirs, name, build)
                        if not any(k in p for k in KNOWN_DIFFERENCES)]
            if problems:
                failed += 1
                print(f"FAIL profile {name} ({build})")
                for p in problems[:12]:
                    print("    " + p)
                if len(problems) > 12:
                    print(f"    ... {len(problems) - 12} more")
            else:
                passed += 1
                print(f"PASS profile {name} ({build} and native agree)")
    shutil.rmtree(os.path.join(prefix.drive_c, "probe"), ignore_errors=True)
    return passed, failed
