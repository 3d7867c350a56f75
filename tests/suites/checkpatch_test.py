#!/usr/bin/env python3
"""scripts/checkpatch on patches with each mistake it is to report, and on
a clean one: every mistake reported, with its exit status; both patch
scripts on a manifest of a double-byte code page; scripts/checksums
replacing old sections, and naming the entries it drops; --key and
--threshold on signed patches, and on the ECDSA vectors; and the command
line of the three patch scripts: --help, --version, and operands that name
nothing usable."""

import argparse
import base64
import hashlib
import importlib.machinery
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import signing

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__))))
A = b"module a\n"
SUM = hashlib.sha256(A).hexdigest()
SIZE = len(A)

# (what, manifest bytes, more files, the lines expected in the output).
CASES = [
    ("clean", f"[modules]\r\na.dll=5\r\n[sha256]\r\na.dll={SUM}\r\n[size]\r\n"
     f"a.dll={SIZE}\r\n".encode(), {}, ["0 errors, 0 warnings"]),
    ("misspelt sections", f"[module]\r\na.dll=5\r\n[sha-256]\r\na.dll={SUM}\r\n"
     .encode(), {}, ["error: [module] is no section of a manifest: [modules]?",
                     "error: [sha-256] is no section of a manifest: [sha256]?",
                     "error: no module listed"]),
    ("no file, file without entry", b"[modules]\r\na.dll=5\r\nb.dll=5\r\n",
     {"c.dll": b"c"}, ["error: module 'b.dll' has no file in the patch",
                       "warning: file 'c.dll' is listed by no entry"]),
    ("wrong digest, sha256sum form, missing sum",
     f"[modules]\r\na.dll=5\r\nb.dll=1\r\n[sha256]\r\na.dll={'0' * 64}\r\n"
     f"{SUM}  b.dll\r\n".encode(), {"b.dll": A},
     ["error: module 'a.dll': its file is not the one its checksum vouches "
      f"for: [sha256] says {'0' * 64}, the file's is {SUM}",
      "is sha256sum's form; write name=digest",
      "error: module 'b.dll' has no checksum"]),
    # A file a byte longer than its size, one a byte shorter, an entry that
    # is no size (the first of its name counts, as for clients) and none.
    ("sizes", f"[modules]\r\na.dll=5\r\nb.dll=5\r\nc.dll=5\r\nd.dll=5\r\n"
     f"[size]\r\na.dll={SIZE - 1}\r\nB.DLL={SIZE + 1}\r\nc.dll=+{SIZE}\r\n"
     f"c.dll={SIZE}\r\n".encode(), {"b.dll": A, "c.dll": A, "d.dll": A},
     [f"error: module 'a.dll': its file has {SIZE} bytes, its size says "
      f"{SIZE - 1}", f"error: module 'b.dll': its file has {SIZE} bytes, "
      f"its size says {SIZE + 1}", "error: line 9: 'c.dll' has no size in "
      "decimal digits", "error: module 'c.dll' has no size",
      "error: module 'd.dll' has no size", "5 errors, 0 warnings"]),
    ("dotted version", b"[modules]\r\na.dll=6.5.3.0\r\n", {},
     ["warning: line 2: version '6.5.3.0' reads as 6"]),
    ("non-ASCII name without a BOM", "[modules]\r\nné.dll=5\r\n"
     .encode("utf-8"), {"né.dll": A}, ["is not ASCII, in a file without a "
                                       "byte-order mark"]),
    ("refused names", b"[modules]\r\n..\\a.dll=1\r\nCON.txt=1\r\n"
     b"ksupdate.lock=1\r\na.dll=1\r\na.dll=2\r\n", {},
     ["error: module '..\\\\a.dll' is refused: its component '..' leads out",
      "error: module 'CON.txt' is refused: its component 'CON.txt' is a "
      "device", "error: module 'ksupdate.lock' is refused: it is one of the "
      "run's own files", "warning: module 'a.dll' is listed twice"]),
    ("bad header", b"[patch]\r\nserial=7a\r\nexpires=soon\r\n[modules]\r\n"
     b"a.dll=1\r\n", {}, ["error: [patch] has no serial",
                          "error: [patch] expires=soon is not"]),
    # Each a value that clients refuse: a serial past 2^53, digits that are
    # not ASCII, a downgrade that says neither yes nor no.
    ("header past the client's rules", "[patch]\r\nserial=9007199254740993"
     "\r\ndowngrade=Yes\r\n[modules]\r\na.dll=1\r\n".encode(), {},
     ["error: [patch] has no serial of decimal digits up to "
      "9007199254740992", "error: [patch] downgrade=Yes is neither yes nor "
      "no"]),
    ("serial of Arabic-Indic digits", "\ufeff[patch]\r\nserial=\u0661\u0662"
     "\r\n[modules]\r\na.dll=1\r\n".encode(), {},
     ["error: [patch] has no serial"]),
]

# cp932 names whose second byte is '|' (ポ 83 7C), '\\' (表 95 5C) or a
# letter (ア 83 41), in an ANSI manifest; the files are named in UTF-8.
DBCS_NAMES = ("ポ.dll", "表.dll", "ア.dll")
DBCS_MANIFEST = "[modules]\r\nポ.dll|表.dll=2\r\nア.dll=1\r\n".encode("cp932")


def code_page_problems():
    """Without --code-page, checksums splits at the byte '|' and finds no
    file; with --code-page 932 it writes each key in cp932 and keeps the
    rest, and checkpatch finds every file and checksum (the names beyond
    ASCII are its only errors)."""
    work = tempfile.mkdtemp(prefix="kscheck-")
    try:
        for name in DBCS_NAMES:
            with open(os.path.join(work, name), "wb") as f:
                f.write(name.encode())
        manifest = os.path.join(work, "ksmodules.ver")
        with open(manifest, "wb") as f:
            f.write(DBCS_MANIFEST)
        run = [subprocess.run(
            [sys.executable, os.path.join(ROOT, "scripts", tool), *args,
             work], capture_output=True, text=True)
            for tool, args in (("checksums", []),
                               ("checksums", ["--code-page", "932"]),
                               ("checkpatch", ["--code-page=932"]))]
        with open(manifest, "rb") as f:
            written = f.read()
    finally:
        shutil.rmtree(work)
    sums = "".join(f"{name}={hashlib.sha256(name.encode()).hexdigest()}\r\n"
                   for name in DBCS_NAMES).encode("cp932")
    sizes = "".join(f"{name}={len(name.encode())}\r\n"
                    for name in DBCS_NAMES).encode("cp932")
    problems = []
    if run[0].returncode != 1 or "module '\\x83' in" not in run[0].stderr:
        problems.append(f"checksums without --code-page: {run[0]}")
    if run[1].returncode != 0 or \
            written != DBCS_MANIFEST + b"\r\n[sha256]\r\n" + sums + \
            b"\r\n[size]\r\n" + sizes:
        problems.append(f"checksums --code-page 932: {run[1]}, {written}")
    if run[2].returncode != 1 or "3 errors, 0 warnings" not in run[2].stdout:
        problems.append(f"checkpatch --code-page=932: {run[2].stdout}")
    return problems


def rewrite_problems():
    """checksums replaces the [sha256] and [size] sections wherever they
    were, in any case, with the sizes of the files as they are (an empty
    one, one of more than a read), keeps the rest, names in a warning each
    entry it drops for a module no longer listed (a name listed in another
    case is no such entry), and checkpatch passes the result."""
    large = b"f" * ((1 << 20) + 1)
    work = tempfile.mkdtemp(prefix="kscheck-")
    try:
        manifest = os.path.join(work, "ksmodules.ver")
        with open(manifest, "wb") as f:
            f.write(b"[size]\r\nA.DLL=1\r\n[modules]\r\na.dll=5\r\n"
                    b"e.dll|f.dll=1\r\n[SHA256]\r\na.dll=00\r\n"
                    b"gone.dll=11\r\n; a comment\r\n[Size]\r\ne.dll=4\r\n"
                    b"gone.dll=2\r\n[Modules]\r\n; kept\r\n")
        for name, data in (("a.dll", A), ("e.dll", b""), ("f.dll", large)):
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
        run = [subprocess.run(
            [sys.executable, os.path.join(ROOT, "scripts", tool), work],
            capture_output=True, text=True)
            for tool in ("checksums", "checkpatch")]
        with open(manifest, "rb") as f:
            written = f.read()
    finally:
        shutil.rmtree(work)
    expected = (f"[modules]\r\na.dll=5\r\ne.dll|f.dll=1\r\n[Modules]\r\n"
                f"; kept\r\n\r\n[sha256]\r\na.dll={SUM}\r\n"
                f"e.dll={hashlib.sha256(b'').hexdigest()}\r\n"
                f"f.dll={hashlib.sha256(large).hexdigest()}\r\n\r\n"
                f"[size]\r\na.dll={SIZE}\r\ne.dll=0\r\n"
                f"f.dll={len(large)}\r\n").encode()
    if run[0].returncode != 0 or written != expected:
        return [f"checksums over old sections: {run[0]}\n{written!r}"]
    dropped = "checksums: warning: [{}] entry 'gone.dll' is for no module " \
        "that [modules] lists: dropped\n"
    if run[0].stderr != dropped.format("sha256") + dropped.format("size"):
        return [f"checksums, the entries it drops: {run[0].stderr!r}"]
    if run[1].returncode != 0 or "0 errors, 0 warnings" not in run[1].stdout:
        return [f"checkpatch after checksums: {run[1].stdout}"]
    return []


KEYS = os.path.join(ROOT, "tests", "data", "keys")
WYCHEPROOF = os.path.join(ROOT, "tests", "data", "wycheproof")


ONE, TWO = signing.key_id("one"), signing.key_id("two")


def checkpatch_module():
    loader = importlib.machinery.SourceFileLoader(
        "checkpatch", os.path.join(ROOT, "scripts", "checkpatch"))
    module = importlib.util.module_from_spec(
        importlib.util.spec_from_loader("checkpatch", loader))
    loader.exec_module(module)
    return module


def pin_line(name):
    der = subprocess.run(["openssl", "pkey", "-in",
                          os.path.join(KEYS, name + ".pem"), "-pubout",
                          "-outform", "DER"], check=True,
                         capture_output=True).stdout
    return "ecdsa-p256:" + base64.b64encode(der).decode()


def wycheproof_problems():
    """checkpatch's own verification against the vectors that the
    program's is checked with: every valid one taken, every invalid one
    refused."""
    checkpatch = checkpatch_module()
    problems, count = [], 0
    for name in ("ecdsa_secp256r1_sha256_test.json",
                 "ecdsa_secp256r1_sha256_p1363_test.json"):
        with open(os.path.join(WYCHEPROOF, name)) as f:
            groups = json.load(f)["testGroups"]
        for group in groups:
            point = checkpatch.parse_key("ecdsa-p256:" + base64.b64encode(
                bytes.fromhex(group["publicKey"]["uncompressed"])).decode())
            for test in group["tests"]:
                if test["result"] == "acceptable":
                    continue
                count += 1
                message = bytes.fromhex(test["msg"])
                verified = point is not None and any(
                    checkpatch.verify(point, message, r, s) for r, s in
                    checkpatch.parse_signatures(bytes.fromhex(test["sig"])))
                if verified != (test["result"] == "valid"):
                    problems.append(f"{name} case {test['tcId']}: "
                                    f"{test['comment']}")
    return problems, count


def signed_problems():
    """checkpatch --key on a patch signed by openssl, then edited, signed by
    another key, signed with RSA, or without its signature or its sizes;
    and --threshold on patches signed by several keys, or by one twice."""
    work = tempfile.mkdtemp(prefix="kscheck-")
    # The RSA key beside the patch, not in it.
    rsa = work + ".rsa.pem"
    problems = []
    try:
        manifest = os.path.join(work, "ksmodules.ver")
        with open(os.path.join(work, "a.dll"), "wb") as f:
            f.write(A)
        body = (f"[patch]\r\nserial=3\r\n[modules]\r\na.dll=5\r\n"
                f"[sha256]\r\na.dll={SUM}\r\n[size]\r\na.dll={SIZE}\r\n"
                ).encode()
        subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-out",
                        rsa], check=True, capture_output=True)

        def run(key_file, manifest_bytes, *pins, sign=True, more=(),
                args=()):
            # `more`: (suffix, key file, as r||s) of further signatures.
            with open(manifest, "wb") as f:
                f.write(body)
            for suffix in (".sig", ".sig2", ".sig3", ".sig4"):
                if os.path.exists(manifest + suffix):
                    os.remove(manifest + suffix)
            for suffix, signer, raw in ((".sig", key_file, False),) * sign + \
                    tuple(more):
                der = subprocess.run(["openssl", "dgst", "-sha256", "-sign",
                                      signer, manifest], check=True,
                                     capture_output=True).stdout
                with open(manifest + suffix, "wb") as f:
                    f.write(signing.der_to_raw(der) if raw else der)
            with open(manifest, "wb") as f:
                f.write(manifest_bytes)
            return subprocess.run(
                [sys.executable, os.path.join(ROOT, "scripts", "checkpatch"),
                 *[f"--key={pin}" for pin in pins], *args, work],
                capture_output=True, text=True)

        one, two = (os.path.join(KEYS, n + ".pem") for n in ("one", "two"))
        cases = [
            ("signed", run(one, body, pin_line("two"), pin_line("one")), 0,
             "signed: by ecdsa-p256:0cf120a79f668f1d"),
            ("edited", run(one, body.replace(b"a.dll=5", b"a.dll=6"),
                           pin_line("one")), 1,
             "is no signature of the manifest's bytes by a pinned key"),
            ("another key", run(two, body, pin_line("one")), 1,
             "is no signature of the manifest's bytes by a pinned key"),
            ("RSA", run(rsa, body, pin_line("one")), 1,
             "is no ECDSA P-256 signature (DER or r||s)"),
            ("unsigned", run(one, b"[modules]\r\na.dll=5\r\n",
                             pin_line("one"), sign=False), 1,
             "no [sha256] section"),
            ("bad pin", run(one, body, "ecdsa-p256:AAAA"), 2, ""),
            ("no [size]", run(one, body.split(b"[size]")[0],
                              pin_line("one")), 1, "no [size] section"),
            # .sig2 as .NET's SignData writes it: r||s.
            ("two keys, --threshold 2",
             run(one, body, pin_line("one"), pin_line("two"),
                 more=[(".sig2", two, True)], args=["--threshold", "2"]), 0,
             f"signed: by {ONE}, {TWO}\n"),
            ("one signature, --threshold 2",
             run(one, body, pin_line("one"), pin_line("two"),
                 args=["--threshold=2"]), 1,
             "signed by 1 of the keys given, fewer than --threshold 2"),
            ("one key twice, --threshold 2",
             run(one, body, pin_line("one"), pin_line("two"),
                 more=[(".sig3", one, False)], args=["--threshold", "2"]), 1,
             f"ksmodules.ver.sig3 is another signature by {ONE}: a key "
             "counts once"),
            # Older clients read ksmodules.ver.sig only.
            ("the first by another key",
             run(two, body, pin_line("one"), more=[(".sig2", one, False)]),
             1, "error: ksmodules.ver.sig is no signature of the manifest's"),
            ("no first signature",
             run(one, body, pin_line("one"), sign=False,
                 more=[(".sig2", one, False)]), 1,
             "error: no ksmodules.ver.sig: older clients"),
            ("a further one by a key not given",
             run(one, body, pin_line("one"), more=[(".sig4", two, False)]),
             0, "warning: ksmodules.ver.sig4 is no signature of the"),
            ("--threshold above the keys given",
             run(one, body, pin_line("one"), pin_line("one"),
                 args=["--threshold", "2"]), 2, "more than the 1 keys given"),
            ("--threshold 5", run(one, body, pin_line("one"),
                                  args=["--threshold", "5"]), 2, "not 1 to 4"),
        ]
        for what, result, status, line in cases:
            if result.returncode != status or \
                    line not in result.stdout + result.stderr:
                problems.append(f"--key, {what}: status {result.returncode}"
                                f"\n{result.stdout}{result.stderr}")
        unsigned = cases[4][1].stdout
        if "error: no ksmodules.ver.sig" not in unsigned or \
                "no [patch] header" not in unsigned or \
                "no [size] section" not in unsigned:
            problems.append(f"--key, unsigned: {unsigned}")
    finally:
        shutil.rmtree(work)
        if os.path.exists(rsa):
            os.remove(rsa)
    return problems


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(ksupdate VERSION ([0-9.]+)",
                         f.read()).group(1)


def snapshot(directory):
    """Every file below `directory`, with its bytes."""
    found = {}
    for dirpath, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(dirpath, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    found[path] = f.read()
    return found


def command_line_problems():
    """Each patch script: --help prints its usage on standard output and
    --version its name and the project's version, both with status 0; a
    missing operand or one too many, a PATCH that does not exist or cannot
    be read, a file given for the patch directory and a directory for the
    manifest, a bad option: each is one line on standard error with status
    2, and changes nothing."""
    problems = []
    version = project_version()
    work = tempfile.mkdtemp(prefix="kscheck-")
    try:
        patch = os.path.join(work, "patch")
        os.mkdir(patch)
        for name, data in (("ksmodules.ver", b"[modules]\r\na.dll=5\r\n"),
                           ("a.dll", A)):
            with open(os.path.join(patch, name), "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(work, "folder", "ksmodules.ver"))
        os.mkdir(os.path.join(work, "empty"))
        os.mkdir(os.path.join(work, "dangling"))
        os.symlink("nowhere", os.path.join(work, "dangling", "ksmodules.ver"))
        # A FIFO would hang a script that opens it to read.
        os.mkdir(os.path.join(work, "fifo"))
        os.mkfifo(os.path.join(work, "fifo", "ksmodules.ver"))
        key = os.path.join(work, "key.pem")
        shutil.copy(signing.key_path("one"), key)
        os.chmod(key, 0o600)

        def run(tool, *args):
            command = [sys.executable, os.path.join(ROOT, "scripts", tool),
                       *args]
            try:
                return subprocess.run(command, capture_output=True,
                                      text=True, cwd=work, timeout=30)
            except subprocess.TimeoutExpired:
                return subprocess.CompletedProcess(command, None, "",
                                                   "no answer in 30 s")

        mistakes = [[], ["patch", "patch"], ["patchh"],
                    [os.path.join("patchh", "ksmodules.ver")], ["empty"],
                    [os.path.join("patch", "a.dll")], ["folder"],
                    ["dangling"], ["fifo"], ["--code-page", "1", "patch"],
                    ["--codepage", "932", "patch"]]
        for tool in ("checksums", "checkpatch", "sign"):
            # sign takes KEY first; the mistakes of KEY are sign_test's.
            words = ["key.pem"] if tool == "sign" else []
            result = run(tool, "--help")
            if result.returncode != 0 or result.stderr or \
                    not re.search(rf"^Usage:\s+scripts/{tool} ", result.stdout,
                                  re.M):
                problems.append(f"{tool} --help: {result}")
            result = run(tool, "--version")
            if result.returncode != 0 or result.stderr or \
                    result.stdout != f"{tool} {version}\n":
                problems.append(f"{tool} --version: {result}")
            for args in mistakes:
                if tool == "sign" and "--code-page" in args:
                    continue
                before = snapshot(work)
                result = run(tool, *words, *args)
                if result.returncode != 2 or result.stdout or \
                        not re.fullmatch(rf"{tool}: [^\n]+\n", result.stderr) \
                        or snapshot(work) != before:
                    problems.append(f"{tool} {' '.join(args)}: status "
                                    f"{result.returncode}, {result.stdout!r}"
                                    f", {result.stderr!r}")
    finally:
        shutil.rmtree(work)
    return problems


def format_problems(path=os.path.join(ROOT, "scripts", "checksums")):
    """The names and bounds of a manifest in the patch scripts' module at
    `path` against tests/data/manifest_format.json, which the program's
    own are checked against too."""
    loader = importlib.machinery.SourceFileLoader("checksums", path)
    checksums = importlib.util.module_from_spec(
        importlib.util.spec_from_loader("checksums", loader))
    loader.exec_module(checksums)
    with open(os.path.join(ROOT, "tests", "data", "manifest_format.json"),
              encoding="utf-8") as f:
        stated = json.load(f)
    sections = stated["sections"]
    stated["sections"] = list(sections.values())
    stated["header"] = sections["header"]
    stated["written"] = [sections["checksums"], sections["sizes"]]
    theirs = {
        "manifest": checksums.MANIFEST,
        "sections": list(checksums.SECTIONS),
        "header": checksums.HEADER,
        "written": list(checksums.WRITTEN),
        "header_keys": list(checksums.HEADER_KEYS),
        "downgrade_values": list(checksums.DOWNGRADE_VALUES),
        "max_serial": checksums.MAX_SERIAL,
        "signature_files": list(checksums.SIGNATURES),
        "max_signature_bytes": checksums.MAX_SIGNATURE_BYTES,
    }
    return [f"{key}: the scripts say {value!r}, the statement "
            f"{stated[key]!r}" for key, value in theirs.items()
            if stated[key] != value]


def stamped_problems(stamped):
    """The scripts' module as packaging stamps it (`stamped`, the build's
    copy), alone in a directory: it still has the statement's names. The
    source tree's copy alone there ends in one line, having none."""
    work = tempfile.mkdtemp(prefix="kscheck-")
    try:
        alone = os.path.join(work, "stamped", "checksums")
        os.makedirs(os.path.dirname(alone))
        shutil.copy(stamped, alone)
        try:
            problems = [f"{stamped}: {p}" for p in format_problems(alone)]
        except SystemExit as why:
            problems = [f"{stamped}: {why}"]
        alone = os.path.join(work, "unstamped", "checksums")
        os.makedirs(os.path.dirname(alone))
        shutil.copy(os.path.join(ROOT, "scripts", "checksums"), alone)
        result = subprocess.run([sys.executable, alone, "--help"],
                                capture_output=True, text=True)
        if result.returncode != 1 or result.stdout or not re.fullmatch(
                r"checksums: [^\n]*manifest_format\.json: [^\n]+\n",
                result.stderr):
            problems.append(f"unstamped, alone: status {result.returncode}, "
                            f"{result.stdout!r}, {result.stderr!r}")
    finally:
        shutil.rmtree(work)
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stamped", metavar="CHECKSUMS",
                        help="the build's stamped copy of scripts/checksums, "
                        "checked too")
    args = parser.parse_args()
    failed = 0
    for what, manifest, files, expected in CASES:
        work = tempfile.mkdtemp(prefix="kscheck-")
        try:
            files = dict(files, **{"ksmodules.ver": manifest})
            files.setdefault("a.dll", A)
            for name, data in files.items():
                with open(os.path.join(work, name), "wb") as f:
                    f.write(data)
            result = subprocess.run(
                [sys.executable, os.path.join(ROOT, "scripts", "checkpatch"),
                 work], capture_output=True, text=True)
        finally:
            shutil.rmtree(work)
        missing = [e for e in expected if e not in result.stdout]
        status = 0 if what in ("clean", "dotted version") else 1
        if missing or result.returncode != status:
            failed += 1
            print(f"FAIL {what}: status {result.returncode}, missing "
                  f"{missing}\n{result.stdout}")
        else:
            print(f"PASS {what}")
    problems = code_page_problems()
    print("\n".join(f"FAIL {p}" for p in problems) or "PASS code page 932")
    rewritten = rewrite_problems()
    print("\n".join(f"FAIL {p}" for p in rewritten) or
          "PASS checksums replaces [sha256] and [size] wherever they were")
    problems += rewritten
    signed = signed_problems()
    print("\n".join(f"FAIL {p}" for p in signed) or
          "PASS --key: signed, edited, another key, RSA, unsigned, bad pin, "
          "no sizes; --threshold: two keys, one, one twice, the first by "
          "another key, none first, one not given, bad values")
    usage = command_line_problems()
    print("\n".join(f"FAIL {p}" for p in usage) or
          "PASS checksums, checkpatch, sign: --help, --version; no PATCH, "
          "two, typos, a directory without the manifest, a module, a "
          "manifest that is a directory, a dangling link or a FIFO, bad "
          "options")
    problems += usage
    facts = format_problems()
    print("\n".join(f"FAIL {p}" for p in facts) or
          "PASS the scripts' manifest names and bounds are the statement's")
    problems += facts
    if args.stamped:
        stamped = stamped_problems(args.stamped)
        print("\n".join(f"FAIL {p}" for p in stamped) or
              "PASS the stamped scripts have the statement's names alone; "
              "the unstamped say they have none")
        problems += stamped
    vectors, count = wycheproof_problems()
    print("\n".join(f"FAIL {p}" for p in vectors) or
          f"PASS --key's verification: {count} Wycheproof cases")
    return 1 if failed or problems or signed or vectors else 0


if __name__ == "__main__":
    sys.exit(main())
