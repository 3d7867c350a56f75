"""What the crash suites share: the installation they update (its
modules, manifests and prefix), the checks of what a run leaves, and their
scratch directories.

make_modules() gives over 50 modules of a few KiB to a few MiB (27 with
`few`): some replaced (read-only ones, one in a subfolder, one spelt
otherwise on disk), some new (one with a stale record), some up to date,
and some whose patch file is missing (unless a patch with checksums). An Installation is a prefix of its
own with those modules installed and the patch beside them; check_state()
says what is wrong with its bin directory, its client.ver and everything
outside bin after a run, killed or not.
"""

import hashlib
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_scenarios import parse_profile  # noqa: E402
from wine_prefix import make_prefix  # noqa: E402
import signing  # noqa: E402

INSTALL_DIR = "Program Files\\Kestrova\\Plennet Groupware 6.5\\Client"
TEMP_PREFIX = ".ksupdate-"
# The run's lock, which it may leave in bin, empty.
LOCK_FILE = "ksupdate.lock"
RUN_TIMEOUT = 60
KIB = 1024
MIB = 1024 * KIB
# client.ver's other section, which no write may touch.
OTHER_SECTION = [b"[client]", b"language=en", b"; kept as it is"]


class Module:
    """One module: what bin and the patch hold before the run, and what the
    update must make of it."""

    def __init__(self, name, kind, size, rng, disk_name=None,
                 old_record=None, new_record="1", mode=0o644):
        self.name = name                 # as the manifests spell it
        self.disk = (disk_name or name).replace("\\", "/")  # in bin
        self.kind = kind  # "replaced", "new", "current" or "broken"
        self.old = None if kind == "new" else rng.randbytes(size)
        # A new version differs from the old one in its size too, so that a
        # file cut short is never mistaken for either.
        self.new = None if kind == "broken" else rng.randbytes(
            size + rng.randrange(1, 4 * KIB))
        self.old_record = old_record
        self.new_record = new_record
        self.mode = mode
        self.changes = kind in ("replaced", "new")


def make_modules(rng, few=False, broken=True):
    """The installation's modules; `few`: the same kinds and spread of
    sizes, with fewer of the small ones and of the middle sizes; not
    `broken`: none whose patch file is missing (in a patch with checksums,
    which goes in whole or not at all, one would keep every other out)."""
    modules = []

    def add(kind, size, **kw):
        index = len(modules)
        name = kw.pop("name", f"ksmod{index:02d}.dll")
        modules.append(Module(name, kind, size, rng, **kw))

    def small():
        return rng.randrange(2 * KIB, 64 * KIB)

    for _ in range(6 if few else 16):
        add("replaced", small(), old_record="3", new_record="5")
    add("replaced", small(), old_record="0000000011",
        new_record="0000000012", mode=0o444)
    add("replaced", 300 * KIB, old_record="1", new_record="2", mode=0o444)
    add("replaced", small(), name="kscase.dll", disk_name="KSCASE.DLL",
        old_record="4", new_record="6")
    add("replaced", small(), name="plugins\\ksplug.dll", old_record="1",
        new_record="3")
    for size in ((256 * KIB, 4 * MIB) if few else
                 (256 * KIB, 512 * KIB, 2 * MIB, 4 * MIB)):
        add("replaced", size, old_record="2", new_record="9")
    for _ in range(4 if few else 12):
        add("new", small(), new_record="1")
    add("new", small(), old_record="9", new_record="2")  # stale record
    add("new", small(), name="plugins\\ksnew.dll", new_record="1")
    for size in (192 * KIB, 3 * MIB):
        add("new", size, new_record="7")
    for i in range(4 if few else 12):
        add("current", small(), old_record="7",
            new_record="7" if i % 2 else "4")
    add("current", 1 * MIB, old_record="5", new_record="5")
    for _ in range(2 if broken else 0):
        add("broken", small(), old_record="1", new_record="2")
    rng.shuffle(modules)
    return modules


def client_ver_lines(modules):
    lines = [b"[modules]"]
    for m in modules:
        if m.old_record is not None:
            lines.append(f"{m.name}={m.old_record}".encode())
    return lines + [b""] + OTHER_SECTION


def source_manifest(modules, checksums=False, signed=False):
    """The patch manifest; with `checksums`, [sha256] and [size] sections
    that vouch for every module: the patch's bytes, or for one that is current the
    installed bytes, so that a whole installation needs no repair; with
    `signed`, a [patch] header for a signature too."""
    lines = ["[patch]", "serial=1", "expires=2099-12-31T00:00:00Z"] \
        if signed else []
    lines += ["[modules]"] + [f"{m.name}={m.new_record}" for m in modules]
    if checksums:
        vouched = {m.name: m.old if m.kind == "current" else m.new or b""
                   for m in modules}
        lines.append("[sha256]")
        lines += [f"{n}={hashlib.sha256(v).hexdigest()}"
                  for n, v in vouched.items()]
        lines.append("[size]")
        lines += [f"{n}={len(v)}" for n, v in vouched.items()]
    return "".join(line + "\r\n" for line in lines).encode()


class Installation:
    """A prefix of its own for one worker, reset before every kill."""

    def __init__(self, root, modules, store, checksums=False, result=False,
                 signed=False):
        self.root = root
        # With `signed`, test key "one" is pinned and signs the patch, which
        # then has checksums too; client.ver may keep the patch's serial.
        self.policy = {"TrustedKeys": [signing.pinned_value("one")]} \
            if signed else None
        self.serial_entry = None
        # With `result`, every run writes a result file beside the prefix.
        self.result = root + "-result.json" if result else None
        self.retries = 0  # runs that Wine failed to start
        self.hung_kills = []  # timed kills that Wine did not carry out
        self.modules = modules
        drive_c = os.path.join(root, "drive_c")
        self.drive_c = drive_c
        self.bin = os.path.join(drive_c, *INSTALL_DIR.split("\\"), "bin")
        self.patch = os.path.join(drive_c, "patch")
        self.make_prefix()
        os.makedirs(self.patch)
        # The patch is only read: links to one shared copy will do.
        for i, m in enumerate(modules):
            if m.new is None:
                continue
            target = os.path.join(self.patch, *m.name.split("\\"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.link(os.path.join(store, "new", str(i)), target)
        manifest = os.path.join(self.patch, "ksmodules.ver")
        with open(manifest, "wb") as f:
            f.write(source_manifest(modules, checksums or signed, signed))
        if signed:
            signing.sign(manifest, "one")
            with open(manifest, "rb") as f:
                self.serial_entry = (signing.key_id("one").lower(),
                                     "1 " + hashlib.sha256(f.read()).hexdigest())
        self.store = store
        self.client_ver = b"".join(
            line + b"\r\n" for line in client_ver_lines(modules))
        self.reset()
        self.outside = self.outside_stamp()
        self.outside_all = self.outside_stamp(everything=True)

    def make_prefix(self):
        make_prefix(self.root, "C:\\" + INSTALL_DIR, policy=self.policy)
        os.makedirs(os.path.join(self.root, "home"))
        self.env = dict(os.environ, WINEPREFIX=self.root,
                        HOME=os.path.join(self.root, "home"))
        self.env.pop("KSUPDATE_TRACE", None)

    # Large trees outside bin that are checked once at the end of the test,
    # not after every kill.
    checked_at_end = ()

    def volatile(self, rel):
        """True for what the system beneath may rewrite outside bin."""
        return False

    def outside_stamp(self, everything=False):
        """What must not change outside bin, cheaply: every entry's kind,
        inode and (but for directories, which bin's reset touches) size and
        modification time; without `everything`, not inside checked_at_end.
        """
        stamp = {}
        for dirpath, dirnames, filenames in os.walk(self.root):
            if dirpath == self.bin or dirpath.startswith(self.bin + os.sep):
                continue
            if not everything and os.path.relpath(
                    dirpath, self.root) in self.checked_at_end:
                dirnames[:] = []
                continue
            for name in dirnames + filenames:
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, self.root)
                if path == self.bin or self.volatile(rel):
                    continue
                st = os.lstat(path)
                if stat.S_ISLNK(st.st_mode):
                    # A link is its target, however often it is remade.
                    stamp[rel] = ("link", os.readlink(path))
                    continue
                volatile = stat.S_ISDIR(st.st_mode)
                stamp[rel] = (
                    st.st_mode, st.st_ino, 0 if volatile else st.st_size,
                    0 if volatile else st.st_mtime_ns)
        return stamp

    def reset(self):
        if os.path.exists(self.bin):
            shutil.rmtree(self.bin)
        os.makedirs(os.path.join(self.bin, "plugins"))
        for i, m in enumerate(self.modules):
            if m.old is None:
                continue
            path = os.path.join(self.bin, m.disk)
            shutil.copyfile(os.path.join(self.store, "old", str(i)), path)
            os.chmod(path, m.mode)
        with open(os.path.join(self.bin, "client.ver"), "wb") as f:
            f.write(self.client_ver)

    def run(self, binary, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        if self.result:
            env["KSUPDATE_RESULT"] = self.program_path(self.result)
        return subprocess.run(
            [binary, "C:\\patch\\setup.exe"], cwd=self.drive_c, env=env,
            stdin=subprocess.DEVNULL, capture_output=True,
            timeout=RUN_TIMEOUT)

    def program_path(self, path):
        """A host path as the program under test names it."""
        return path

    def kill_status(self, result):
        """(killed, inside): whether the seam ended the run, and whether the
        kill caught the chosen call still running (None: not told)."""
        return result.returncode == -signal.SIGKILL, None

    def mode_ok(self, mode):
        """A replaced or new module's mode is the patch file's."""
        return mode & 0o7777 == 0o644


def read_or_none(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def stale_record(m):
    """A missing module that client.ver records at or above the patch's
    version: its record goes before the copy, so that no kill leaves a
    record ahead of its file."""
    return (m.old is None and m.old_record is not None
            and version_number(m.old_record) >= version_number(m.new_record))


def version_number(text):
    """What the update compares: the number at the start of the text."""
    digits = re.match(r"\d*", text).group()
    return int(digits) if digits else 0


def check_client_ver(inst, is_new, final, problems):
    """client.ver holds whole lines only, each one it had or one recording
    a patch version or (in a section of its own) the digest of a module's
    new bytes, and records nothing new for a module still old; a stale
    record may be gone before its module's copy."""
    data = read_or_none(os.path.join(inst.bin, "client.ver"))
    if data is None:
        problems.append("client.ver is gone")
        return
    if not data.endswith(b"\r\n") or data.replace(b"\r\n", b"").count(
            b"\n") + data.replace(b"\r\n", b"").count(b"\r"):
        problems.append(f"client.ver has a cut or foreign line end: "
                        f"{data[-40:]!r}")
    allowed = set(client_ver_lines(inst.modules))
    allowed |= {f"{m.name}={m.new_record}".encode() for m in inst.modules}
    if inst.serial_entry is not None:
        allowed |= {b"[signed patches]", "=".join(inst.serial_entry).encode()}
    digests = {m.name.lower(): hashlib.sha256(m.new).hexdigest()
               for m in inst.modules if m.new is not None}
    allowed |= {b"[sha256]"} | {f"{m.name}={digests[m.name.lower()]}".encode()
                                for m in inst.modules if m.new is not None}
    for line in data.split(b"\r\n")[:-1]:
        if line not in allowed:
            problems.append(f"client.ver has a line it should not: {line!r}")
    sections = parse_profile(data)
    other = parse_profile(b"\r\n".join(OTHER_SECTION))
    # The serial of a signed patch, kept before the first copy: the patch's
    # own or none, never another.
    kept = sections.pop("signed patches", None)
    if kept is not None and (inst.serial_entry is None or
                             kept != dict([inst.serial_entry])):
        problems.append(f"client.ver keeps a serial it should not: {kept!r}")
    if final and inst.serial_entry is not None and kept is None:
        problems.append("client.ver keeps no serial after the last run")
    if {s: e for s, e in sections.items()
            if s not in ("modules", "sha256")} != other:
        problems.append("client.ver's other section changed")
    # A digest is recorded only once its bytes are in place.
    for m in inst.modules:
        if m.name.lower() in sections.get("sha256", {}) and \
                not is_new[m.name]:
            problems.append(f"{m.name}: its new bytes' digest recorded "
                            "while its file is not the new one")
    records = sections.get("modules", {})
    for m in inst.modules:
        got = records.get(m.name.lower())
        if final:
            want = m.new_record if m.changes else m.old_record
            if got != want:
                problems.append(f"{m.name}: recorded {got!r} after the last "
                                f"run, expected {want!r}")
        elif got != m.old_record:
            if got is None and stale_record(m):
                continue
            if got != m.new_record:
                problems.append(f"{m.name}: recorded {got!r}, neither "
                                f"{m.old_record!r} nor {m.new_record!r}")
            elif not is_new[m.name]:
                problems.append(f"{m.name}: records the new version "
                                f"{got!r} while its file is still old")


def changed_entries(before, after):
    return sorted(k for k in set(before) | set(after)
                  if before.get(k) != after.get(k))


def check_state(inst, final):
    """Returns (problems, temporary files in bin)."""
    problems = []
    temps = []
    expected = {m.disk for m in inst.modules} | {"client.ver"}
    for dirpath, _, filenames in os.walk(inst.bin):
        for name in filenames:
            rel = os.path.relpath(os.path.join(dirpath, name), inst.bin)
            if name.startswith(TEMP_PREFIX):
                temps.append(rel)
            elif rel == LOCK_FILE:
                if os.path.getsize(os.path.join(dirpath, name)):
                    problems.append(f"{LOCK_FILE} is not empty")
            elif rel not in expected:
                problems.append(f"unexpected file in bin: {rel}")
    if final and temps:
        problems.append(f"temporary files left after the last run: {temps}")
    is_new = {}
    for m in inst.modules:
        path = os.path.join(inst.bin, m.disk)
        data = read_or_none(path)
        is_new[m.name] = data is not None and data == m.new
        if data is None:
            if m.old is not None or (final and m.changes):
                problems.append(f"{m.disk}: missing")
            continue
        if data != m.old and data != m.new:
            problems.append(f"{m.disk}: {len(data)} bytes, neither the old "
                            f"({len(m.old or b'')}) nor the new "
                            f"({len(m.new or b'')}) version")
        elif not m.changes and data != m.old:
            problems.append(f"{m.disk}: replaced, but it is {m.kind}")
        elif final and m.changes and data != m.new:
            problems.append(f"{m.disk}: still old after the last run")
        elif final and m.changes and not inst.mode_ok(os.stat(path).st_mode):
            problems.append(f"{m.disk}: mode {os.stat(path).st_mode:o} "
                            "instead of the patch file's")
    check_client_ver(inst, is_new, final, problems)
    changed = changed_entries(inst.outside, inst.outside_stamp())
    if changed:
        problems.append(f"something outside bin changed: {changed[:4]}")
    return problems, temps


def write_store(work, modules):
    """Each module's old and new bytes in files under work/store, which
    each Installation links or copies from; returns that directory."""
    store = os.path.join(work, "store")
    for kind in ("old", "new"):
        os.makedirs(os.path.join(store, kind))
    for i, m in enumerate(modules):
        for kind, data in (("old", m.old), ("new", m.new)):
            if data is not None:
                with open(os.path.join(store, kind, str(i)), "wb") as f:
                    f.write(data)
    return store


def scratch_root():
    """A scratch directory in memory when there is room (a container's
    /dev/shm may be as small as 64 MiB), else in the temporary directory."""
    base = None
    try:
        st = os.statvfs("/dev/shm")
        if os.access("/dev/shm", os.W_OK) and \
                st.f_bavail * st.f_frsize >= 512 * MIB:
            base = "/dev/shm"
    except OSError:
        pass
    return os.path.realpath(tempfile.mkdtemp(prefix="kscrash-", dir=base))


def in_scratch(args, test, outcome):
    """Runs test(args, work) in a scratch directory and prints its
    problems, or `outcome` when there are none; the exit status."""
    work = scratch_root()
    try:
        problems = test(args, work)
    finally:
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    for p in problems[:20]:
        print("  " + p)
    print(f"FAILED: {len(problems)} problems" if problems else
          f"outcome: {outcome}")
    return 1 if problems else 0
