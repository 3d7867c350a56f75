#!/usr/bin/env python3
"""The profile providers against Wine's own profile functions.

Each provider, the Linux one and the Windows one (the profile probe built
for each platform), is compared with the reference: the Windows probe's
--reference mode, which calls Wine's functions directly. First on the
corpus in tests/data/profiles, then on generated files (hunt()): the same
reads must give the same answers, and after the same writes each file must
read back alike, read by the build that wrote it and by the reference.

The Windows probe is the 32-bit build's where Wine runs it here, else the
64-bit build's (wine_machine.py). Run from conformance.py, which owns the
Wine prefix; or alone, to hunt with more files or to replay one:

  profile_conformance.py --native DIR (--win32 DIR | --win64 DIR)
                         [--files N] [--seed S] [--only I] [--locale NAME]
                         [--corpus]
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import run_scenarios as rs  # noqa: E402
import wine_machine  # noqa: E402

CORPUS = os.path.join(os.path.dirname(os.path.dirname(HERE)), "data",
                      "profiles")

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

# Where a provider deliberately answers otherwise than Wine. Files are
# compared by what they read back, never by their bytes: a write keeps
# every other byte of the file (Windows does; Wine rewrites the whole file
# in its own spelling). Each entry: why, and the test that recognises an
# answer as such a difference, or None for one that the hunt does not
# generate (its generator leaves those writes out).
KNOWN_DIFFERENCES = {
    "no best fit": (
        "a character of a Unicode file that the ANSI code page lacks reads "
        "as '?', where Wine gives a look-alike ('L' for U+0141) that could "
        "name another module; in a double-byte page the look-alike may take "
        "two bytes, so an answer cut by the buffer holds more or less",
        lambda ours, ref, at: best_fit_only(ours, ref, at)),
    "a lone last byte": (
        "a UTF-16 file of an odd length: we read its last byte as a unit of "
        "its own; Wine reads the missing half from past the end of its "
        "buffer, which holds anything, so one character of the answer "
        "varies from run to run (other characters may differ as by 'no best "
        "fit')",
        lambda ours, ref, at: at.lone_byte and one_character_differs(
            ours, ref, at)),
    "a cut two-byte character": (
        "a string read whose answer ends in a two-byte character that the "
        "buffer cannot hold: both leave it out and count size - 1; Wine "
        "leaves the caller's byte where it would go (the probe's mark "
        "'\\x7f'), we put a zero there",
        lambda ours, ref, at: len(ours) == len(ref) and
        ours.split(" ", 2)[:2] == ref.split(" ", 2)[:2] and all(
            a == b or (a, b) == ("\0", "\x7f") for a, b in zip(ours, ref))),
    "wine's rewrite": (
        "Wine rewrites the whole file at a write, in its own spelling: a "
        "section named \"\" loses its header and joins the section before "
        "it, a name or value cut by a NUL is written as cut, dropped entries "
        "vanish; we keep those lines as they are. Recognised by the "
        "reference reading the file otherwise after a write that changes "
        "nothing (a section added and deleted), or by a header with no name "
        "in the file: whether Wine joins its entries to the section before "
        "or drops them depends on the write", None),
    "quoted values": (
        "a value with blanks at an end or in a pair of quotes is written in "
        "quotes, so that it reads back as given; Wine writes it bare and "
        "reads it back trimmed and unquoted", None),
    "writes that would not read back": (
        "a value with a line break, a key with '=', a key starting with '[' "
        "on a line that would hold ']' are refused; Wine writes them, and "
        "they read back otherwise", None),
}


# What Wine trims from names and lines: blanks and ^Z.
WINE_BLANKS = " \t\n\v\f\r\x1a"


def writable(section, key, value):
    """Whether a write is one that the providers take, as the entries of
    KNOWN_DIFFERENCES above say."""
    key = key.strip(WINE_BLANKS)
    return "=" not in key and not (
        key.startswith("[") and "]" in key + value)


# The values that the hunt writes: none in quotes or with blanks at an end
# (see "quoted values" above).
HUNT_VALUES = ["1", "5", "0000000010", "12beta", "2147483648", "-3", "v a",
               "a=b", "x;y", "[z]", "", "\x80\x8a\xe9", "'q", "q\""]


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
        elif ord(ch) >= 0x80 or ord(ch) < 0x20:
            out.append(f"\\x{ord(ch):02x}")
        else:
            out.append(ch)
    return "".join(out)


def unescape(text):
    """The bytes (as a latin-1 text) that the probe escaped."""
    return re.sub(r"\\x([0-9a-f]{2})|\\\\",
                  lambda m: chr(int(m.group(1), 16)) if m.group(1) else "\\",
                  text)


def command(*fields):
    return "\t".join("<null>" if f is None else escape(f) for f in fields)


def section_commands(path, sections, sizes):
    return [command("section", path, s, str(n))
            for s in sections for n in sizes]


def string_commands(path, keys, section="modules", sizes=STRING_SIZES,
                    defaults=DEFAULTS):
    return [command("string", path, section, key, default, str(n))
            for key in keys for default in defaults for n in sizes]


def keys_of(answer_lines):
    """Key names from the answers of the largest section reads."""
    keys = []
    for line in answer_lines:
        parts = line.split(" ", 2)
        if len(parts) < 3 or parts[0] != "section":
            continue
        for entry in unescape(parts[2]).split("\x00"):
            key = entry.partition("=")[0]
            if key and key not in keys:
                keys.append(key)
    return keys


class Probe:
    """The profile probe of one build; `reference` calls Wine's own
    functions."""

    def __init__(self, prefix, dirs, build, reference=False, env=None):
        self.prefix, self.build, self.reference = prefix, build, reference
        self.dir = dirs[build]
        self.env = dict(prefix.env, **(env or {}))

    def run(self, commands):
        work = self.prefix.work
        cmd_path = os.path.join(work, "probe.cmd")
        out_path = os.path.join(work, "probe.out")
        with open(cmd_path, "w", encoding="latin-1", newline="\n") as f:
            f.write("\n".join(commands) + "\n")
        if os.path.exists(out_path):
            os.remove(out_path)
        flags = ["--reference"] if self.reference else []
        if self.build == "native":
            argv = [os.path.join(self.dir, "tests", "wine", "profile_probe"),
                    cmd_path, out_path]
        else:
            argv = wine_machine.command(
                os.path.join(self.dir, "tests", "wine", "profile_probe.exe"),
                *flags, "Z:" + cmd_path.replace("/", "\\"),
                "Z:" + out_path.replace("/", "\\"))
        for attempt in (1, 2):
            result = subprocess.run(argv, env=self.env,
                                    cwd=self.prefix.drive_c,
                                    stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=600)
            # Now and then Wine's own link to its server breaks: that run
            # says nothing of ours.
            if b"wine client error" not in result.stderr or attempt == 2:
                break
        if result.returncode != 0:
            raise RuntimeError(f"profile probe ({self.build}): status "
                               f"{result.returncode}: {result.stderr[-400:]!r}")
        with open(out_path, encoding="latin-1") as f:
            return f.read().split("\n")[:-1]


class Asked:
    """What an answer was asked for: the file's code page and whether it
    has a lone last byte; the buffer's size (None for a write)."""

    def __init__(self, case, cmd):
        self.lone_byte, self.code_page = case.lone_byte, case.code_page
        size = cmd.split("\t")[-1]
        self.size = int(size) if cmd.startswith(("section", "string")) \
            else None


def characters(data, code_page):
    """`data` cut into characters: a lead byte of the double-byte
    `code_page` takes the byte after it along."""
    leads = DBCS_LEAD_RANGES.get(code_page, [])
    out, i = [], 0
    while i < len(data):
        lead = any(lo <= ord(data[i]) <= hi for lo, hi in leads)
        n = 2 if lead and i + 1 < len(data) and data[i + 1] != "\0" else 1
        out.append(data[i:i + n])
        i += n
    return out


def best_fit_only(ours, ref, at):
    """Whether two answers differ only where ours has '?' for a character
    that Wine gives as a look-alike. In a double-byte page a look-alike
    may take two bytes: the counts differ then, and of an answer that the
    buffer cut, only what lies before the cut can be compared."""
    if len(ours) == len(ref) and all(a == b or a == "?"
                                     for a, b in zip(ours, ref)):
        return True
    if at.code_page not in DBCS_LEAD_RANGES or at.size is None:
        return False
    verb, count_o, body_o = (ours.split(" ", 2) + ["", ""])[:3]
    verb_r, count_r, body_r = (ref.split(" ", 2) + ["", ""])[:3]
    if verb != verb_r or not (count_o + count_r).isdigit():
        return False

    mine = characters(body_o, at.code_page)
    theirs = characters(body_r, at.code_page)
    last = []
    if max(int(count_o), int(count_r)) >= at.size - 2:
        # Cut by the buffer: only what lies before the cut compares, and
        # the shorter answer's last character may be a cut one.
        mine = characters(body_o[:int(count_o)], at.code_page)
        theirs = characters(body_r[:int(count_r)], at.code_page)
        common = min(len(mine), len(theirs))
        mine, theirs = mine[:common], theirs[:common]
        if common:
            last = [(mine.pop(), theirs.pop())]
    if len(mine) != len(theirs) or not all(
            a == b or a == "?" or a.startswith(b) or b.startswith(a)
            for a, b in last):
        return False
    pairs = list(zip(mine, theirs))
    return all(a == b or a == "?" for a, b in pairs) and any(
        a == "?" != b for a, b in pairs + last)


def one_character_differs(ours, ref, at):
    """Whether two answers differ in one character at most, besides '?' in
    ours; in a double-byte page that character may take two bytes, so the
    counts are not compared."""
    if len(ours) == len(ref) and sum(
            a != b and a != "?" for a, b in zip(ours, ref)) <= 1:
        return True
    verb, _, body_o = (ours.split(" ", 2) + ["", ""])[:3]
    verb_r, _, body_r = (ref.split(" ", 2) + ["", ""])[:3]
    mine = characters(body_o, at.code_page)
    theirs = characters(body_r, at.code_page)
    return at.code_page in DBCS_LEAD_RANGES and verb == verb_r and \
        len(mine) == len(theirs) and sum(
            a != b and a != "?" for a, b in zip(mine, theirs)) <= 1


def known_difference(ours, ref, at):
    """The name of the known difference that explains two answers, or
    None."""
    for name, (_, matches) in KNOWN_DIFFERENCES.items():
        if matches is not None and matches(ours, ref, at):
            return name
    return None


def compare(label, commands, mine, theirs, problems, known=None, case=None,
            rewritten=lambda cmd: False):
    if len(mine) != len(theirs):
        problems.append(f"{label}: {len(mine)} answers vs {len(theirs)}")
        return
    for cmd, a, b in zip(commands, mine, theirs):
        if a == "bad command" or b == "bad command":
            problems.append(f"{label}: the probe did not take {cmd!r}")
        elif a != b:
            name = None if known is None else "wine's rewrite" if \
                rewritten(cmd) else known_difference(
                    unescape(a), unescape(b), Asked(case, cmd))
            if name is not None:
                known[name] = known.get(name, 0) + 1
                continue
            problems.append(f"{label}: {cmd!r}: ours {a!r}, reference {b!r}")


def probe_dir(prefix, name):
    path = os.path.join(prefix.drive_c, name)
    os.makedirs(path, exist_ok=True)
    return path


class Case:
    """One profile file of a batch and the commands that check it; its
    copies lie at C:\\hunt\\INDEX.COPY.ini."""

    index = 0
    label = ""
    data = b""
    encoding = "ansi"
    sections = keys = writes = ()
    section_sizes = [65536]
    string_sizes = STRING_SIZES
    defaults = DEFAULTS
    code_page = 1252  # the ANSI code page it is read in
    key_sections = 1  # how many of `sections` are read key by key
    lists = False  # also read the key and section lists

    @property
    def nameless_neighbours(self):
        """The sections (trimmed, lower case) that Wine's rewrite may join
        or drop: each one with no name, and the one before it."""
        data, encoding = self.data, self.encoding
        if encoding.startswith("utf-16"):
            encoding = "utf-16" if data[:2] in (b"\xff\xfe", b"\xfe\xff") \
                else "utf-16-le"
        else:
            encoding = "utf-8-sig" if encoding == "utf-8" else "latin-1"
        found, current = set(), ""
        for line in re.split(r"\r\n|\n|\r", data.decode(encoding, "replace")):
            line = line.strip(WINE_BLANKS)
            if line.startswith("["):
                name = line[1:].split("]")[0].strip(WINE_BLANKS).lower()
                if not name:
                    found |= {"", current}
                current = name
        return found

    def rewritten(self, cmd):
        """Whether `cmd` reads what Wine's rewrite may have moved: a
        section of `nameless_neighbours`, or the list of all."""
        section = cmd.split("\t")[2]
        neighbours = self.nameless_neighbours
        return bool(neighbours) and (section == "<null>" or unescape(
            section).strip(WINE_BLANKS).lower() in neighbours)

    @property
    def lone_byte(self):
        return self.encoding.startswith("utf-16") and len(self.data) % 2 == 1

    def path(self, copy):
        return f"C:\\hunt\\{self.index}.{copy}.ini"

    def reads(self, copy):
        path = self.path(copy)
        cmds = section_commands(path, self.sections, self.section_sizes)
        for section in self.sections[:self.key_sections]:
            cmds += string_commands(path, self.keys, section,
                                    self.string_sizes, self.defaults)
            if self.lists:
                cmds += string_commands(path, [None], section, [2, 64], ["d"])
        if self.lists:
            cmds += string_commands(path, [None], None, [3, 512], ["d"])
        return cmds

    def write_commands(self, copy):
        return [command("write", self.path(copy), *w) for w in self.writes]

    def rewrite_commands(self, copy):
        """A write that leaves the entries as they were, so that Wine
        rewrites the file in its own spelling."""
        return [command("write", self.path(copy), "zz.hunt", "zz", "1"),
                command("write", self.path(copy), "zz.hunt", None, None)]

    def read_back(self, copy):
        path = self.path(copy)
        sections = dedupe([w[0] for w in self.writes] +
                          list(self.sections[:2]))
        cmds = section_commands(path, sections, [65536])
        for section in sections:
            cmds += string_commands(path, dedupe(
                list(self.keys) + [w[1] for w in self.writes]), section, [80])
        return cmds


class CorpusFile(Case):
    section_sizes = SECTION_SIZES

    def __init__(self, index, name):
        self.index, self.label = index, name
        with open(os.path.join(CORPUS, name), "rb") as f:
            self.data = f.read()
        self.encoding = "utf-16" if self.data[:2] in (b"\xff\xfe",
                                                      b"\xfe\xff") else "ansi"
        self.sections, self.keys, self.writes = SECTIONS, EXTRA_KEYS, WRITES


def providers():
    """The Linux provider and the Windows build that stands for Windows."""
    return ("native", wine_machine.reference_arch())


def check_batch(prefix, dirs, batch, env):
    """Each file of `batch` read and written by each provider and by the
    reference; returns each file's problems, and the known differences
    met, by name."""
    probes = providers()
    hunt_dir = probe_dir(prefix, "hunt")
    for f in batch:
        for copy in ("orig", "ref", "norm") + probes:
            with open(os.path.join(hunt_dir, f"{f.index}.{copy}.ini"),
                      "wb") as out:
                out.write(f.data)
    ref = Probe(prefix, dirs, probes[1], reference=True, env=env)

    def script(parts):
        """The commands of all files, and where each file's part lies."""
        cmds, spans = [], []
        for f in batch:
            start = len(cmds)
            for make in parts:
                cmds += make(f)
            spans.append((start, len(cmds)))
        return cmds, spans

    ref_cmds, ref_spans = script([lambda f: f.reads("orig"),
                                  lambda f: f.write_commands("ref"),
                                  lambda f: f.read_back("ref")])
    ref_answers = ref.run(ref_cmds)
    norm_cmds, norm_spans = script([lambda f: f.rewrite_commands("norm"),
                                    lambda f: f.read_back("norm"),
                                    lambda f: f.read_back("orig")])
    norm_answers = ref.run(norm_cmds)
    results = {}
    for p in probes:
        cmds, spans = script([lambda f: f.reads("orig"),
                              lambda f, p=p: f.write_commands(p),
                              lambda f, p=p: f.read_back(p)])
        results[p] = (cmds, spans, Probe(prefix, dirs, p, env=env).run(cmds))
    cross_cmds, cross_spans = script([lambda f, p=p: f.read_back(p)
                                      for p in probes])
    cross_answers = ref.run(cross_cmds)
    shutil.rmtree(hunt_dir, ignore_errors=True)

    outcome, known = [], {}
    for n, f in enumerate(batch):
        problems = []
        r0, r1 = ref_spans[n]
        reads = len(f.reads("orig"))
        back = len(f.read_back("orig"))
        # Whether Wine's rewrite alone changes what the file reads as.
        n0 = norm_spans[n][0] + 2
        respelled = norm_answers[n0:n0 + back] != \
            norm_answers[n0 + back:n0 + 2 * back]
        for p in probes:
            cmds, spans, answers = results[p]
            s0, s1 = spans[n]
            compare(f"{p}", cmds[s0:s0 + reads], answers[s0:s0 + reads],
                    ref_answers[r0:r0 + reads], problems, known, f)
            own = []
            compare(f"{p}, written and read back", cmds[s0 + reads:s1],
                    answers[s0 + reads:s1], ref_answers[r0 + reads:r1], own,
                    known, f, f.rewritten)
            if respelled and own:
                known["wine's rewrite"] = known.get("wine's rewrite", 0) + \
                    len(own)
            else:
                problems += own
            # The reference reads our file as we read it.
            c0 = cross_spans[n][0] + probes.index(p) * back
            compare(f"{p}'s file read by the reference", cmds[s1 - back:s1],
                    answers[s1 - back:s1], cross_answers[c0:c0 + back],
                    problems, known, f)
        outcome.append((f, problems))
    return outcome, known


def show_problems(problems):
    for problem in problems[:8]:
        print("    " + problem)
    if len(problems) > 8:
        print(f"    ... {len(problems) - 8} more")


def run(prefix, dirs, name_filter=""):
    """The corpus: each provider against the reference."""
    names = [n for n in sorted(os.listdir(CORPUS)) if name_filter in n]
    if not names:
        return 0, 0
    batch = [CorpusFile(i, name) for i, name in enumerate(names)]
    # The keys to read are the ones that the reference lists.
    hunt_dir = probe_dir(prefix, "hunt")
    for f in batch:
        shutil.copyfile(os.path.join(CORPUS, f.label),
                        os.path.join(hunt_dir, f"{f.index}.orig.ini"))
    lists = [section_commands(f.path("orig"), SECTIONS, [65536])
             for f in batch]
    answers = Probe(prefix, dirs, providers()[1], reference=True).run(
        [c for cmds in lists for c in cmds])
    for f, cmds in zip(batch, lists):
        f.keys = keys_of(answers[:len(cmds)]) + EXTRA_KEYS
        answers = answers[len(cmds):]
    outcome, known = check_batch(prefix, dirs, batch, {})
    passed = failed = 0
    for f, problems in outcome:
        if problems:
            failed += 1
            print(f"FAIL profile {f.label}")
            show_problems(problems)
        else:
            passed += 1
            print(f"PASS profile {f.label} ({' and '.join(providers())} "
                  "answer as Wine)")
    report_known(known)
    return passed, failed


def code_page_commands():
    """Every byte alone, every byte pair that starts beyond ASCII and each
    such byte at the end, decoded; every UTF-16 unit encoded, 256 a
    command."""
    cmds = [command("decode", chr(b)) for b in range(256)]
    cmds += [command("decode", chr(lead) + chr(trail) + "A")
             for lead in range(0x80, 0x100) for trail in range(256)]
    cmds += [command("encode", "".join(f"{u:04x}" for u in
                                       range(block, block + 256)))
             for block in range(0, 0x10000, 256)]
    return cmds


def check_code_pages(prefix, dirs, name_filter=""):
    """The ANSI code page of each locale of LOCALE_CODE_PAGES (one a
    page), converted by each provider and by Wine. Returns (passed,
    failed), counted by code page."""
    by_page = {}
    for name, cp in sorted(rs.LOCALE_CODE_PAGES.items()):
        if name.endswith(".UTF-8"):
            by_page.setdefault(cp, name)
    passed = failed = 0
    cmds = code_page_commands()
    for cp, locale in sorted(by_page.items()):
        if name_filter not in f"code page {cp}":
            continue
        env = rs.locale_env(locale)
        ref = Probe(prefix, dirs, providers()[1], reference=True,
                    env=env).run(cmds)
        problems = []
        for p in providers():
            compare(p, cmds, Probe(prefix, dirs, p, env=env).run(cmds), ref,
                    problems)
        if problems:
            failed += 1
            print(f"FAIL code page {cp} ({locale}): {len(problems)} of "
                  f"{len(cmds)} conversions differ")
            show_problems(problems)
        else:
            passed += 1
            print(f"PASS code page {cp} ({locale}): {len(cmds)} conversions "
                  f"({' and '.join(providers())} answer as Wine)")
    return passed, failed


def report_known(known):
    for name, count in sorted(known.items()):
        print(f"note: {count} answers differ as known: {name} "
              f"({KNOWN_DIFFERENCES[name][0]})")


# --- The hunt: generated files -------------------------------------------

# Names the generated files use, in mixed case so that they collide.
HUNT_SECTIONS = ["modules", "MODULES", "Modules", "other", "s", "x y", "a]b",
                 "soci\u00e9t\u00e9", "SOCI\u00c9T\u00c9", "", " "]
HUNT_KEYS = ["a.dll", "A.DLL", "b.dll", "k", "K", "", ";c", "[x", "x y",
             "soci\u00e9t\u00e9.dll", "SOCI\u00c9T\u00c9.DLL", "\u0160k.dll",
             "\u0161K.dll", "q", "=", "sub\\m.dll"]
BLANKS = [" ", "\t", "\x0b", "\x0c", "\x1a", "  ", "\t "]
# Characters beyond ASCII for Unicode files: some in every code page of
# 1250-1258, some in one of them, some in none (no best fit), a pair and
# lone surrogates, a BOM and the replacement character.
WIDE = ("\u00e9\u00c9\u00df\u00a0\u20ac\u0160\u0161\u0152\u017e\u0141\u0142"
        "\u0410\u044f\u0391\u03c9\u05d0\u0627\u0131\u1ea0\u4e2d\uff21"
        "\ufffd\ufeff\U0001f600\ud800\udc00")
ENCODINGS = [("ansi", 50), ("utf-8", 20), ("utf-16-le", 20),
             ("utf-16-be", 10)]
LINE_ENDS = ["\r\n", "\n", "\r"]


# The lead bytes of the double-byte code pages, as Wine has them.
DBCS_LEAD_RANGES = {932: [(0x81, 0x9f), (0xe0, 0xfc)], 936: [(0x81, 0xfe)],
                    949: [(0x81, 0xfe)], 950: [(0x81, 0xfe)]}
# Lead bytes of the double-byte code pages: a few from each range.
LEAD_BYTES = {932: [0x81, 0x83, 0x95, 0x9f, 0xe0, 0xfc],
              936: [0x81, 0xb0, 0xfe], 949: [0x81, 0xb0, 0xfe],
              950: [0x81, 0xa4, 0xb3, 0xfe]}


def pick_weighted(rng, choices):
    total = sum(w for _, w in choices)
    n = rng.randrange(total)
    for value, weight in choices:
        if n < weight:
            return value
        n -= weight
    return choices[-1][0]


def odd_text(rng, wide, code_page=1252):
    """A few characters that a name or value may hold beyond the plain."""
    pool = ["\"", "'", "=", ";", "[", "]", "\x00", "x", "7"]
    if wide:
        pool += list(WIDE) + list(bytes(
            rng.randrange(0x80, 0x100) for _ in range(4)).decode(
                f"cp{code_page}", "ignore"))
    else:
        pool += [chr(b) for b in (0x80, 0x81, 0x8a, 0x9f, 0xa0, 0xc9, 0xe9,
                                  0xff, rng.randrange(0x80, 0x100))]
        if code_page in LEAD_BYTES:
            # A lead byte before the trail bytes that a byte scan mistakes
            # for '\\', '|', ']' or a letter.
            lead = chr(rng.choice(LEAD_BYTES[code_page]))
            pool += [lead + t for t in "\\|]AZaz"] + [lead + lead]
    return "".join(rng.choice(pool) for _ in range(rng.randrange(1, 4)))


def hunt_name(rng, pool, wide, code_page):
    name = rng.choice(pool)
    if not wide and any(ord(c) > 0xff for c in name):
        name = name.encode("cp1252", "replace").decode("latin-1")
    if not wide and code_page in LEAD_BYTES and rng.random() < 0.3:
        # Names that differ only in a trail byte.
        name = chr(LEAD_BYTES[code_page][1]) + rng.choice("AaZz\\|]") + name
    roll = rng.random()
    if roll < 0.15:
        name += odd_text(rng, wide, code_page)
    elif roll < 0.25:
        name = odd_text(rng, wide, code_page) + name
    return name


def pad(rng, text):
    if rng.random() < 0.3:
        text = rng.choice(BLANKS) + text
    if rng.random() < 0.3:
        text += rng.choice(BLANKS)
    return text


def generate(rng, code_page):
    """One profile file: (bytes, encoding, section names, key names), the
    names as Unicode text."""
    encoding = pick_weighted(rng, ENCODINGS)
    wide = encoding != "ansi"
    eol_style = rng.choice(LINE_ENDS + ["mixed"])
    lines, sections, keys = [], [], []
    for _ in range(rng.randrange(0, 24)):
        kind = pick_weighted(rng, [("header", 12), ("entry", 40),
                                   ("bare", 6), ("empty key", 8),
                                   ("comment", 6), ("blank", 8),
                                   ("junk", 4), ("long", 2)])
        if kind == "header":
            name = hunt_name(rng, HUNT_SECTIONS, wide, code_page)
            sections.append(name)
            close = "]" if rng.random() < 0.9 else ""
            tail = odd_text(rng, wide, code_page) if rng.random() < 0.1 else ""
            line = pad(rng, "[" + pad(rng, name) + close + tail)
        elif kind in ("entry", "bare", "empty key"):
            key = "" if kind == "empty key" else hunt_name(rng, HUNT_KEYS, wide, code_page)
            keys.append(key)
            value = rng.choice(HUNT_VALUES + [odd_text(rng, wide, code_page)])
            if rng.random() < 0.15:
                value = f'"{value}"' if rng.random() < 0.7 else f"'{value}'"
            line = pad(rng, pad(rng, key) + ("" if kind == "bare" else
                                             "=" + pad(rng, value)))
        elif kind == "comment":
            line = pad(rng, ";" + rng.choice(["", " c", "c=1", "=2"]))
        elif kind == "blank":
            line = rng.choice(["", " ", "\t", "\x1a"])
        elif kind == "junk":
            line = odd_text(rng, wide, code_page) * rng.randrange(1, 4)
        else:
            key = hunt_name(rng, HUNT_KEYS, wide, code_page)
            keys.append(key)
            line = key + "=" + "v" * rng.randrange(400, 3000)
        eol = rng.choice(LINE_ENDS) if eol_style == "mixed" else eol_style
        lines.append(line + eol)
    if lines and rng.random() < 0.2:
        lines[-1] = lines[-1].rstrip("\r\n")
    text = "".join(lines)
    if encoding == "ansi":
        data = text.encode("latin-1")
    elif encoding == "utf-8":
        data = b"\xef\xbb\xbf" + text.encode("utf-8", "surrogatepass")
        if rng.random() < 0.3:
            bad = rng.choice([b"\xc0", b"\xe2\x82", b"\xff", b"\xed\xa0\x80",
                              b"\xf0\x90", b"\x80"])
            at = rng.randrange(3, len(data) + 1)
            data = data[:at] + bad + data[at:]
    else:
        data = text.encode(encoding, "surrogatepass")
        data = (b"\xff\xfe" if encoding == "utf-16-le" else b"\xfe\xff") + data
        if rng.random() < 0.1:
            data += b"A"
    if rng.random() < 0.03:
        data = data[:3]  # a mark alone, or a cut one
    return data, encoding, sections, keys


def ansi(text, code_page):
    """A name as the ANSI text a caller passes, or None when the code page
    cannot spell it."""
    try:
        return text.encode(f"cp{code_page}").decode("latin-1")
    except UnicodeEncodeError:
        return None
    except LookupError:
        return text.encode("latin-1", "replace").decode("latin-1")


class HuntFile(Case):
    string_sizes = [1, 5, 80]
    defaults = ["0000000000", " 'q' "]
    key_sections = 3
    lists = True

    def __init__(self, index, seed, code_page):
        rng = random.Random(f"{seed}:{index}")
        self.index, self.label = index, f"{seed}:{index}"
        self.code_page = code_page
        self.data, self.encoding, sections, keys = generate(rng, code_page)
        if self.encoding == "ansi":
            names = lambda xs: xs  # noqa: E731 (the bytes as they are)
        else:
            names = lambda xs: [n for n in (ansi(x, code_page) for x in xs)
                                if n is not None]  # noqa: E731
        self.sections = dedupe(names(sections) + ["modules", "missing"])
        self.keys = dedupe(names(keys) + ["missing", " a.dll "])
        # Writes: a key that is there, a new one, a new section.
        section = rng.choice([s for s in self.sections
                              if writable(s, "k", "")])
        key = rng.choice(self.keys)
        # Any ANSI bytes, so that each code page is written in full.
        high = "".join(chr(rng.randrange(0x80, 0x100)) for _ in range(3))
        self.writes = [w for w in [
            (section, key, rng.choice(HUNT_VALUES + [high])),
            (section, f"new{index}.dll", rng.choice(HUNT_VALUES)),
            (f"added{index}", "n.dll", rng.choice(HUNT_VALUES)),
        ] if writable(*w)]
        self.section_sizes = [rng.randrange(2, 40), 512, 65536]


def dedupe(items):
    seen, out = set(), []
    for item in items:
        if item not in seen:
            seen.add(item)
            out.append(item)
    return out


def hunt(prefix, dirs, files, seed, locale=rs.DEFAULT_LOCALE, only=None,
         keep_dir=None):
    """Generated files, read and written by each provider and by the
    reference. Returns (passed, failed) counted by file."""
    started = time.monotonic()
    code_page = rs.LOCALE_CODE_PAGES[locale]
    indices = [only] if only is not None else list(range(files))
    batch = [HuntFile(i, seed, code_page) for i in indices]
    outcome, known = check_batch(prefix, dirs, batch, rs.locale_env(locale))
    failed = 0
    for f, problems in outcome:
        if problems:
            failed += 1
            saved = save_failure(keep_dir or os.path.join(
                dirs["native"], "hunt-failures"), seed, f)
            print(f"FAIL hunt seed {seed} file {f.index} ({f.encoding}, "
                  f"{locale}): {saved}")
            show_problems(problems)
    report_known(known)
    print(f"hunt: seed {seed}, {len(batch)} files in {locale}: "
          f"{len(batch) - failed} passed, {failed} failed, "
          f"{time.monotonic() - started:.0f}s")
    if failed:
        print(f"    replay file N: {os.path.join(HERE, 'profile_conformance.py')}"
              f" --native {dirs['native']} --{providers()[1]} "
              f"{dirs[providers()[1]]} "
              f"--seed {seed} --locale {locale} --only N")
    return len(batch) - failed, failed


def save_failure(directory, seed, f):
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, f"hunt-{seed}-{f.index}.ini")
    with open(path, "wb") as out:
        out.write(f.data)
    return path


def main():
    sys.path.insert(0, HERE)
    import conformance  # noqa: E402 (it imports this module too)

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--native", required=True)
    parser.add_argument("--win32")
    parser.add_argument("--win64")
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--seed", default=str(int(time.time())))
    parser.add_argument("--only", type=int)
    parser.add_argument("--locale", default=rs.DEFAULT_LOCALE,
                        help="one of " + ", ".join(sorted(
                            rs.LOCALE_CODE_PAGES)) + "; 'all' for each")
    parser.add_argument("--corpus", action="store_true",
                        help="check the corpus instead")
    parser.add_argument("--keep", help="where the files of differences are "
                        "kept (NATIVE/hunt-failures)")
    args = parser.parse_args()
    windows = providers()[1]
    if getattr(args, windows) is None:
        parser.error(f"--{windows}: the build that Wine runs here")
    dirs = {"native": os.path.abspath(args.native),
            windows: os.path.abspath(getattr(args, windows))}
    # 'all': one locale for each code page (a UTF-8 one).
    by_page = {}
    for name, cp in sorted(rs.LOCALE_CODE_PAGES.items()):
        if name.endswith(".UTF-8"):
            by_page.setdefault(cp, name)
    locales = sorted(by_page.values()) if args.locale == "all" \
        else [args.locale]
    prefix = conformance.Prefix()
    failed = 0
    try:
        prefix.boot()
        if args.corpus:
            failed += run(prefix, dirs)[1]
            locales = []
        for locale in locales:
            failed += hunt(prefix, dirs, args.files, args.seed, locale,
                           args.only, args.keep)[1]
    finally:
        prefix.kill()
        shutil.rmtree(prefix.work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
