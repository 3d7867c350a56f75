"""The rule of examples/ksupdate-detect.ps1, step by step in Python.

No PowerShell can be installed on the machines that test this project
(their package registries have none), so the script's rule is tested
through this twin: package_check.py runs it on the trees of
detection_cases.json and holds its answer against the expected one and
against the packaged program's what-if run on the same tree (a run that
cannot tell either ends with neither 0 nor 1). A change to the script's
rule must be made here too.
"""

import importlib.machinery
import importlib.util
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__))))
# scripts/checksums reads a manifest's bytes as ksupdate does (byte-order
# marks) and finds a file whatever the case of its name, as Windows does.
_loader = importlib.machinery.SourceFileLoader(
    "checksums", os.path.join(ROOT, "scripts", "checksums"))
checksums = importlib.util.module_from_spec(
    importlib.util.spec_from_loader("checksums", _loader))
_loader.exec_module(checksums)

BLANKS = "".join(map(chr, (32, 9, 10, 11, 12, 13, 26)))
LINES = re.compile(r"\r\n|\n|\r")


def key(name):
    return re.sub("[A-Z]", lambda m: m.group().lower(), name.strip(BLANKS))


def number(text):
    if len(text) >= 2 and text[0] in "\"'" and text[-1] == text[0]:
        text = text[1:-1]
    match = re.match(r"[ \t\n\v\f\r]*([+-]?)0*([0-9]*)", text[:79])
    digits = match.group(2)
    n = 2147483648 if len(digits) > 10 else int(digits or "0")
    n = -n if match.group(1) == "-" else n
    return max(-2147483648, min(2147483647, n))


def header(line):
    if line.startswith("[") and "]" in line:
        return key(line[1:line.rindex("]")])
    return None


def read_entries(text, section):
    """(names in order, key -> value or None) of the first `section`."""
    names, values, current, done = [], {}, "", set()
    for line in LINES.split(text):
        line = line.strip(BLANKS)
        if header(line) is not None:
            done.add(current)
            current = header(line)
            continue
        if current != section or current in done or not line or \
                line.startswith(";"):
            continue
        name, eq, value = line.partition("=")
        names.extend(name.strip(BLANKS).split("|"))
        values.setdefault(key(name), value.strip(BLANKS) if eq else None)
    return names, values


def version(entries, name):
    value = entries[1].get(key(name))
    return 0 if value is None else number(value)


UP_TO_DATE, NOT_UP_TO_DATE, CANNOT_TELL = "up to date", "not up to date", \
    "cannot tell"


def detect(manifest, bin_dir):
    """(answer, why) of the script with $Manifest = `manifest` (a host
    path) on a client whose installation's bin directory is `bin_dir` (a
    host directory whose files are found regardless of case, as on
    Windows; None without an installation): UP_TO_DATE where it prints its
    line, NOT_UP_TO_DATE where it prints nothing, CANNOT_TELL where it
    writes `why` to standard error and exits 1."""
    try:
        text = checksums.read_manifest(manifest)[2]
    except OSError as error:
        return CANNOT_TELL, f"cannot read {manifest}: {error.strerror}"
    want = read_entries(text, "modules")
    if not want[0]:
        return CANNOT_TELL, f"{manifest} lists no module in [modules]"
    if bin_dir is None or not os.path.isdir(bin_dir):
        return CANNOT_TELL, "no installation"
    client_ver = checksums.find_file(bin_dir, "client.ver", checksums.ANSI)
    have = read_entries(checksums.read_manifest(client_ver)[2]
                        if client_ver else "", "modules")
    if all(checksums.find_file(bin_dir, name, checksums.ANSI) and
           version(have, name) >= version(want, name) for name in want[0]):
        return UP_TO_DATE, ""
    return NOT_UP_TO_DATE, ""
