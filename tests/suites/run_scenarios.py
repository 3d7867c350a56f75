#!/usr/bin/env python3
"""Runs ksupdate on Wine-prefix trees that scenario files describe as data.

Usage: run_scenarios.py --ksupdate BINARY [-k TEXT] [--keep] PATH...

Each PATH is a scenario file or a directory of them (*.json, in name order).
A scenario is a JSON object with these fields:

  description   one line: the behaviour shown
  arch          "win32" (default) or "win64": the prefix's architecture
  registry      the values of HKLM\\SOFTWARE\\Kestrova\\Plennet Groupware 6.5
                as a 32-bit program sees them, name -> text; null when the
                key is missing
  registry64    win64 only: the same key's values in the 64-bit view
  args          the argument words (the program joins them with one blank)
  files         drive C before the run: path relative to C:\\ with '/'
                separators -> file description
  trace         the trace lines expected, exactly and in order (the
                channel's begin and end lines checked and left out); null:
                no run, no trace file
  stdout        what the program must write on standard output ("" unless
                given; "{version}" stands for the project's version);
                nothing on standard error
  expect_files  the files that the run changes or creates: path (as in
                files) -> file description; {"same_as": path} stands for the bytes
                and mode that path had before the run
  client_ver    the [modules] entries expected in the installed client.ver
                (names compared case-insensitively, values exactly); its other
                sections must keep their entries. Absent: client.ver must not
                change at all.
  client_ver_sha256  the [sha256] entries expected in client.ver, the digests
                of the bytes each copy put there ("{sha256:PATH}" stands
                for the digest of that scenario file). Absent: the section
                must keep its entries, as the other sections must.
  client_ver_path  client.ver's path relative to C:\\ when it is not the
                registry value followed by \\bin\\client.ver

  system_reg    a file description that replaces the generated system.reg
                ({"sparse": SIZE} too: a file of SIZE bytes, all of it a hole)
  client_ver_more  more expected client.ver entries, made as generated lines
                are: {"key": fmt, "value": fmt, "count": int, "start": int}
  env           more environment for the run: KSUPDATE_EXIT_CODES,
                KSUPDATE_WHATIF, and KSUPDATE_TRACE in place of the trace
                file ("-": standard error)
  trace_notes   notes that each run's lines in the trace file must hold
                ("--- error 2: {any} : C:\\patch\\a.dll -> ..."), whole;
                {any} stands for any text, {prefix}, {work} and
                {sha256:PATH} as in "trace" and "result"
  runs          how many times the program runs, one after another, all
                appending to one trace file that must then hold each run
                between its begin and end lines, each with "trace" (1
                unless given; the last run's status and output are checked)
  closed_fds    descriptors (of 0, 1, 2) that the program starts without
  umask         the umask the program starts with, an octal text ("022"
                unless given)
  outcome       the run's outcome as a Windows Installer code (0, 1, 3010,
                1603, 1605, 1612, 1618): with KSUPDATE_EXIT_CODES=msi the
                exit status must be the one each build maps it to
                (LINUX_STATUS here), and the result file must say it;
                without, the status must be 0. Absent: 0.
  result        the run writes a result file (KSUPDATE_RESULT, outside the
                prefix), which must follow RESULT_SCHEMA and hold these
                fields with these values (objects: the fields given;
                lists: as many items, each matched so; "{sha256:PATH}" in
                a text as in client_ver_sha256)
  result_path   instead of a result file that can be written: "link" (a
                symbolic link to another file, which must keep its bytes),
                "unwritable" (below a file, where no directory can be
                made), "missing_dir" (in directories the run must make),
                "link_dir" (below a symbolic link to a directory) or
                "foreign_dir" (in a directory another user owns)
  times_kept    true: no file under the prefix may get another
                modification time either (a what-if run)
  checksums_script  true: scripts/checksums writes the [sha256] section of
                patch/ksmodules.ver before the run (and before the snapshot
                that the run is compared with), given the code page of the
                scenario's locale
  policy        the values of the policy key that pins publishers' keys
                (HKLM\\SOFTWARE\\Policies\\...\\ksupdate, native view):
                a list of texts is a REG_MULTI_SZ, a number a REG_DWORD, a
                text a REG_SZ; "$key:NAME" and "$point:NAME" stand for the
                TrustedKeys line of test key NAME (tests/data/keys), as
                openssl exports it and as .NET gives it
  sign          {"key": NAME, "encoding": "der" or "raw", "manifest": path,
                "also": [NAME...]}: after checksums_script, test key NAME
                signs the manifest (patch/ksmodules.ver unless given) into
                its ".sig" file, and each key of "also" into ".sig2" on
  after_sign    files laid after signing (as in files): the share changed
                under a signature
  serial_kept   {"key": NAME, "serial": N}, or a list of them: client.ver
                must keep, in its [signed patches] section, serial N for
                each test key NAME with
                the SHA-256 of the signed manifest (as laid before the run);
                without it, that section must not change
  prefix_owner  a uid that the prefix is given to (with everything in it)
                while the program runs as root: skipped unless the runner
                is root. "{prefix}" in a trace line stands for the prefix's
                host path, "{work}" for the directory around it (where
                a result file goes).
  unprivileged  true: run the program as an unprivileged user (uid 65534)
                when the runner is root, so that permissions apply
  max_seconds   the run must end within this many seconds
  race          a user racing the run, as root with uid 65534 (skipped
                unless the runner is root): after one run as above, the
                scenario runs "tries" more times, each from a fresh prefix,
                while another process of that user does, in a loop that
                starts before the program and ends after it, what
                "intruder" says to "paths" (relative to drive C):
                "swap": exchanges the two entries (renameat2 with
                RENAME_EXCHANGE); "lock": opens the one file for reading
                and takes a shared lock on it, which it keeps. Each raced
                run must exit as expected, silently, with the trace or one
                of "traces" (more traces the race may give), change
                nothing outside the path prefixes of "may_change" (besides
                the swapped entries, put back as they were), leave each
                file of "victims" as it was and put its bytes nowhere else;
                and the "lock" intruder must never open its file. The
                runner prints the tries and how often the intruder got
                through (swaps made, files opened).
  linux_only    why the scenario means nothing for the Windows builds under
                Wine (the conformance suite skips it and says why)
  locale        the locale the program runs in (LC_ALL), "C.UTF-8" unless
                given; one the system lacks is made with localedef. ANSI
                profile files are read in its code page for the checks.
  locales       instead of "locale": locale -> {NAME: text}; the file is
                one scenario a locale, FILE[LOCALE], with each "${NAME}" in
                its texts (keys too) replaced by that locale's text and
                "${ENC}" by its code page ("cp932")

File description: one of {"text": str}, {"lines": [str], "eol": str} (each line
ends in eol, "\\r\\n" unless given), {"base64": str}, {"random": {"seed": str,
"size": int}} (deterministic bytes), {"generate": ...} (see below),
{"link": target} (a symbolic link), {"fifo": true} (a named pipe that
nobody writes or reads) or {"dir": true}; optional "mode", an
octal text such as "0444" (files default to 0644, directories to 0755; in
expect_files the mode is checked only when given or implied by same_as),
and "owner", a uid that the entry is given (the scenario is skipped unless
the runner is root).

{"generate": {"parts": [part...], "encoding": enc}} joins its parts and
encodes them ("utf-8" unless given; also "latin-1", "cp1250", "cp1252",
"utf-16-le", "utf-16-be"). A part is {"text": str}, {"repeat": str, "count": int} or
{"lines": fmt, "count": int, "start": int, "eol": str}: count lines, fmt
with "{i}" standing for start, start + 1, ... (start 0 and eol "\\r\\n" unless
given). A trace line may be a generated text too ({"generate": ...},
decoded again as UTF-8), or {"repeat_lines": [fmt...], "count": int,
"start": int}: the fmt lines once for each i.

For each scenario the runner builds a fresh prefix (dosdevices c: ->
../drive_c and z: -> /, system.reg, drive C), runs the program there with
WINEPREFIX set, the trace sent to a file and drive C as the current
directory, and checks: exit status 0 and no output; the trace; every expected
file; client.ver's entries; and that nothing else under the prefix appeared,
vanished or changed, but for the run's lock file: an empty "ksupdate.lock"
in a bin directory, which a run may leave there.
"""

import argparse
import atexit
import base64
import ctypes
import difflib
import hashlib
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from wine_prefix import CLIENT_VALUE, system_reg  # noqa: E402
import signing  # noqa: E402

TIMEOUT_SECONDS = 60
# Files larger than this are compared by size and digest, not kept whole;
# one that is all a hole (a sparse system.reg of 1 GiB) by its size alone.
LARGE = 64 << 20
# The one file besides the modules and client.ver that a run may leave in
# bin: its lock, empty.
LOCK_FILE = "ksupdate.lock"

FIELDS = {
    "description", "arch", "registry", "registry64", "args", "files", "trace",
    "expect_files", "client_ver", "client_ver_path", "system_reg",
    "client_ver_more", "unprivileged", "linux_only", "locale", "prefix_owner",
    "checksums_script", "env", "outcome", "result", "result_path",
    "times_kept", "policy", "sign", "after_sign", "serial_kept", "stdout",
    "closed_fds", "umask", "max_seconds", "client_ver_sha256", "race", "runs",
    "trace_notes",
}
# The result file's format, stated once (the C++ tests check the program
# against the same file).
with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(
        __file__))), "data", "result_file.json"), encoding="utf-8") as _f:
    RESULT_FORMAT = json.load(_f)
# The Linux build's exit status for each outcome.
LINUX_STATUS = {int(code): status
                for code, status in RESULT_FORMAT["linux_status"].items()}
ENV_FIELDS = {"KSUPDATE_EXIT_CODES", "KSUPDATE_WHATIF", "KSUPDATE_TRACE"}
OUTCOME_NAMES = {int(code): name
                 for code, name in RESULT_FORMAT["outcomes"].items()}
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
MODULE_RESULTS = set(RESULT_FORMAT["module_results"])
# The types that the format file gives its fields.
FIELD_TYPES = {"int": int, "text": str, "bool": bool, "list": list,
               "text or null": (str, type(None)),
               "object or null": (dict, type(None))}
RUN_END_WORDS = set(RESULT_FORMAT["run_ends"])
REQUIRED = {"description", "registry", "args", "files", "trace"}
SPEC_FIELDS = {"text", "lines", "eol", "base64", "random", "dir", "mode",
               "owner", "sparse",
               "same_as", "generate", "link", "fifo"}
ENCODINGS = {"utf-8", "latin-1", "cp1250", "cp1252", "utf-16-le",
             "utf-16-be", "cp932", "cp936", "cp949", "cp950"}
DEFAULT_LOCALE = "C.UTF-8"
# The ANSI code page that Wine, and so ksupdate, gives a locale: the locales
# that the tests run in.
LOCALE_CODE_PAGES = {"C": 1252, "C.UTF-8": 1252, "fr_FR.UTF-8": 1252,
                     "pl_PL.UTF-8": 1250, "ru_RU.UTF-8": 1251,
                     "el_GR.UTF-8": 1253, "tr_TR.UTF-8": 1254,
                     "he_IL.UTF-8": 1255, "ar_SA.UTF-8": 1256,
                     "lt_LT.UTF-8": 1257, "vi_VN.UTF-8": 1258,
                     "ja_JP.UTF-8": 932, "zh_CN.UTF-8": 936,
                     "ko_KR.UTF-8": 949, "zh_TW.UTF-8": 950,
                     "ja_JP.EUC-JP": 932, "ru_RU.KOI8-R": 1251}
_LOCALE_DIR = []
CHECKSUMS_SCRIPT = os.path.join(os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__)))), "scripts", "checksums")
# The account that "unprivileged" scenarios run as.
NOBODY = 65534


class ScenarioError(Exception):
    """The scenario file itself is wrong."""


def generated_text(gen):
    """The text of a {"generate": ...} description, not yet encoded."""
    out = []
    for part in gen["parts"]:
        if "text" in part:
            out.append(part["text"])
        elif "repeat" in part:
            out.append(part["repeat"] * part["count"])
        elif "lines" in part:
            start, eol = part.get("start", 0), part.get("eol", "\r\n")
            out.extend(part["lines"].replace("{i}", str(i)) + eol
                       for i in range(start, start + part["count"]))
        else:
            raise ScenarioError(f"bad generated part: {part}")
    return "".join(out)


def generated_bytes(gen):
    encoding = gen.get("encoding", "utf-8")
    if encoding not in ENCODINGS:
        raise ScenarioError(f"bad encoding {encoding!r}")
    return with_digests(generated_text(gen)).encode(encoding, "surrogatepass")


def expand_trace(trace):
    """The trace lines of a scenario, generated ones made."""
    lines = []
    for item in trace:
        if isinstance(item, str):
            lines.append(item)
        elif "generate" in item:
            lines.append(generated_bytes(item["generate"]).decode(
                "utf-8", "surrogateescape"))
        elif "repeat_lines" in item:
            start = item.get("start", 0)
            for i in range(start, start + item["count"]):
                lines.extend(f.replace("{i}", str(i))
                             for f in item["repeat_lines"])
        else:
            raise ScenarioError(f"bad trace item: {item}")
    return lines


# The files of the scenario being run (set by validate()), for the
# "{sha256:PATH}" placeholders.
_FILES = {}
DIGEST = re.compile(r"\{(sha256|size):([^}]*)\}")


def with_digests(text):
    """`text` with each "{sha256:PATH}" replaced by the SHA-256, in hex, of
    the file that the scenario's "files" give at PATH, and each
    "{size:PATH}" by its size in bytes."""
    def digest(m):
        if m.group(2) not in _FILES:
            raise ScenarioError(f"{m.group(0)} names no file")
        data = desc_bytes(_FILES[m.group(2)])
        if m.group(1) == "size":
            return str(len(data))
        return hashlib.sha256(data).hexdigest()
    return DIGEST.sub(digest, text)


def desc_bytes(desc):
    """The content that a file description gives, or None for a directory."""
    if desc.get("dir"):
        return None
    if "generate" in desc:
        return generated_bytes(desc["generate"])
    if "text" in desc:
        return with_digests(desc["text"]).encode("utf-8")
    if "lines" in desc:
        eol = desc.get("eol", "\r\n")
        return "".join(with_digests(line) + eol
                       for line in desc["lines"]).encode("utf-8")
    if "base64" in desc:
        return base64.b64decode(desc["base64"])
    if "random" in desc:
        seed, size = desc["random"]["seed"], desc["random"]["size"]
        out = bytearray()
        counter = 0
        while len(out) < size:
            out += hashlib.sha256(f"{seed}:{counter}".encode()).digest()
            counter += 1
        return bytes(out[:size])
    raise ScenarioError(f"file description without content: {desc}")


def spec_mode(desc, default):
    return int(desc["mode"], 8) if "mode" in desc else default


def schema_problems(result):
    """What in a result file does not follow its format (version 1)."""
    # Names and types from the format file, the one statement of them.
    fields = {name: FIELD_TYPES[kind]
              for name, kind in RESULT_FORMAT["fields"].items()}
    module_fields = {name: FIELD_TYPES[kind]
                     for name, kind in RESULT_FORMAT["module_fields"].items()}
    problems = []
    if not isinstance(result, dict) or set(result) != set(fields):
        return [f"fields {sorted(result) if isinstance(result, dict) else result!r}"]
    for name, kind in fields.items():
        if not isinstance(result[name], kind):
            problems.append(f"{name}: {result[name]!r}")
    if result["format"] != RESULT_FORMAT["format"] or \
            result["program"] != "ksupdate":
        problems.append("format or program")
    for name in ("started", "ended"):
        if isinstance(result[name], str) and not TIME.match(result[name]):
            problems.append(f"{name}: {result[name]!r}")
    if OUTCOME_NAMES.get(result["msi_code"]) != result["outcome"]:
        problems.append(f"outcome {result['outcome']!r} for "
                        f"{result['msi_code']!r}")
    reason = result["reason"]
    if reason is not None and (
            set(reason) != {"word", "line"} or
            reason["word"] not in RUN_END_WORDS or
            not isinstance(reason["line"], (str, type(None)))):
        problems.append(f"reason {reason!r}")
    for odd in result["odd_settings"]:
        if not isinstance(odd, dict) or set(odd) != {"name", "value",
                                                     "taken_as"}:
            problems.append(f"odd setting {odd!r}")
    trust = result["trust"]
    if trust is not None and (
            set(trust) != set(RESULT_FORMAT["trust_fields"]) or
            not isinstance(trust["verified"], bool) or
            (trust["verified"]) != (trust["refused"] is None)):
        problems.append(f"trust {trust!r}")
    for module in result["modules"] if isinstance(result["modules"], list) \
            else []:
        if not isinstance(module, dict) or set(module) != set(module_fields):
            problems.append(f"module {module!r}")
            continue
        for name, kind in module_fields.items():
            if not isinstance(module[name], kind):
                problems.append(f"module {module.get('name')!r}: {name}")
        if module["result"] not in MODULE_RESULTS:
            problems.append(f"module result {module['result']!r}")
        error = module["error"]
        if error is not None and (set(error) != {"code", "message"} or
                                  not isinstance(error["code"], int) or
                                  not isinstance(error["message"], str)):
            problems.append(f"module error {error!r}")
    return problems


def subset_problems(want, got, where="result"):
    """Where `got` differs from `want`, which gives only the fields that
    matter (see "result" above)."""
    if isinstance(want, dict):
        if not isinstance(got, dict):
            return [f"{where}: {got!r}, expected an object"]
        problems = []
        for key, value in want.items():
            if key not in got:
                problems.append(f"{where}.{key}: missing")
            else:
                problems += subset_problems(value, got[key], f"{where}.{key}")
        return problems
    if isinstance(want, list):
        if not isinstance(got, list) or len(got) != len(want):
            return [f"{where}: {got!r}, expected {len(want)} items"]
        problems = []
        for i, (w, g) in enumerate(zip(want, got)):
            problems += subset_problems(w, g, f"{where}[{i}]")
        return problems
    if isinstance(want, str):
        want = with_digests(want)
    return [] if want == got else [f"{where}: {got!r}, expected {want!r}"]


def check_result(scenario, data, status, problems):
    """The result file's bytes (None when there is none) against what the
    scenario expects; `status`, the run's exit status."""
    if "result" not in scenario:
        return
    if data is None:
        problems.append("no result file")
        return
    try:
        result = json.loads(data.decode("utf-8"))
    except ValueError as e:
        problems.append(f"result file is no JSON: {e}: {show(data, 200)}")
        return
    problems += [f"result file: {p}" for p in schema_problems(result)]
    outcome = scenario.get("outcome", 0)
    want = dict(scenario["result"], msi_code=outcome,
                outcome=OUTCOME_NAMES[outcome], exit_status=status)
    problems += subset_problems(want, result)


def expected_status(scenario, statuses=None):
    """The exit status the scenario expects of a build whose statuses for
    the outcomes are `statuses` (LINUX_STATUS unless given)."""
    env = scenario.get("env", {})
    # Any value but none asks for the codes (an odd one is taken as msi).
    if not env.get("KSUPDATE_EXIT_CODES", "").strip(" \t"):
        return 0
    return (statuses or LINUX_STATUS)[scenario.get("outcome", 0)]


def result_target(scenario, work):
    """The KSUPDATE_RESULT of a scenario's run in `work`, and what is there
    before the run that must stay as it is (path -> bytes), or (None, {})
    when the scenario asks for no result file."""
    kind = scenario.get("result_path")
    if kind == "link":
        victim = os.path.join(work, "someone-elses.txt")
        with open(victim, "wb") as f:
            f.write(b"not for the result\n")
        os.symlink(victim, os.path.join(work, "result.json"))
        return os.path.join(work, "result.json"), {victim: b"not for the result\n"}
    if kind == "unwritable":
        # A file where its directory would be: nothing can make it.
        with open(os.path.join(work, "not a directory"), "wb") as f:
            f.write(b"a file\n")
        return os.path.join(work, "not a directory", "result.json"), {
            os.path.join(work, "not a directory"): b"a file\n"}
    if kind == "missing_dir":
        return os.path.join(work, "logs", "new", "result.json"), {}
    if kind in ("link_dir", "foreign_dir"):
        # Someone else's directory on the way: a link to one, or one that
        # another user owns; the run writes nothing there.
        theirs = os.path.join(work, "theirs")
        os.mkdir(theirs)
        if kind == "link_dir":
            os.symlink(theirs, os.path.join(work, "logs"))
            return os.path.join(work, "logs", "result.json"), {}
        os.chown(theirs, 65534, 65534)
        return os.path.join(theirs, "result.json"), {}
    if "result" in scenario:
        return os.path.join(work, "result.json"), {}
    return None, {}


def use_scenario(scenario):
    """Makes the scenario's files the ones that "{sha256:PATH}" placeholders
    name, until the next call."""
    _FILES.clear()
    _FILES.update(scenario.get("files", {}))


def validate(scenario):
    """Checks the scenario's fields; see use_scenario() too."""
    use_scenario(scenario)
    unknown = set(scenario) - FIELDS
    if unknown:
        raise ScenarioError(f"unknown fields {sorted(unknown)}")
    missing = REQUIRED - set(scenario)
    if missing:
        raise ScenarioError(f"missing fields {sorted(missing)}")
    if scenario.get("locale", DEFAULT_LOCALE) not in LOCALE_CODE_PAGES:
        raise ScenarioError(f"locale {scenario['locale']!r} has no code page "
                            "in LOCALE_CODE_PAGES")
    if set(scenario.get("env", {})) - ENV_FIELDS:
        raise ScenarioError(f"env may only set {sorted(ENV_FIELDS)}")
    if scenario.get("outcome", 0) not in OUTCOME_NAMES:
        raise ScenarioError(f"bad outcome {scenario['outcome']!r}")
    if set(scenario.get("closed_fds", [])) - {0, 1, 2}:
        raise ScenarioError("closed_fds may only hold 0, 1 and 2")
    if scenario.get("result_path") not in (None, "link", "unwritable",
                                           "missing_dir", "link_dir",
                                           "foreign_dir"):
        raise ScenarioError(f"bad result_path {scenario['result_path']!r}")
    if scenario.get("arch", "win32") not in ("win32", "win64"):
        raise ScenarioError(f"bad arch {scenario['arch']!r}")
    if "registry64" in scenario and scenario.get("arch") != "win64":
        raise ScenarioError("registry64 needs arch win64")
    for group in ("files", "expect_files", "after_sign"):
        for path, desc in scenario.get(group, {}).items():
            bad = set(desc) - SPEC_FIELDS
            if bad or path.startswith("/") or "\\" in path:
                raise ScenarioError(f"bad {group} entry {path!r}")


# --- The prefix -------------------------------------------------------------

def resolved_policy(scenario):
    """The scenario's policy values, with test keys in place of their
    "$key:NAME" and "$point:NAME" stand-ins; None without a policy."""
    if "policy" not in scenario:
        return None

    def resolve(value):
        if isinstance(value, list):
            return [resolve(v) for v in value]
        if isinstance(value, str) and value.startswith(("$key:", "$point:")):
            form, name = value[1:].split(":", 1)
            return signing.pinned_value(name, "spki" if form == "key"
                                        else "point")
        return value
    return {n: resolve(v) for n, v in scenario["policy"].items()}


def lay_files(drive_c, files):
    """Lays file descriptions under drive C; returns the directories made,
    with their modes, to be set once everything is in them."""
    dir_modes = []
    for rel, desc in files.items():
        path = os.path.join(drive_c, rel)
        if "link" in desc:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.symlink(desc["link"], path)
            continue
        if desc.get("fifo"):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.mkfifo(path)
            continue
        data = desc_bytes(desc)
        if data is None:
            # After signing, a directory may take a file's place.
            if os.path.isfile(path) and not os.path.islink(path):
                os.remove(path)
            os.makedirs(path, exist_ok=True)
            dir_modes.append((path, spec_mode(desc, 0o755)))
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, spec_mode(desc, 0o644))
    return dir_modes


def build_prefix(prefix, scenario):
    drive_c = os.path.join(prefix, "drive_c")
    os.makedirs(drive_c)
    os.mkdir(os.path.join(prefix, "dosdevices"))
    os.symlink("../drive_c", os.path.join(prefix, "dosdevices", "c:"))
    os.symlink("/", os.path.join(prefix, "dosdevices", "z:"))
    with open(os.path.join(prefix, "system.reg"), "wb") as f:
        wanted = scenario.get("system_reg", {})
        if "sparse" in wanted:
            f.truncate(wanted["sparse"])
        else:
            f.write(desc_bytes(wanted) if wanted
                    else system_reg(scenario["registry"],
                                    scenario.get("arch", "win32"),
                                    scenario.get("registry64"),
                                    policy=resolved_policy(scenario)))
    dir_modes = lay_files(drive_c, scenario["files"])
    # Deepest first, so that a read-only directory is closed last.
    for path, mode in sorted(dir_modes, key=lambda d: -d[0].count("/")):
        os.chmod(path, mode)
    for rel, desc in scenario["files"].items():
        if "owner" in desc:
            os.lchown(os.path.join(drive_c, rel), desc["owner"], desc["owner"])


def needs_root(scenario):
    """Whether the scenario gives anything to another user."""
    return "prefix_owner" in scenario or "race" in scenario or any(
        "owner" in desc for desc in scenario.get("files", {}).values())


# The user racing a run (see "race"): argv is the intruder's kind and its
# host paths; it says "ready" once it is at work, and at SIGTERM prints
# its counts as JSON.
INTRUDER = r"""
import ctypes, fcntl, json, os, signal, sys
kind, paths = sys.argv[1], [p.encode() for p in sys.argv[2:]]
stop, held = [], []
signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
libc = ctypes.CDLL(None, use_errno=True)
tried = done = 0
print("ready", flush=True)
while not stop:
    tried += 1
    if kind == "swap":
        # AT_FDCWD, RENAME_EXCHANGE
        done += libc.renameat2(-100, paths[0], -100, paths[1], 2) == 0
        continue
    try:
        fd = os.open(paths[0], os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        continue
    done += 1
    try:
        fcntl.lockf(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        held.append(fd)
    except OSError:
        os.close(fd)
print(json.dumps({"tried": tried, "done": done}), flush=True)
"""


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


class Intruder:
    """The user of a scenario's "race", at work while it lives."""

    def __init__(self, race, drive_c):
        os.chmod(os.path.dirname(os.path.dirname(drive_c)), 0o711)
        self.paths = [os.path.join(drive_c, p) for p in race["paths"]]
        self.kind = race["intruder"]
        self.before = os.lstat(self.paths[0]).st_ino \
            if self.kind == "swap" else None
        # The system's Python: the runner's may lie where that user
        # cannot reach.
        python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") \
            else sys.executable
        self.process = subprocess.Popen(
            [python, "-c", INTRUDER, self.kind] + self.paths,
            stdout=subprocess.PIPE, text=True, preexec_fn=as_nobody)
        self.process.stdout.readline()  # "ready"

    def stop(self):
        """Ends it; puts swapped entries back. Returns its counts."""
        self.process.send_signal(signal.SIGTERM)
        out, _ = self.process.communicate(timeout=TIMEOUT_SECONDS)
        if self.kind == "swap" and \
                os.lstat(self.paths[0]).st_ino != self.before:
            libc = ctypes.CDLL(None, use_errno=True)
            libc.renameat2(-100, self.paths[0].encode(), -100,
                           self.paths[1].encode(), 2)
        return json.loads(out)


def check_raced(scenario, prefix, work, trace_path, before, after, counts,
                problems):
    """The checks of a raced run (see "race")."""
    race = scenario["race"]
    allowed = [expand_trace(t) for t in [scenario["trace"]] +
               race.get("traces", [])]
    allowed = [[line.replace("{prefix}", prefix).replace("{work}", work)
                for line in t] for t in allowed]
    data = read_or_none(trace_path) or b""
    actual = run_lines(data.decode("utf-8", "surrogateescape").split("\n")[:-1],
                       problems, stamped=True)
    if actual not in allowed:
        problems.append("trace is none of those allowed: " +
                        " | ".join(actual))
    if race["intruder"] == "lock" and counts["done"]:
        problems.append(f"the intruder opened its file {counts['done']} "
                        "times")
    swapped = {"drive_c/" + p for p in race["paths"]}
    may = tuple("drive_c/" + p for p in race.get("may_change", []))
    for rel in sorted(set(before) | set(after)):
        if rel in swapped or rel.startswith(may):
            continue
        if before.get(rel) != after.get(rel):
            problems.append(f"{rel}: {describe(before.get(rel))} -> "
                            f"{describe(after.get(rel))}")
    for victim in race.get("victims", []):
        rel = "drive_c/" + victim
        if before.get(rel) != after.get(rel):
            problems.append(f"victim {victim} changed")
        secret = before[rel][2]
        for other, entry in after.items():
            if other != rel and entry[0] == "file" and entry[2] == secret \
                    and before.get(other) != entry:
                problems.append(f"victim {victim}'s bytes found in {other}")


def prepare_patch(drive_c, scenario):
    """What a publisher does to the laid patch: its checksums, its
    signature, and what changes after that (checksums_script, sign,
    after_sign)."""
    if scenario.get("checksums_script"):
        subprocess.run([sys.executable, CHECKSUMS_SCRIPT, "--code-page",
                        str(code_page(scenario)),
                        os.path.join(drive_c, "patch")],
                       check=True, capture_output=True)
    if "sign" in scenario:
        sign = scenario["sign"]
        manifest = os.path.join(drive_c, sign.get("manifest",
                                                  "patch/ksmodules.ver"))
        signing.sign(manifest, sign["key"], sign.get("encoding", "der"))
        for n, name in enumerate(sign.get("also", []), start=2):
            signing.sign(manifest, name, sign.get("encoding", "der"),
                         f".sig{n}")
    lay_files(drive_c, scenario.get("after_sign", {}))


def snapshot(root, times=False):
    """Every entry under root: relative path -> (kind, mode, bytes/target),
    and with `times` its modification time (ns) last."""
    entries = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, root)
            st = os.lstat(path)
            mode = stat.S_IMODE(st.st_mode)
            if stat.S_ISLNK(st.st_mode):
                entries[rel] = ("link", 0, os.readlink(path))
            elif stat.S_ISDIR(st.st_mode):
                entries[rel] = ("dir", mode, None)
            elif stat.S_ISREG(st.st_mode) and st.st_size > LARGE:
                entries[rel] = ("file", mode, large_content(path, st))
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    entries[rel] = ("file", mode, f.read())
            else:
                entries[rel] = ("other", mode, None)
            if times:
                entries[rel] += (st.st_mtime_ns,)
    return entries


def large_content(path, st):
    """What a snapshot keeps of a large file (see LARGE)."""
    if st.st_blocks == 0:
        return ("large", st.st_size, "a hole")
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return ("large", st.st_size, digest.hexdigest())


def read_or_none(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def remove_tree(path):
    def allow_and_retry(func, failed, _exc):
        os.chmod(os.path.dirname(failed), 0o755)
        if os.path.isdir(failed) and not os.path.islink(failed):
            os.chmod(failed, 0o755)
        func(failed)
    if sys.version_info >= (3, 12):
        shutil.rmtree(path, onexc=allow_and_retry)
    else:
        shutil.rmtree(path, onerror=allow_and_retry)


# --- Profile files, read as Wine reads them ---------------------------------

def profile_text(data, code_page=1252):
    """A profile file's text: Unicode after a byte-order mark, else its
    bytes in the ANSI code page (bytes that it leaves undefined as
    surrogate escapes)."""
    for bom, encoding in ((b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le"),
                          (b"\xfe\xff", "utf-16-be")):
        if data.startswith(bom):
            return data[len(bom):].decode(encoding, "replace")
    return data.decode(f"cp{code_page}", "surrogateescape")


def parse_profile(data, code_page=1252):
    """section -> {key -> value or None}, names lowercased, first one wins."""
    sections = {}
    current = None
    for raw in re.split(r"\r\n|\n|\r", profile_text(data, code_page)):
        line = raw.strip(" \t")
        if not line or line.startswith(";"):
            continue
        if line.startswith("["):
            end = line.find("]")
            name = (line[1:end] if end >= 0 else line[1:]).strip().lower()
            current = sections.setdefault(name, {})
            continue
        if current is None:
            current = sections.setdefault("", {})
        key, sep, value = line.partition("=")
        current.setdefault(key.strip(" \t").lower(),
                           value.strip(" \t") if sep else None)
    return sections


def client_ver_path(scenario, after):
    """client.ver's path relative to the prefix, matched case-insensitively
    against what is on disk after the run."""
    if "client_ver_path" in scenario:
        wanted = "drive_c/" + scenario["client_ver_path"]
    else:
        value = (scenario["registry"] or {}).get(CLIENT_VALUE, "")
        if not value.lower().startswith("c:\\"):
            raise ScenarioError("client_ver needs client_ver_path")
        rest = value[3:].replace("\\", "/").strip("/")
        wanted = "drive_c/" + (rest + "/" if rest else "") + "bin/client.ver"
    if wanted in after:
        return wanted
    matches = [p for p in after if p.lower() == wanted.lower()]
    return matches[0] if len(matches) == 1 else wanted


# --- Checks -----------------------------------------------------------------

MAX_PROBLEMS = 12
MAX_DIFF_LINES = 40


def show(data, limit=80):
    if data is None:
        return "(none)"
    if len(data) <= limit:
        return repr(data)
    digest = hashlib.sha256(data).hexdigest()[:12]
    return f"{data[:limit // 2]!r}... ({len(data)} bytes, sha256 {digest})"


def describe(entry):
    if entry is None:
        return "absent"
    kind, mode, data = entry[:3]
    time = f" modified {entry[3]}" if len(entry) > 3 else ""
    if kind == "link":
        return f"link -> {data}"
    if kind == "file":
        return f"file {mode:04o} {show(data)}{time}"
    return f"{kind} {mode:04o}{time}"


# What begins each line of a trace file: the UTC time to the millisecond
# and the id of the process that wrote it.
STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (\d+) ")
# The lines that a trace file has of a run beyond the run's own: where it
# begins and where it ends, a wait for another run's lock, and the notes
# (who ran, which patch, the error of a failed call), each "--- ".
NOTE = "--- "
RUN_BEGINS = re.compile(r"=== ksupdate \S+ run of \d{4}-\d\d-\d\dT\d\d:\d\d:"
                        r"\d\dZ, process (\d+)(, what-if)?: .* ===$")
RUN_ENDS = re.compile(r"=== ksupdate run ended: [a-z ]+ \(\d+\), exit status "
                      r"-?\d+, \d+\.\d{3} s ===$")
WAIT_NOTES = {"    - Waiting for another update to end -",
              "    - Waiting for Windows Installer to end -",
              "    - The other update ended: going on -"}


def project_version():
    """The version that CMakeLists.txt's project() gives."""
    with open(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
            os.path.abspath(__file__)))), "CMakeLists.txt")) as f:
        return re.search(r"project\(ksupdate VERSION (\S+)", f.read()).group(1)


def unstamped(line):
    """A trace file's line without its stamp, and the process id that the
    stamp gives (None without one)."""
    m = STAMP.match(line)
    return (line[m.end():], int(m.group(1))) if m else (line, None)


def own_lines(lines):
    """The run's own lines of a trace file's, for runs that may have been
    killed before their last line: the stamps gone, every begin, end, wait
    and note dropped."""
    lines = [unstamped(line)[0] for line in lines]
    return [line for line in lines if line not in WAIT_NOTES and
            not line.startswith(NOTE) and
            not RUN_BEGINS.match(line) and not RUN_ENDS.match(line)]


def run_notes(lines):
    """The notes of one run's lines, their stamps gone."""
    return [line for line in (unstamped(line)[0] for line in lines)
            if line.startswith(NOTE)]


def run_lines(lines, problems, what="", stamped=False):
    """The lines of one run in a trace file (text, its line ends gone): the
    run's own, between its first and its last line, which must say where
    it begins and ends; the notes and those of a wait dropped. `stamped`:
    every line must begin with the time and the id of the process that its
    first line names."""
    if stamped and lines:
        pid = RUN_BEGINS.match(unstamped(lines[0])[0])
        pid = int(pid.group(1)) if pid else None
        unmarked = [line for line in lines if unstamped(line)[1] is None or
                    unstamped(line)[1] != pid]
        if unmarked:
            problems.append(f"trace{what}: {len(unmarked)} lines without the "
                            f"time and process {pid}: {unmarked[:2]!r}")
    lines = [unstamped(line)[0] for line in lines]
    if not lines or not RUN_BEGINS.match(lines[0]):
        problems.append(f"trace{what} does not begin with the run's line: "
                        f"{lines[:1]!r}")
        return lines
    if len(lines) < 2 or not RUN_ENDS.match(lines[-1]):
        problems.append(f"trace{what} does not end with the run's line: "
                        f"{lines[-1:]!r}")
        return lines[1:]
    return [line for line in lines[1:-1] if line not in WAIT_NOTES and
            not line.startswith(NOTE)]


def check_trace(expected, trace_path, problems, runs=1, notes=()):
    """The trace file holds `runs` runs one after another, each between its
    begin and end lines, each of its lines stamped with the run's process,
    and each with the `expected` lines and a note holding each of
    `notes`."""
    try:
        with open(trace_path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        data = b""
    if data and not data.endswith(b"\n"):
        problems.append("trace file does not end in a newline")
    lines = data.decode("utf-8", "surrogateescape").split("\n")[:-1]
    starts = [i for i, line in enumerate(lines)
              if RUN_BEGINS.match(unstamped(line)[0])]
    if runs > 1 and len(starts) != runs:
        problems.append(f"trace file holds {len(starts)} runs, expected {runs}")
    for begin, end in zip(starts, starts[1:]):
        check_one_trace(expected, lines[begin:end], problems,
                        f" of the run at line {begin + 1}", notes)
    check_one_trace(expected, lines[starts[-1]:] if starts else lines,
                    problems, "", notes)


def check_one_trace(expected, lines, problems, what="", notes=()):
    actual = run_lines(lines, problems, what, stamped=True)
    check_notes(notes, run_notes(lines), problems, what)
    if actual != expected:
        diff = list(difflib.unified_diff(expected, actual, "expected trace",
                                         "actual trace", lineterm="", n=2))
        if len(diff) > MAX_DIFF_LINES:
            diff = diff[:MAX_DIFF_LINES] + [
                f"... {len(diff) - MAX_DIFF_LINES} more diff lines"]
        problems.append("trace differs:\n" + "\n".join(
            "      " + line for line in diff))


def check_notes(notes, said, problems, what=""):
    """Each of `notes` ({any}: any text) is one of the notes `said`."""
    for note in notes:
        pattern = re.compile(".*".join(map(re.escape, note.split("{any}"))))
        if not any(pattern.fullmatch(line) for line in said):
            problems.append(f"trace{what}: no note is {note!r}: {said!r}")


def check_file(rel, desc, before, after, problems):
    got = after.get(rel)
    if "same_as" in desc:
        source = before.get("drive_c/" + desc["same_as"])
        if source is None or source[0] != "file":
            raise ScenarioError(f"same_as names no file: {desc['same_as']}")
        want_data, want_mode = source[2], source[1]
    elif "link" in desc:
        if got != ("link", 0, desc["link"]):
            problems.append(f"{rel}: expected link -> {desc['link']}, found "
                            f"{describe(got)}")
        return
    else:
        want_data = desc_bytes(desc)
        want_mode = spec_mode(desc, None)
    if want_data is None:
        if got is None or got[0] != "dir":
            problems.append(f"{rel}: expected a directory, found "
                            f"{describe(got)}")
        return
    if got is None or got[0] != "file":
        problems.append(f"{rel}: expected a file, found {describe(got)}")
        return
    if got[2] != want_data:
        problems.append(f"{rel}: content {show(got[2])}, expected "
                        f"{show(want_data)}")
    if want_mode is not None and got[1] != want_mode:
        problems.append(f"{rel}: mode {got[1]:04o}, expected {want_mode:04o}")


def expected_client_ver(scenario):
    """The [modules] entries that client.ver must hold, generated ones
    made."""
    entries = dict(scenario["client_ver"])
    more = scenario.get("client_ver_more")
    if more:
        start = more.get("start", 0)
        for i in range(start, start + more["count"]):
            entries[more["key"].replace("{i}", str(i))] = \
                more["value"].replace("{i}", str(i))
    return entries


def is_lock_file(rel, before, after):
    """True for a run's lock file, new or kept, in a bin directory."""
    parts = rel.split("/")
    if len(parts) < 2 or parts[-1] != LOCK_FILE or \
            parts[-2].lower() != "bin":
        return False
    was, now = before.get(rel), after.get(rel)
    return now is not None and now[0] == "file" and now[2] == b"" and \
        (was is None or was == now)


def locale_env(locale):
    """LC_ALL for `locale`, and LOCPATH when the system lacks it and it was
    made here with localedef (once a process); raises ScenarioError when it
    cannot be made."""
    env = {"LC_ALL": locale}
    have = subprocess.run(["locale", "-a"], capture_output=True,
                          text=True).stdout.lower().replace("utf8", "utf-8")
    if locale.lower() in have.split():
        return env
    if not _LOCALE_DIR:
        _LOCALE_DIR.append(tempfile.mkdtemp(prefix="kslocales-"))
        atexit.register(shutil.rmtree, _LOCALE_DIR[0], True)
    path = os.path.join(_LOCALE_DIR[0], locale)
    if not os.path.isdir(path):
        name, _, charset = locale.partition(".")
        result = subprocess.run(["localedef", "-i", name, "-f",
                                 charset or "UTF-8", path],
                                capture_output=True)
        if not os.path.isdir(path):
            raise ScenarioError(f"cannot make locale {locale}: "
                                f"{result.stderr[-200:]!r}")
    env["LOCPATH"] = _LOCALE_DIR[0]
    return env


def host_args(scenario):
    """The argument words as a shell of the scenario's locale hands them
    over: in the charset it names ("ja_JP.EUC-JP"), else in UTF-8."""
    charset = scenario.get("locale", DEFAULT_LOCALE).partition(".")[2]
    if charset.lower().replace("-", "") in ("", "utf8"):
        return scenario["args"]
    return [arg.encode(charset) for arg in scenario["args"]]


def code_page(scenario):
    return LOCALE_CODE_PAGES[scenario.get("locale", DEFAULT_LOCALE)]


def kept_serial(scenario, before):
    """The [signed patches] entry that a scenario's run must leave in
    client.ver, as parse_profile gives sections; {} when none."""
    kept = scenario.get("serial_kept")
    if kept is None:
        return {}
    manifest = "drive_c/" + scenario.get("sign", {}).get(
        "manifest", "patch/ksmodules.ver")
    digest = hashlib.sha256(before[manifest][2]).hexdigest()
    return {"signed patches": {
        signing.key_id(one["key"]).lower(): f"{one['serial']} {digest}"
        for one in (kept if isinstance(kept, list) else [kept])}}


def check_client_ver(expected, rel, before, after, problems, cp=1252,
                     more_sections=None, digests=None):
    got = after.get(rel)
    if got is None or got[0] != "file":
        problems.append(f"{rel}: expected client.ver, found {describe(got)}")
        return
    actual = parse_profile(got[2], cp)
    old = parse_profile(before[rel][2], cp) if rel in before else {}
    want = {k.lower(): v for k, v in expected.items()}
    modules = actual.get("modules", {})
    if modules != want:
        lines = []
        for key in sorted(set(modules) | set(want))[:MAX_PROBLEMS]:
            if modules.get(key, "<absent>") != want.get(key, "<absent>"):
                lines.append(f"      {key!r}: {modules.get(key, '<absent>')!r}"
                             f", expected {want.get(key, '<absent>')!r}")
        problems.append(f"{rel} [modules] differs:\n" + "\n".join(lines))
    checked = {"modules"} | ({"sha256"} if digests is not None else set())
    if digests is not None:
        want_digests = {k.lower(): with_digests(v).lower()
                        for k, v in digests.items()}
        if actual.get("sha256", {}) != want_digests:
            problems.append(f"{rel} [sha256]: {actual.get('sha256', {})!r}, "
                            f"expected {want_digests!r}")
    others = {s: e for s, e in actual.items() if s not in checked}
    old_others = {s: e for s, e in old.items() if s not in checked}
    for section, entries in (more_sections or {}).items():
        old_others[section] = dict(old_others.get(section, {}), **entries)
    if others != old_others:
        problems.append(f"{rel}: other sections changed: {old_others!r} -> "
                        f"{others!r}")


def run_scenario(binary, scenario, keep, counts=None):
    """Returns (problems, temp dir or None). With `counts` (a dict), a
    raced run (see "race"), whose intruder's counts are added there."""
    validate(scenario)
    work = os.path.realpath(tempfile.mkdtemp(prefix="ksscenario-"))
    prefix = os.path.join(work, "prefix")
    trace_path = os.path.join(work, "trace.log")
    home = os.path.join(work, "home")
    problems = []
    try:
        os.mkdir(home)
        build_prefix(prefix, scenario)
        prepare_patch(os.path.join(prefix, "drive_c"), scenario)
        times = bool(scenario.get("times_kept"))
        before = snapshot(prefix, times)
        env = dict(os.environ, WINEPREFIX=prefix, KSUPDATE_TRACE=trace_path,
                   HOME=home, **locale_env(scenario.get("locale",
                                                       DEFAULT_LOCALE)))
        for name in ("KSUPDATE_EXIT_CODES", "KSUPDATE_WHATIF",
                     "KSUPDATE_RESULT"):
            env.pop(name, None)
        env.update(scenario.get("env", {}))
        result_path, kept = result_target(scenario, work)
        if result_path:
            env["KSUPDATE_RESULT"] = result_path
        demote = None
        if "prefix_owner" in scenario:
            for dirpath, dirnames, filenames in os.walk(prefix):
                for name in [dirpath] + [os.path.join(dirpath, n)
                                         for n in dirnames + filenames]:
                    os.lchown(name, scenario["prefix_owner"],
                              scenario["prefix_owner"])
        if scenario.get("unprivileged") and os.geteuid() == 0:
            # The build tree may lie where that user cannot reach.
            shutil.copy2(binary, os.path.join(work, "ksupdate"))
            binary = os.path.join(work, "ksupdate")
            # Root writes into read-only directories: let permissions apply.
            for dirpath, dirnames, filenames in os.walk(work):
                for name in [dirpath] + [os.path.join(dirpath, n)
                                         for n in dirnames + filenames]:
                    os.lchown(name, NOBODY, NOBODY)

            def demote():
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
        closed = scenario.get("closed_fds", [])
        mask = int(scenario.get("umask", "022"), 8)

        def start(demote=demote):
            os.umask(mask)
            if demote:
                demote()
            for fd in closed:
                os.close(fd)
        limit = scenario.get("max_seconds", TIMEOUT_SECONDS)
        intruder = Intruder(scenario["race"], os.path.join(prefix, "drive_c")) \
            if counts is not None else None
        try:
            for _ in range(scenario.get("runs", 1)):
                result = subprocess.run(
                    [binary] + host_args(scenario),
                    cwd=os.path.join(prefix, "drive_c"), env=env,
                    stdin=subprocess.DEVNULL, capture_output=True,
                    timeout=limit, preexec_fn=start)
        except subprocess.TimeoutExpired:
            problems.append(f"timed out after {limit}s")
            return problems, work if keep else None
        finally:
            raced = intruder.stop() if intruder else {}
            for key, value in raced.items():
                counts[key] = counts.get(key, 0) + value
            if raced.get("done"):
                counts["runs reached"] = counts.get("runs reached", 0) + 1
        status = expected_status(scenario)
        if result.returncode != status:
            problems.append(f"exit status {result.returncode}, expected "
                            f"{status}")
        want_out = scenario.get("stdout", "").replace(
            "{version}", project_version()).encode()
        if result.stdout != want_out:
            problems.append(f"output on stdout: {show(result.stdout, 400)}"
                            f", expected {show(want_out, 100)}")
        if result.stderr:
            problems.append(f"output on stderr: {show(result.stderr, 400)}")
        after = snapshot(prefix, times)
        if intruder:
            check_raced(scenario, prefix, work, trace_path, before, after,
                        raced, problems)
            return problems, work if keep and problems else None
        if result_path and not os.path.islink(result_path) and \
                os.path.isfile(result_path):
            check_result(scenario, read_or_none(result_path), status,
                         problems)
        for path, data in kept.items():
            if read_or_none(path) != data:
                problems.append(f"{path} changed")

        if scenario["trace"] is None:
            if os.path.exists(trace_path):
                problems.append("a trace file, from no run")
        else:
            def expand(line):
                return line.replace("{prefix}", prefix).replace("{work}", work)
            check_trace([expand(line) for line in
                         expand_trace(scenario["trace"])],
                        trace_path, problems, scenario.get("runs", 1),
                        [with_digests(expand(note)) for note in
                         scenario.get("trace_notes", [])])
        expected = {"drive_c/" + p: s
                    for p, s in scenario.get("expect_files", {}).items()}
        for rel, desc in expected.items():
            check_file(rel, desc, before, after, problems)
        cv_rel = None
        if "client_ver" in scenario:
            cv_rel = client_ver_path(scenario, after)
            check_client_ver(expected_client_ver(scenario), cv_rel, before,
                             after, problems, code_page(scenario),
                             kept_serial(scenario, before),
                             scenario.get("client_ver_sha256"))
        # A what-if run makes no lock file either.
        lock_ok = not scenario.get("times_kept")
        for rel in sorted(set(before) | set(after)):
            if rel in expected or rel == cv_rel or \
                    (lock_ok and is_lock_file(rel, before, after)):
                continue
            if before.get(rel) != after.get(rel):
                problems.append(f"{rel}: {describe(before.get(rel))} -> "
                                f"{describe(after.get(rel))}")
        return problems, work if keep and problems else None
    finally:
        if not (keep and problems):
            remove_tree(work)


def expand(name, scenario):
    """(name, scenario) for each locale of a scenario with "locales"; the
    scenario alone otherwise."""
    if not isinstance(scenario, dict) or "locales" not in scenario:
        return [(name, scenario)]
    out = []
    for locale, texts in scenario["locales"].items():
        texts = dict(texts, ENC=f"cp{LOCALE_CODE_PAGES[locale]}")

        def fill(x, texts=texts):
            if isinstance(x, str):
                return re.sub(r"\$\{(\w+)\}", lambda m: texts[m.group(1)], x)
            if isinstance(x, list):
                return [fill(v) for v in x]
            if isinstance(x, dict):
                return {fill(k): fill(v) for k, v in x.items()}
            return x
        one = fill({k: v for k, v in scenario.items() if k != "locales"})
        one["locale"] = locale
        out.append((f"{name}[{locale}]", one))
    return out


def load_scenarios(path):
    """The scenarios of one file, named (expand())."""
    with open(path, encoding="utf-8") as f:
        return expand(os.path.splitext(os.path.basename(path))[0],
                      json.load(f))


def scenario_files(paths):
    for path in paths:
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                if name.endswith(".json"):
                    yield os.path.join(path, name)
        else:
            yield path


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--ksupdate", required=True, help="the program")
    parser.add_argument("-k", dest="filter", default="",
                        help="run only scenarios whose file name holds this")
    parser.add_argument("--keep", action="store_true",
                        help="keep the prefix of each failed scenario")
    parser.add_argument("paths", nargs="+", help="scenario files or dirs")
    args = parser.parse_args()
    binary = os.path.abspath(args.ksupdate)

    passed = failed = 0
    named = []
    for path in scenario_files(args.paths):
        try:
            named += load_scenarios(path)
        except (ValueError, KeyError) as e:
            named.append((os.path.splitext(os.path.basename(path))[0], e))
    for name, scenario in named:
        if args.filter not in name:
            continue
        try:
            if isinstance(scenario, Exception):
                raise scenario
            if needs_root(scenario) and os.geteuid() != 0:
                print(f"SKIP {name}: needs root")
                continue
            problems, kept = run_scenario(binary, scenario, args.keep)
            note = ""
            if not problems and "race" in scenario:
                counts = {}
                for _ in range(scenario["race"]["tries"]):
                    problems, kept = run_scenario(binary, scenario, args.keep,
                                                  counts)
                    if problems:
                        break
                note = (f" (race: {scenario['race']['tries']} tries, "
                        f"{scenario['race']['intruder']} done "
                        f"{counts.get('done', 0)} times in "
                        f"{counts.get('runs reached', 0)} runs, of "
                        f"{counts.get('tried', 0)} tried)")
        except (ScenarioError, ValueError, KeyError, TypeError,
                AttributeError) as e:
            problems, kept = [f"bad scenario: {type(e).__name__}: {e}"], None
        if problems:
            failed += 1
            print(f"FAIL {name}: {scenario.get('description', '')}"
                  if isinstance(scenario, dict) else f"FAIL {name}")
            for problem in problems[:MAX_PROBLEMS]:
                print("    " + problem)
            if len(problems) > MAX_PROBLEMS:
                print(f"    ... {len(problems) - MAX_PROBLEMS} more problems")
            if kept:
                print(f"    prefix kept in {kept}")
        else:
            passed += 1
            print(f"PASS {name}{note}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
