#!/usr/bin/env python3
"""The signing commands that docs/manifests.md shows, run as shown on a
scratch patch: scripts/sign's forms, then openssl's, each signature
checked against the key line printed to pin it; then what a writer of the
share may try, and what signing and co-signing must refuse or leave; a
key that others may read, a KEY that names no file, entries for no module
that signing drops."""

import base64
import contextlib
import errno
import hashlib
import importlib.machinery
import importlib.util
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile

import signing

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__))))


def block_after(text, heading, start):
    """The first ```sh block after `heading`, from offset `start`."""
    at = text.index(heading, start)
    begin = text.index("```sh\n", at) + len("```sh\n")
    return text[begin:text.index("```", begin)], begin


def verify(work, line, manifest, suffix=".sig"):
    """The signature beside `manifest` (manifest + suffix) is the pinned
    key's."""
    der = base64.b64decode(line.split(":", 1)[1])
    pem = os.path.join(work, "pinned.pem")
    with open(pem, "wb") as f:
        f.write(b"-----BEGIN PUBLIC KEY-----\n" + base64.encodebytes(der) +
                b"-----END PUBLIC KEY-----\n")
    subprocess.run(["openssl", "dgst", "-sha256", "-verify", pem,
                    "-signature", manifest + suffix, manifest], check=True,
                   capture_output=True)


def run_block(block, work, subst):
    for old, new in subst.items():
        block = block.replace(old, new)
    return subprocess.run(["bash", "-euo", "pipefail", "-c", block], cwd=work,
                          check=True, capture_output=True, text=True).stdout


SIGN = os.path.join(ROOT, "scripts", "sign")
CHECKPATCH = os.path.join(ROOT, "scripts", "checkpatch")
KEY_ONE = signing.key_path("one")
MODULE = b"module a\n"
REBUILT = b"module a, rebuilt\n"
PLAIN = b"[modules]\r\na.dll=5\r\n"


def snapshot(directory):
    """Every entry below `directory`: kind, bytes or target, mode."""
    entries = {}
    for dirpath, dirs, files in os.walk(directory):
        for name in dirs + files:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            if os.path.islink(path):
                what = ("link", os.readlink(path))
            elif os.path.isdir(path):
                what = ("dir", None)
            else:
                with open(path, "rb") as f:
                    what = ("file", f.read())
            entries[os.path.relpath(path, directory)] = what + (st.st_mode,)
    return entries


class Bench:
    """A scratch patch of one module, and copies of test keys one and two
    that only their owner may read, as sign wants them."""

    def __init__(self, work, manifest=PLAIN):
        self.work = work
        self.patch = os.path.join(work, "patch")
        os.mkdir(self.patch, 0o755)
        self.write("ksmodules.ver", manifest)
        self.write("a.dll", MODULE)
        self.key = os.path.join(work, "key.pem")
        shutil.copy(KEY_ONE, self.key)
        os.chmod(self.key, 0o600)
        self.two = os.path.join(work, "two.pem")
        shutil.copy(signing.key_path("two"), self.two)
        os.chmod(self.two, 0o600)

    def write(self, name, data):
        with open(os.path.join(self.patch, name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(os.path.join(self.patch, name), "rb") as f:
            return f.read()

    def sign(self, *args, env=None):
        return subprocess.run([sys.executable, SIGN, self.key, self.patch,
                               *args], capture_output=True, text=True,
                              env=env)

    def add(self, key):
        return subprocess.run([sys.executable, SIGN, "--add", key,
                               self.patch], capture_output=True, text=True)

    def new_key(self, name):
        """A key of its own in the work directory, and its pin line."""
        key = os.path.join(self.work, name + ".pem")
        out = subprocess.run([sys.executable, SIGN, "--new-key", key],
                             check=True, capture_output=True,
                             text=True).stdout
        return key, out.strip()

    def checkpatch(self, *args):
        return subprocess.run([sys.executable, CHECKPATCH, *args,
                               self.patch], capture_output=True, text=True)


def public_line(key):
    der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout",
                          "-outform", "DER"], check=True,
                         capture_output=True).stdout
    return "ecdsa-p256:" + base64.b64encode(der).decode()


def sign_module():
    """scripts/sign loaded here, for faults injected where no command can
    reach."""
    loader = importlib.machinery.SourceFileLoader("sign", SIGN)
    module = importlib.util.module_from_spec(
        importlib.util.spec_from_loader("sign", loader))
    loader.exec_module(module)
    return module


def several_cases():
    """(what, run) of the cases of --add and of signing anew: run(work)
    returns what went wrong, or None."""

    def co_sign(work):
        # One signature does not meet --threshold 2; --add of a second key
        # does, and changes neither the manifest nor the first signature.
        bench = Bench(work)
        result = bench.sign()
        manifest = bench.read("ksmodules.ver")
        if result.returncode != 0 or b"\r\n[size]\r\na.dll=9\r\n" not in \
                manifest:
            return f"signing: {result.stderr}{manifest!r}"
        first = bench.read("ksmodules.ver.sig")
        pins = ["--key", public_line(bench.key), "--key",
                public_line(signing.key_path("two"))]
        alone = bench.checkpatch(*pins, "--threshold", "2")
        if alone.returncode != 1 or "fewer than --threshold 2" not in \
                alone.stdout:
            return f"one signature passed --threshold 2: {alone.stdout}"
        result = bench.add(bench.two)
        if result.returncode != 0 or \
                f"key {signing.key_id('two')}" not in result.stdout or \
                "2 signatures" not in result.stdout:
            return f"--add: {result.stdout}{result.stderr}"
        if bench.read("ksmodules.ver") != manifest or \
                bench.read("ksmodules.ver.sig") != first:
            return "--add changed the manifest or its first signature"
        verify(work, pins[3], os.path.join(bench.patch, "ksmodules.ver"),
               ".sig2")
        both = bench.checkpatch(*pins, "--threshold", "2")
        if both.returncode != 0 or f"signed: by {signing.key_id('one')}, " \
                f"{signing.key_id('two')}\n" not in both.stdout:
            return f"two signatures: {both.stdout}"
        return None

    def refusals(work):
        # Each refusal leaves the patch as it was.
        bench = Bench(work)
        two = bench.two
        three, _ = bench.new_key("three")
        four, _ = bench.new_key("four")
        five, _ = bench.new_key("five")

        def refused(key, said):
            before = snapshot(bench.patch)
            result = bench.add(key)
            if result.returncode == 0 or said not in result.stderr:
                return f"{said}: status {result.returncode}: " \
                    f"{result.stdout}{result.stderr}"
            return "the patch changed" if snapshot(bench.patch) != before \
                else None

        def added(key):
            result = bench.add(key)
            return None if result.returncode == 0 else result.stderr

        def rebuilt(data):
            bench.write("a.dll", data)

        def sha256(data):
            return hashlib.sha256(data).hexdigest()

        steps = [
            lambda: refused(two, "has no ksmodules.ver.sig"),
            lambda: bench.sign().returncode and "signing failed",
            lambda: refused(bench.key, "signed the manifest already "
                            "(ksmodules.ver.sig)"),
            lambda: added(two),
            lambda: refused(two, "signed the manifest already "
                            "(ksmodules.ver.sig2)"),
            lambda: rebuilt(REBUILT),
            lambda: refused(three, "module 'a.dll' is not what the "
                            "manifest's [sha256] and [size] vouch for "
                            f"([sha256] says {sha256(MODULE)}, the file's "
                            f"is {sha256(REBUILT)}; [size] says "
                            f"{len(MODULE)}, the file has {len(REBUILT)} "
                            "bytes)"),
            lambda: rebuilt(MODULE),
            lambda: added(three),
            lambda: added(four),
            lambda: refused(five, "has 4 signatures already"),
        ]
        for number, step in enumerate(steps):
            why = step()
            if why:
                return f"step {number}: {why}"
        return None

    def planted(work):
        # A link where the next signature goes: nothing is written through
        # it, nor beside it.
        bench = Bench(work)
        if bench.sign().returncode:
            return "signing failed"
        os.symlink(bench.key, os.path.join(bench.patch, "ksmodules.ver.sig2"))
        with open(bench.key, "rb") as f:
            key_before = f.read()
        before = snapshot(bench.patch)
        result = bench.add(bench.two)
        with open(bench.key, "rb") as f:
            key_after = f.read()
        if result.returncode == 0 or "is a link" not in result.stderr:
            return f"status {result.returncode}: {result.stderr}"
        if key_after != key_before or snapshot(bench.patch) != before:
            return "the key or the patch changed"
        return None

    def signed_anew(work):
        # The second key signed the bytes before; signing anew drops it.
        bench = Bench(work)
        bench.sign()
        if bench.add(bench.two).returncode:
            return "--add failed"
        bench.write("a.dll", REBUILT)
        result = bench.sign()
        if result.returncode != 0 or "removed ksmodules.ver.sig2" not in \
                result.stdout:
            return f"status {result.returncode}: {result.stdout}" \
                f"{result.stderr}"
        if os.path.lexists(os.path.join(bench.patch, "ksmodules.ver.sig2")):
            return "ksmodules.ver.sig2 is still there"
        check = bench.checkpatch("--key", public_line(bench.key))
        return None if check.returncode == 0 else check.stdout

    def late_faults(work):
        # A fault after the first write: signing anew puts back the
        # manifest and every signature it removed, --add removes what it
        # wrote.
        bench = Bench(work)
        bench.sign()
        bench.add(bench.two)
        third, _ = bench.new_key("three")
        sign = sign_module()
        replace, read = sign.PatchDir.replace, sign.PatchDir.read

        def misread(self, parts):
            if parts != ["ksmodules.ver.sig3"]:
                return read(self, parts)
            reached.append("--add")
            return b"\0" * 64

        def failing(self, name, *rest):
            if name == "ksmodules.ver.sig" and "signing anew" not in reached:
                reached.append("signing anew")
                raise OSError(errno.EIO, "injected", name)
            return replace(self, name, *rest)

        reached = []
        for what, method, fault, argv, error in (
                ("--add", "read", misread,
                 ["sign", "--add", third, bench.patch], sign.Refused),
                ("signing anew", "replace", failing,
                 ["sign", bench.key, bench.patch], OSError)):
            if what == "signing anew":
                bench.write("a.dll", REBUILT)
            before = snapshot(bench.patch)
            setattr(sign.PatchDir, method, fault)
            try:
                with contextlib.redirect_stdout(io.StringIO()):
                    sign.main(argv)
                return f"{what}: no fault"
            except error:
                pass
            finally:
                sign.PatchDir.replace, sign.PatchDir.read = replace, read
            if what not in reached:
                return f"{what}: refused before the fault"
            if snapshot(bench.patch) != before:
                return f"{what}: the patch changed"
        return None

    def exposed_key(work):
        # Whoever may read the key may sign what the clients trust: a key
        # group or others may read is refused, for signing and for --add,
        # and the patch stays as it was.
        bench = Bench(work)
        for mode in (0o640, 0o604):
            os.chmod(bench.key, mode)
            before = snapshot(bench.patch)
            for result in (bench.sign(), bench.add(bench.key)):
                if result.returncode != 1 or \
                        f"{bench.key} may be read by group or others (mode " \
                        f"{mode:04o})" not in result.stderr or \
                        snapshot(bench.patch) != before:
                    return f"mode {mode:o}: status {result.returncode}: " \
                        f"{result.stderr}"
        os.chmod(bench.key, 0o600)
        return bench.sign().stderr or None

    def no_key(work):
        # A KEY that names no file, a directory, a new key's directory
        # that is not there: one line, status 2, nothing written.
        bench = Bench(work)
        before = snapshot(work)
        for args in ([os.path.join(work, "keey.pem"), bench.patch],
                     [work, bench.patch], ["--add", work, bench.patch],
                     ["--new-key", os.path.join(work, "keys", "new.pem")],
                     [bench.key], ["--new-key", bench.key, bench.patch]):
            result = subprocess.run([sys.executable, SIGN, *args],
                                    capture_output=True, text=True)
            if result.returncode != 2 or result.stdout or \
                    not re.fullmatch(r"sign: [^\n]+\n", result.stderr) or \
                    snapshot(work) != before:
                return f"{args}: status {result.returncode}: " \
                    f"{result.stdout!r} {result.stderr!r}"
        return None

    def dropped(work):
        # Entries for modules no longer listed are named as they go.
        bench = Bench(work, PLAIN + b"[sha256]\r\nA.DLL=00\r\nold.dll=00\r\n"
                      b"[size]\r\nold.dll=1\r\n")
        result = bench.sign()
        said = "sign: warning: [{}] entry 'old.dll' is for no module that " \
            "[modules] lists: dropped\n"
        if result.returncode != 0 or \
                result.stderr != said.format("sha256") + said.format("size") \
                or b"old.dll" in bench.read("ksmodules.ver"):
            return f"status {result.returncode}: {result.stderr!r}"
        return None

    return [("--add of a second key meets --threshold 2", co_sign),
            ("--add refused: unsigned, a key that signed, a module changed, "
             "four signatures", refusals),
            ("ksmodules.ver.sig2 planted as a link to the key", planted),
            ("signing anew removes the other keys' signatures", signed_anew),
            ("a fault after the first write leaves the patch as it was",
             late_faults),
            ("a key that group or others may read is refused", exposed_key),
            ("a KEY that names no file, a directory, no directory for a "
             "new key; one operand, three", no_key),
            ("signing names the [sha256] and [size] entries it drops",
             dropped)]


def attack_problems():
    """What a writer of the share tried against the publisher's signing,
    and what a signing that fails must leave: each case a problem when it
    got through."""
    problems = []

    def case(what, run):
        work = tempfile.mkdtemp(prefix="kssign-")
        try:
            why = run(work)
        except Exception as error:  # a case that breaks is a failed case
            why = f"{type(error).__name__}: {error}"
        finally:
            shutil.rmtree(work)
        print(f"FAIL {what}: {why}" if why else f"PASS {what}")
        if why:
            problems.append(what)

    def swap(work):
        # openssl swaps the manifest and the module as it is asked to
        # sign: what it signs must be what was read, and what ends up on
        # disk must be what was signed.
        bench = Bench(work)
        fake = os.path.join(work, "bin")
        os.mkdir(fake)
        with open(os.path.join(fake, "openssl"), "w") as f:
            f.write("#!/bin/sh\n"
                    "case \" $* \" in *\" -sign \"*)\n"
                    f"  printf '[modules]\\r\\nevil.dll=9\\r\\n' > "
                    f"'{bench.patch}/ksmodules.ver'\n"
                    f"  printf evil > '{bench.patch}/a.dll';;\nesac\n"
                    f"exec {shutil.which('openssl')} \"$@\"\n")
        os.chmod(os.path.join(fake, "openssl"), 0o755)
        env = dict(os.environ, PATH=fake + os.pathsep + os.environ["PATH"])
        result = bench.sign(env=env)
        if result.returncode != 0:
            return result.stderr
        manifest = bench.read("ksmodules.ver")
        verify(work, public_line(bench.key),
               os.path.join(bench.patch, "ksmodules.ver"))
        digest = hashlib.sha256(MODULE).hexdigest().encode()
        if b"evil" in manifest or b"a.dll=" + digest not in manifest:
            return f"signed {manifest!r}"
        return None

    def planted_link(name, target_is_key):
        def run(work):
            bench = Bench(work)
            target = bench.key if target_is_key else \
                os.path.join(work, "elsewhere.ver")
            if not target_is_key:
                with open(target, "wb") as f:
                    f.write(PLAIN)
            with open(target, "rb") as f:
                before_target = f.read()
            os.remove(os.path.join(bench.patch, name)) if \
                os.path.exists(os.path.join(bench.patch, name)) else None
            os.symlink(target, os.path.join(bench.patch, name))
            before = snapshot(bench.patch)
            result = bench.sign()
            with open(target, "rb") as f:
                after_target = f.read()
            if result.returncode == 0 or "is a link" not in result.stderr:
                return f"status {result.returncode}: {result.stderr}"
            if after_target != before_target:
                return f"{target} changed"
            if snapshot(bench.patch) != before:
                return "the patch changed"
            return None
        return run

    def serials(work):
        # The share's serial counts for nothing; the key's counter does.
        bench = Bench(work, b"[patch]\r\nserial=9007199254740991\r\n" +
                      PLAIN)
        for expected in (b"serial=1", b"serial=2"):
            result = bench.sign()
            if result.returncode != 0 or \
                    bench.read("ksmodules.ver").split(b"\r\n")[1] != expected:
                return f"wanted {expected}: {result.stderr}" \
                    f"{bench.read('ksmodules.ver')!r}"
        counter = bench.key + ".serial"
        with open(counter) as f:
            kept = f.read()
        if kept != "2\n" or os.stat(counter).st_mode & 0o077:
            return f"counter {kept!r}, mode {os.stat(counter).st_mode:o}"
        before = snapshot(bench.patch)
        for args, status in ((["--serial", "2"], 1),
                             (["--serial", str(2 ** 53 + 1)], 2)):
            result = bench.sign(*args)
            if result.returncode != status or snapshot(bench.patch) != before:
                return f"{args}: status {result.returncode}"
        if bench.sign("--serial", "40").returncode != 0 or \
                b"serial=40" not in bench.read("ksmodules.ver"):
            return "--serial 40 not taken"
        return None

    def failed_signing(work):
        # A signing that fails (openssl reads no key) leaves the patch as
        # it was.
        bench = Bench(work)
        bench.sign()
        bench.write("a.dll", REBUILT)
        before = snapshot(bench.patch)
        with open(bench.key, "w") as f:
            f.write("no key\n")
        result = bench.sign()
        if result.returncode != 1 or "openssl" not in result.stderr or \
                snapshot(bench.patch) != before:
            return f"status {result.returncode}; patch changed: " \
                f"{snapshot(bench.patch) != before}"
        return None

    def others(work):
        # A directory others may write, or (as root) a module another user
        # owns, is the share's, not the publisher's.
        bench = Bench(work)
        before = snapshot(bench.patch)
        os.chmod(bench.patch, 0o777)
        result = bench.sign()
        os.chmod(bench.patch, 0o755)
        if result.returncode == 0 or "written by others" not in result.stderr:
            return f"0777: status {result.returncode}: {result.stderr}"
        if os.geteuid() == 0:
            os.chown(os.path.join(bench.patch, "a.dll"), 65534, 65534)
            before = snapshot(bench.patch)
            result = bench.sign()
            if result.returncode == 0 or "another user" not in result.stderr:
                return f"owner: status {result.returncode}: {result.stderr}"
        if snapshot(bench.patch) != before:
            return "the patch changed"
        return None

    case("a swap of manifest and module while it signs", swap)
    case("ksmodules.ver.sig planted as a link to the key",
         planted_link("ksmodules.ver.sig", True))
    case("ksmodules.ver a link", planted_link("ksmodules.ver", False))
    case("the serial is the key's, not the share's", serials)
    case("a failed signing leaves the patch as it was", failed_signing)
    case("a patch others may write, a module of another user", others)
    for what, run in several_cases():
        case(what, run)
    return problems


def main():
    with open(os.path.join(ROOT, "docs", "manifests.md")) as f:
        text = f.read()
    signing = text.index("### Signing")
    work = tempfile.mkdtemp(prefix="kssign-")
    try:
        patch = os.path.join(work, "patch")
        os.mkdir(patch)
        with open(os.path.join(patch, "ksmodules.ver"), "wb") as f:
            f.write(b"[modules]\r\na.dll=5\r\n")
        with open(os.path.join(patch, "a.dll"), "wb") as f:
            f.write(b"module a\n")
        published = os.path.join(work, "published")
        os.mkdir(published)
        script, at = block_after(text, "scripts/sign", signing)
        out = run_block(script, work, {
            "scripts/sign": os.path.join(ROOT, "scripts", "sign"),
            "~/patch": patch, "/srv/patch": published})
        verify(work, re.search(r"^ecdsa-p256:\S+$", out, re.M).group(0),
               os.path.join(published, "ksmodules.ver"))
        line = re.search(r"^ecdsa-p256:\S+$", out, re.M).group(0)
        manifest = os.path.join(patch, "ksmodules.ver")
        verify(work, line, manifest)
        with open(manifest, "rb") as f:
            header = f.read().split(b"\r\n")[:3]
        assert header[0] == b"[patch]" and header[1] == b"serial=1", header
        print(f"scripts/sign: {header[1].decode()}, {header[2].decode()}; "
              "signature verified")
        os.remove(os.path.join(work, "publisher.pem"))
        openssl, _ = block_after(text, "With openssl", at)
        out = run_block(openssl, work, {})
        verify(work, out.strip(), manifest)
        print("openssl: signature verified")
        several = text.index("#### Several signatures")
        script, at = block_after(text, "scripts/sign --add", several)
        out = run_block(script, work, {
            "scripts/sign": os.path.join(ROOT, "scripts", "sign"),
            "~/patch": patch})
        second = re.search(r"^ecdsa-p256:\S+$", out, re.M).group(0)
        verify(work, second, manifest, ".sig2")
        print("scripts/sign --add: signature verified")
        os.remove(manifest + ".sig2")
        openssl, _ = block_after(text, "with openssl", at)
        run_block(openssl, work, {})
        verify(work, second, manifest, ".sig2")
        print("openssl, a second signature: verified")
    finally:
        shutil.rmtree(work)
    return 1 if attack_problems() else 0


if __name__ == "__main__":
    sys.exit(main())
