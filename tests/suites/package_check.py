#!/usr/bin/env python3
"""Checks the release packages that scripts/package made.

Usage:
  package_check.py [--packages DIR]   check the packages in DIR
                                      (build/packages)
  package_check.py --signing          make packages with a throw-away
                                      certificate, and without one

The first form checks, for the project's version (project(ksupdate VERSION
...) in CMakeLists.txt):
- the zip files and the .deb hold what they should (unzip, dpkg-deb);
- in each ksupdate.exe (read with pefile): a GUI program; dynamic base with
  a relocation table, NX, high-entropy addresses on win64; only system DLLs
  imported, none delay-loaded; the manifest (resource 1 of RT_MANIFEST)
  asks for asInvoker without UI access and lists the supportedOS entries of
  Windows 7 to 11, and sets no activeCodePage and no longPathAware; the
  version resource carries the project's version and names;
- under Wine, in a prefix made for the check (a build that Wine cannot run
  here, as wine_machine.py finds, is said to be not run; the README's
  commands use the 32-bit build where it runs, else the 64-bit one): the
  hardening probe of each Windows build reads back the error mode and the DLL search that
  ks::HardenProcess leaves (planted DLLs beside the program and in the
  current directory are loaded without it and refused with it); and each
  packaged ksupdate.exe, traced with Wine's relay channel while it updates
  the bundled example, calls SetErrorMode, SetDefaultDllDirectories and
  SetDllDirectoryA("") before it does anything else of its own;
- the .deb: lintian reports no error (the rest is printed), and its
  /usr/bin/ksupdate, unpacked with dpkg -x, updates a scratch copy of
  examples/prefix.

The second form runs scripts/package into temporary directories: without
KSUPDATE_SIGN_CERT and KSUPDATE_SIGN_KEY it must say it builds unsigned and
leave the .exe files unsigned; with a self-signed certificate and key made
here by openssl it must sign both, and `osslsigncode verify`, given that
certificate as the trusted root (-CAfile), must report the signature
verified and the file's digest equal to the signed one.
"""

import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zipfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_machine  # noqa: E402

try:
    import pefile
except ImportError:  # a python3 other than Debian's, which has python3-pefile
    sys.path.append("/usr/lib/python3/dist-packages")
    import pefile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN_REL = "drive_c/Program Files/Kestrova/Plennet Groupware 6.5/Client/bin"
PATCH_ARG = "C:\\patch\\setup.exe"
REG_KEY = "HKLM\\SOFTWARE\\Kestrova\\Plennet Groupware 6.5"
INSTALL_DIR = "C:\\Program Files\\Kestrova\\Plennet Groupware 6.5\\Client"

# What the bundled example must look like after an update: ksmail.dll
# replaced (3 -> 5), kscal.dll up to date (4), ksnotes.dll new (2).
EXAMPLE_UPDATED = {"ksmail.dll": "5", "kscal.dll": "4", "ksnotes.dll": "2"}
EXAMPLE_COPIED = ("ksmail.dll", "ksnotes.dll")

# Windows 7, 8, 8.1, 10 and 11 (10 and 11 share one).
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
# DLLs the program may import: system DLLs that are KnownDLLs, which the
# loader takes from System32 whatever the search order.
ALLOWED_IMPORTS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll"}
NS = {
    "v1": "urn:schemas-microsoft-com:asm.v1",
    "v3": "urn:schemas-microsoft-com:asm.v3",
    "compat": "urn:schemas-microsoft-com:compatibility.v1",
}
ERROR_MODE = 0x0001 | 0x0002 | 0x8000  # FAILCRITICAL, NOGPFAULT, NOOPENFILE
# What the relay channel traces: the hardening calls, the call with which
# the entry starts the run, and what a run, or code that ran before the entry,
# would do to files, the registry and DLLs.
RELAY_INCLUDE = [
    "SetErrorMode", "SetDefaultDllDirectories", "SetDllDirectoryA",
    "GetCommandLineA", "GetCommandLineW",
    "LoadLibraryA", "LoadLibraryW", "LoadLibraryExA", "LoadLibraryExW",
    "RegOpenKeyExA", "RegOpenKeyExW", "RegQueryValueExA", "RegGetValueA",
    "GetPrivateProfileStringA", "GetPrivateProfileSectionA",
    "WritePrivateProfileStringA", "CreateFileA", "CreateFileW", "CopyFileA",
    "MoveFileExA", "ReplaceFileA", "GetFileAttributesA", "SetFileAttributesA",
    "DeleteFileA", "FindFirstFileA", "OutputDebugStringA",
]


class Failures:
    def __init__(self):
        self.items = []

    def check(self, ok, what):
        print(f"  {'ok  ' if ok else 'FAIL'} {what}")
        if not ok:
            self.items.append(what)
        return ok


def project_version():
    text = open(os.path.join(ROOT, "CMakeLists.txt")).read()
    match = re.search(r"project\(\s*ksupdate\s+VERSION\s+([0-9.]+)", text)
    if not match:
        sys.exit("package_check: no project(ksupdate VERSION ...) found")
    return match.group(1)


def run(args, **kwargs):
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def deb_arch():
    return run(["dpkg", "--print-architecture"], check=True).stdout.strip()


# ---------------------------------------------------------------- PE file


def check_pe(fail, data, arch, version):
    pe = pefile.PE(data=data)
    opt = pe.OPTIONAL_HEADER
    win64 = arch == "win64"
    machine = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64" if win64
                                  else "IMAGE_FILE_MACHINE_I386"]
    fail.check(pe.FILE_HEADER.Machine == machine, f"machine is {arch}")
    fail.check(opt.Subsystem == pefile.SUBSYSTEM_TYPE[
        "IMAGE_SUBSYSTEM_WINDOWS_GUI"], "GUI subsystem (no console)")

    flags = opt.DllCharacteristics
    dll = pefile.DLL_CHARACTERISTICS
    fail.check(flags & dll["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"],
               "dynamic base (ASLR)")
    relocs = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    fail.check(not pe.FILE_HEADER.Characteristics &
               pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]
               and len(relocs) > 0,
               f"relocation table kept ({len(relocs)} blocks)")
    fail.check(flags & dll["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"],
               "NX compatible (DEP)")
    if win64:
        fail.check(flags & dll["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"],
                   "high-entropy addresses")

    imports = sorted(e.dll.decode().lower()
                     for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    fail.check(set(imports) <= ALLOWED_IMPORTS,
               f"imports only system DLLs: {', '.join(imports)}")
    fail.check(not getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", None),
               "no delay-loaded DLL")

    manifests = []
    for rtype in getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None).entries \
            if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []:
        if rtype.id != pefile.RESOURCE_TYPE["RT_MANIFEST"]:
            continue
        for rid in rtype.directory.entries:
            for lang in rid.directory.entries:
                entry = lang.data.struct
                manifests.append((rid.id, pe.get_data(entry.OffsetToData,
                                                      entry.Size)))
    if not fail.check([m[0] for m in manifests] == [1],
                      "one manifest, resource 1 of RT_MANIFEST"):
        return pe
    check_manifest(fail, manifests[0][1], version)
    check_version_resource(fail, pe, version)
    return pe


def check_manifest(fail, text, version):
    root = ET.fromstring(text)
    level = root.find("v3:trustInfo/v3:security/v3:requestedPrivileges/"
                      "v3:requestedExecutionLevel", NS)
    fail.check(level is not None and level.get("level") == "asInvoker" and
               level.get("uiAccess") == "false",
               "manifest: requestedExecutionLevel asInvoker, uiAccess false")
    ids = {e.get("Id").lower() for e in root.findall(
        "compat:compatibility/compat:application/compat:supportedOS", NS)}
    fail.check(ids == SUPPORTED_OS,
               f"manifest: supportedOS Windows 7, 8, 8.1, 10/11 ({len(ids)})")
    identity = root.find("v1:assemblyIdentity", NS)
    fail.check(identity is not None and
               identity.get("version") == version + ".0" and
               identity.get("name") == "ksupdate",
               f"manifest: assemblyIdentity ksupdate {version}.0")
    names = {el.tag.rsplit("}", 1)[-1] for el in root.iter()}
    fail.check(not names & {"activeCodePage", "longPathAware", "dpiAware",
                            "dpiAwareness", "dependency"},
               "manifest: no activeCodePage, longPathAware, dpiAware, "
               "dependency")


def check_version_resource(fail, pe, version):
    numbers = [int(p) for p in version.split(".")] + [0]
    ms, ls = (numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3]
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    fail.check(bool(fixed) and fixed[0].FileVersionMS == ms and
               fixed[0].FileVersionLS == ls and
               fixed[0].ProductVersionMS == ms and
               fixed[0].ProductVersionLS == ls,
               f"version resource: file and product version {version}.0")
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update({k.decode(): v.decode()
                                for k, v in table.entries.items()})
    expected = {"FileVersion": version, "ProductVersion": version,
                "ProductName": "ksupdate", "OriginalFilename": "ksupdate.exe",
                "InternalName": "ksupdate"}
    fail.check(all(strings.get(k) == v for k, v in expected.items()) and
               strings.get("FileDescription"),
               "version resource: " +
               ", ".join(f"{k} {strings.get(k)!r}" for k in
                         list(expected) + ["FileDescription"]))


def signed(data):
    pe = pefile.PE(data=data, fast_load=True)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    return security.Size > 0


# ------------------------------------------------------------- packages


def zip_name(version, arch):
    return f"ksupdate-{version}-{arch}.zip"


def check_zip(fail, path, version, arch):
    top = f"ksupdate-{version}-{arch}"
    with zipfile.ZipFile(path) as archive:
        names = {n for n in archive.namelist() if not n.endswith("/")}
        expected = {f"{top}/{n}" for n in
                    ("ksupdate.exe", "README.md", "LICENSE",
                     "docs/manifests.md")}
        fail.check(names == expected,
                   f"holds {', '.join(sorted(n[len(top) + 1:] for n in names))}")
        listing = run(["unzip", "-l", path]).stdout
        fail.check(f"{top}/ksupdate.exe" in listing, "unzip -l lists it")
        for doc, source in (("README.md", "README.md"),
                            ("LICENSE", "LICENSE"),
                            ("docs/manifests.md", "docs/manifests.md")):
            if f"{top}/{doc}" in names:
                fail.check(archive.read(f"{top}/{doc}") ==
                           open(os.path.join(ROOT, source), "rb").read(),
                           f"{doc} is the source tree's")
        return archive.read(f"{top}/ksupdate.exe") \
            if f"{top}/ksupdate.exe" in names else None


def check_deb_contents(fail, deb, version):
    fields = run(["dpkg-deb", "-f", deb, "Package", "Version",
                  "Architecture", "Depends"], check=True).stdout
    fail.check(f"Version: {version}\n" in fields, f"Version: {version}")
    fail.check("Package: ksupdate\n" in fields, "Package: ksupdate")
    listing = run(["dpkg-deb", "-c", deb], check=True).stdout
    files = {line.split()[-1] for line in listing.splitlines()
             if not line.startswith("d")}
    doc = "./usr/share/doc/ksupdate/"
    expected = {"./usr/bin/ksupdate", "./usr/share/man/man1/ksupdate.1.gz",
                doc + "README.md", doc + "manifests.md", doc + "copyright",
                doc + "changelog.gz"}
    fail.check(files == expected, "holds " + ", ".join(sorted(files)))
    fail.check(re.search(r"^-rwxr-xr-x root/root .* \./usr/bin/ksupdate$",
                         listing, re.M) is not None,
               "/usr/bin/ksupdate is 0755 root/root")


def check_lintian(fail, deb):
    result = run(["lintian", "--display-info", "--pedantic", deb])
    tags = [line for line in result.stdout.splitlines()
            if re.match(r"^[EWIPX]: ", line)]
    for tag in tags:
        print(f"       lintian {tag}")
    errors = [t for t in tags if t.startswith("E: ")]
    fail.check(result.returncode in (0, 1) and not errors and
               "error" not in result.stderr.lower().replace(
                   "running with root privileges is not recommended!", ""),
               f"lintian: no error ({len(tags)} other tags)")


def example_prefix(work):
    """A scratch copy of examples/prefix, laid out as scripts/demo does."""
    prefix = os.path.join(work, "prefix")
    shutil.copytree(os.path.join(ROOT, "examples", "prefix"), prefix,
                    symlinks=True)
    os.makedirs(os.path.join(prefix, "dosdevices"), exist_ok=True)
    os.symlink("../drive_c", os.path.join(prefix, "dosdevices", "c:"))
    os.symlink("/", os.path.join(prefix, "dosdevices", "z:"))
    ksmail = os.path.join(prefix, BIN_REL, "ksmail.dll")
    os.chmod(ksmail, 0o444)
    return prefix


def check_example_updated(fail, drive_c, trace):
    bin_dir = os.path.join(drive_c, BIN_REL.split("/", 1)[1])
    patch = os.path.join(drive_c, "patch")
    for name in EXAMPLE_COPIED:
        target = os.path.join(bin_dir, name)
        fail.check(os.path.isfile(target) and
                   open(target, "rb").read() ==
                   open(os.path.join(patch, name), "rb").read(),
                   f"{name} is the patch's")
    recorded = {}
    text = open(os.path.join(bin_dir, "client.ver"), "rb").read().decode(
        "latin-1").replace("\r", "")
    section = None
    for line in text.splitlines():
        if line.startswith("["):
            section = line.strip()
        elif section == "[modules]" and "=" in line:
            key, value = line.split("=", 1)
            recorded[key.strip()] = value.strip()
    fail.check(all(recorded.get(k) == v for k, v in EXAMPLE_UPDATED.items()),
               "client.ver records " +
               ", ".join(f"{k}={recorded.get(k)}" for k in EXAMPLE_UPDATED))
    fail.check(trace.count("- Copy Success -") == len(EXAMPLE_COPIED),
               f"trace has {len(EXAMPLE_COPIED)} '- Copy Success -' lines")


def check_deb_run(fail, deb, work):
    root = os.path.join(work, "root")
    run(["dpkg", "-x", deb, root], check=True)
    doc = os.path.join(root, "usr", "share", "doc", "ksupdate")
    fail.check(open(os.path.join(doc, "copyright"), "rb").read() ==
               open(os.path.join(ROOT, "LICENSE"), "rb").read(),
               "copyright is LICENSE")
    version = project_version()
    with gzip.open(os.path.join(root, "usr", "share", "man", "man1",
                                "ksupdate.1.gz"), "rt") as man:
        fail.check(f'"ksupdate {version}"' in man.read(),
                   f"man page ksupdate(1) of version {version}")
    program = os.path.join(root, "usr", "bin", "ksupdate")
    prefix = example_prefix(work)
    env = dict(os.environ, WINEPREFIX=prefix, KSUPDATE_TRACE="-")
    result = run([program, PATCH_ARG], env=env, cwd=work, timeout=60)
    print("       " + result.stderr.strip().replace("\n", "\n       "))
    fail.check(result.returncode == 0, "dpkg -x: usr/bin/ksupdate exits 0")
    check_example_updated(fail, os.path.join(prefix, "drive_c"),
                          result.stderr)


# ----------------------------------------------------------------- Wine


class WinePrefix:
    def __init__(self, work):
        self.work = work
        self.root = os.path.join(work, "wineprefix")
        self.drive_c = os.path.join(self.root, "drive_c")
        home = os.path.join(work, "home")
        os.makedirs(home)
        self.env = wine_machine.environ(dict(
            os.environ, WINEPREFIX=self.root, WINEDEBUG="-all", HOME=home,
            DISPLAY="", WINEDLLOVERRIDES="mscoree,mshtml="))
        self.env.pop("KSUPDATE_TRACE", None)

    def wine(self, args, cwd=None, debug="-all", extra_env=None):
        env = dict(self.env, WINEDEBUG=debug, **(extra_env or {}))
        result = run(wine_machine.command(*args), env=env,
                     cwd=cwd or self.drive_c,
                     timeout=300)
        return result

    def boot(self):
        run(wine_machine.command("wineboot", "-i"), env=self.env, check=True,
            timeout=300)
        self.wine(["reg", "add", "HKCU\\Software\\Wine\\Debug", "/v",
                   "RelayInclude", "/d", ";".join(RELAY_INCLUDE), "/f"])
        self.wine(["reg", "add", REG_KEY, "/v", "KestrovaDir32", "/d",
                   INSTALL_DIR, "/reg:32", "/f"])
        run(["wineserver", "-w"], env=self.env, timeout=120)

    def kill(self):
        run(["wineserver", "-k"], env=self.env, timeout=60)


def check_probe(fail, wine, build, arch):
    tools = os.path.join(build, "tests", "wine")
    probe = os.path.join(tools, "hardening_probe.exe")
    planted = os.path.join(tools, "planted.dll")
    if not fail.check(os.path.isfile(probe) and os.path.isfile(planted),
                      f"hardening probe built in {os.path.relpath(build, ROOT)}"):
        return
    app = os.path.join(wine.work, f"app-{arch}")
    cwd = os.path.join(wine.work, f"cwd-{arch}")
    os.makedirs(app)
    os.makedirs(cwd)
    shutil.copy(probe, app)
    shutil.copy(planted, os.path.join(app, "plant_app.dll"))
    shutil.copy(planted, os.path.join(cwd, "plant_cwd.dll"))
    dlls = ["plant_app.dll", "plant_cwd.dll", "version.dll"]

    def probe_run(mode):
        result = wine.wine([os.path.join(app, "hardening_probe.exe"), mode]
                           + dlls, cwd=cwd)
        answers = dict(line.split(": ", 1) for line in
                       result.stdout.replace("\r", "").splitlines()
                       if ": " in line)
        print(f"       {mode}: " + "; ".join(f"{k}: {v}"
                                             for k, v in answers.items()))
        return result.returncode, answers

    status, plain = probe_run("plain")
    fail.check(status == 0 and plain.get("load plant_app.dll") == "loaded"
               and plain.get("load plant_cwd.dll") == "loaded",
               "without the hardening the planted DLLs are loaded "
               "(the control)")
    status, hard = probe_run("hardened")
    fail.check(status == 0 and
               hard.get("error mode") == f"0x{ERROR_MODE:x}",
               f"error mode read back: {hard.get('error mode')} "
               f"(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | "
               f"SEM_NOOPENFILEERRORBOX = 0x{ERROR_MODE:x})")
    fail.check(hard.get("search restricted to system32") == "yes" and
               hard.get("current directory removed") == "yes",
               "SetDefaultDllDirectories and SetDllDirectoryA(\"\") "
               "succeeded")
    fail.check(hard.get("load plant_app.dll") == "refused" and
               hard.get("load plant_cwd.dll") == "refused",
               "planted DLLs beside the program and in the current "
               "directory are refused")
    fail.check(hard.get("load version.dll") == "loaded",
               "a system DLL still loads")


RELAY_CALL = re.compile(
    r"^([0-9a-f]{4}):Call ([\w.]+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
THREAD_START = re.compile(
    r"^([0-9a-f]{4}):Starting thread proc ([0-9A-Fa-f]+)")


def own_calls(relay_log, exe_data):
    """The relay-traced calls that the program's own image made, in order,
    in the thread that ran its entry point: (function, arguments)."""
    pe = pefile.PE(data=exe_data, fast_load=True)
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    size = pe.OPTIONAL_HEADER.SizeOfImage
    lines = relay_log.splitlines()
    # Threads that started at an entry point with this image's offset: the
    # program's, and perhaps by chance one of Wine's own programs.
    candidates = []
    for line in lines:
        match = THREAD_START.match(line)
        if match:
            base = int(match.group(2), 16) - entry
            if base > 0 and base % 0x10000 == 0:
                candidates.append((match.group(1), base))
    calls_of = {}
    for line in lines:
        match = RELAY_CALL.match(line)
        if not match:
            continue
        for thread, base in candidates:
            if match.group(1) == thread and \
                    base <= int(match.group(5), 16) < base + size:
                calls_of.setdefault((thread, base), []).append(
                    (match.group(3), match.group(4)))
    # The one that called SetErrorMode from the image, else the last one
    # with calls from it: a failure then shows what came first.
    found = [c for c in candidates if c in calls_of]
    for candidate in found:
        if any(name == "SetErrorMode" for name, _ in calls_of[candidate]):
            return calls_of[candidate]
    return calls_of[found[-1]] if found else []


def reset_example(wine):
    """The example's patch and installation, laid anew on drive C."""
    shutil.rmtree(os.path.join(wine.drive_c, "patch"), ignore_errors=True)
    shutil.rmtree(os.path.join(wine.drive_c, "Program Files", "Kestrova"),
                  ignore_errors=True)
    example = os.path.join(ROOT, "examples", "prefix", "drive_c")
    shutil.copytree(os.path.join(example, "patch"),
                    os.path.join(wine.drive_c, "patch"))
    shutil.copytree(os.path.join(example, "Program Files", "Kestrova"),
                    os.path.join(wine.drive_c, "Program Files", "Kestrova"))


def check_packaged_run(fail, wine, exe_data, arch):
    """Runs the packaged program on the example, traced by the relay
    channel: the hardening must come before the program does anything else
    of its own, and the run must update the example."""
    reset_example(wine)
    exe_dir = os.path.join(wine.work, f"package-{arch}")
    os.makedirs(exe_dir)
    exe = os.path.join(exe_dir, "ksupdate.exe")
    with open(exe, "wb") as out:
        out.write(exe_data)
    trace = os.path.join(wine.work, f"trace-{arch}.txt")
    result = wine.wine([exe, PATCH_ARG], debug="+relay", extra_env={
        "KSUPDATE_TRACE": "Z:" + trace.replace("/", "\\")})
    fail.check(result.returncode == 0, "the packaged program exits 0")
    calls = own_calls(result.stderr, exe_data)
    names = [name for name, _ in calls]
    print("       its own calls, in order: " + ", ".join(names[:8]) +
          (", ..." if len(names) > 8 else ""))
    fail.check(len(calls) >= 4 and
               calls[0] == ("SetErrorMode", f"{ERROR_MODE:08x}") and
               calls[1] == ("SetDefaultDllDirectories", "00000800") and
               calls[2][0] == "SetDllDirectoryA" and
               calls[2][1].endswith(' ""') and
               calls[3][0] == "GetCommandLineA",
               "first SetErrorMode(0x8003), SetDefaultDllDirectories("
               "LOAD_LIBRARY_SEARCH_SYSTEM32), SetDllDirectoryA(\"\"); "
               "then GetCommandLineA and the run")
    text = open(trace, "rb").read().decode("latin-1") \
        if os.path.exists(trace) else ""
    check_example_updated(fail, wine.drive_c, text)


def readme_block(heading):
    """The first code block after `heading` in README.md."""
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    after = text[text.index(heading + "\n"):]
    start = after.index("```bat\n") + len("```bat\n")
    return after[start:after.index("```", start)]


def check_deploying_commands(fail, wine, exe_data, arch):
    """The README's Intune command and start-up script, run by Wine's cmd
    on the example with the packaged program where they name it: each must
    update the example, exit 0 and write a result file saying so."""
    program = os.path.join(wine.drive_c, "Program Files (x86)", "ksupdate")
    os.makedirs(program, exist_ok=True)
    with open(os.path.join(program, "ksupdate.exe"), "wb") as out:
        out.write(exe_data)
    result = os.path.join(wine.drive_c, "ProgramData", "ksupdate",
                          "result.json")
    os.makedirs(os.path.dirname(result), exist_ok=True)
    intune = readme_block("### Intune (Win32 app)").strip()
    script = readme_block("### Group Policy start-up script")
    # The command line exactly as a deployment tool gives it: wine would
    # quote the words of a host command line its own way.
    launch = os.path.join(ROOT, "build", "package", arch, "tests", "wine",
                          "launch.exe")
    if not fail.check(os.path.isfile(launch), "launch.exe built"):
        return
    line = os.path.join(wine.work, "intune.cmdline")
    with open(line, "wb") as out:
        out.write(intune.encode("latin-1"))
    cmd = "C:\\windows\\system32\\cmd.exe"
    for what, args, cwd in (
            ("Intune command", [launch, cmd, "Z:" + line.replace("/", "\\")],
             os.path.join(wine.drive_c, "patch")),
            ("start-up script", ["cmd", "/c", "C:\\update.cmd"],
             wine.drive_c)):
        reset_example(wine)
        with open(os.path.join(wine.drive_c, "update.cmd"), "wb") as out:
            out.write(script.replace("\n", "\r\n").encode("latin-1"))
        if os.path.exists(result):
            os.remove(result)
        status = wine.wine(args, cwd=cwd).returncode
        fail.check(status == 0, f"README's {what}: exits 0")
        text = open(result, encoding="utf-8").read() \
            if os.path.exists(result) else ""
        fail.check('"outcome": "success"' in text,
                   f"README's {what}: the result file says success")
        check_example_updated(fail, wine.drive_c, "- Copy Success -\n" *
                              len(EXAMPLE_COPIED))


# ---------------------------------------------------------------- modes


def check_packages(directory):
    version = project_version()
    fail = Failures()
    print(f"version {version} (CMakeLists.txt), packages in {directory}")
    exes = {}
    for arch in ("win32", "win64"):
        path = os.path.join(directory, zip_name(version, arch))
        print(f"\n{os.path.basename(path)}")
        if not fail.check(os.path.isfile(path), "exists"):
            continue
        data = check_zip(fail, path, version, arch)
        if data is None:
            continue
        exes[arch] = data
        print(f"  {arch}/ksupdate.exe ({'signed' if signed(data) else 'unsigned'})")
        check_pe(fail, data, arch, version)

    deb = os.path.join(directory, f"ksupdate_{version}_{deb_arch()}.deb")
    print(f"\n{os.path.basename(deb)}")
    if fail.check(os.path.isfile(deb), "exists"):
        check_deb_contents(fail, deb, version)
        check_lintian(fail, deb)
        with tempfile.TemporaryDirectory(prefix="ksdeb-") as work:
            check_deb_run(fail, deb, work)

    print("\nunder Wine")
    work = os.path.realpath(tempfile.mkdtemp(prefix="kspackage-"))
    wine = WinePrefix(work)
    try:
        wine.boot()
        for arch in ("win32", "win64"):
            if not wine_machine.runs(arch):
                print(f"  {wine_machine.not_run(arch)}")
                continue
            print(f"  {arch}: hardening probe")
            check_probe(fail, wine, os.path.join(ROOT, "build", "package",
                                                 arch), arch)
            if arch in exes:
                print(f"  {arch}: packaged ksupdate.exe on the example")
                check_packaged_run(fail, wine, exes[arch], arch)
        arch = wine_machine.reference_arch()
        if arch in exes:
            print(f"  {arch}: the README's deployment commands")
            check_deploying_commands(fail, wine, exes[arch], arch)
    finally:
        wine.kill()
        shutil.rmtree(work, ignore_errors=True)
    return fail


def check_signing():
    version = project_version()
    fail = Failures()
    work = os.path.realpath(tempfile.mkdtemp(prefix="kssign-"))
    try:
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("KSUPDATE_SIGN_")}
        print("scripts/package without KSUPDATE_SIGN_CERT/KEY")
        out = os.path.join(work, "unsigned")
        result = run([os.path.join(ROOT, "scripts", "package"), "--out", out],
                     env=env, timeout=1800)
        fail.check(result.returncode == 0, "scripts/package succeeded")
        fail.check("building UNSIGNED packages" in result.stdout,
                   "it says it builds unsigned")
        for arch in ("win32", "win64"):
            data = read_exe(out, version, arch)
            fail.check(data is not None and not signed(data),
                       f"{arch}: ksupdate.exe has no signature")

        print("scripts/package with a throw-away self-signed certificate")
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        subject = "ksupdate throw-away test signer"
        made = run(["openssl", "req", "-x509", "-newkey", "rsa:2048",
                    "-nodes", "-keyout", key, "-out", cert, "-days", "2",
                    "-subj", f"/CN={subject}",
                    "-addext", "extendedKeyUsage=codeSigning",
                    "-addext", "keyUsage=digitalSignature"])
        if not fail.check(made.returncode == 0, "openssl made a certificate"):
            print(made.stderr)
            return fail
        out = os.path.join(work, "signed")
        result = run([os.path.join(ROOT, "scripts", "package"), "--out", out],
                     env=dict(env, KSUPDATE_SIGN_CERT=cert,
                              KSUPDATE_SIGN_KEY=key), timeout=1800)
        fail.check(result.returncode == 0, "scripts/package succeeded")
        fail.check(result.stdout.count("signed ksupdate.exe with") == 2,
                   "it says it signed both .exe files")
        for arch in ("win32", "win64"):
            data = read_exe(out, version, arch)
            if not fail.check(data is not None and signed(data),
                              f"{arch}: ksupdate.exe carries a signature"):
                continue
            exe = os.path.join(work, f"{arch}.exe")
            with open(exe, "wb") as f:
                f.write(data)
            verify = run(["osslsigncode", "verify", "-CAfile", cert,
                          "-in", exe])
            text = verify.stdout + verify.stderr
            current = re.search(r"Current message digest\s*:\s*(\w+)", text)
            computed = re.search(r"Calculated message digest\s*:\s*(\w+)",
                                 text)
            fail.check(verify.returncode == 0 and
                       "Signature verification: ok" in text and
                       f"Subject: /CN={subject}" in text and
                       current and computed and
                       current.group(1) == computed.group(1),
                       f"{arch}: osslsigncode verify -CAfile cert.pem: "
                       "signature verified, by our certificate, digest "
                       "matches the file")
            if verify.returncode != 0:
                print(text[-2000:])
            check_pe(fail, data, arch, version)  # signing keeps the rest
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return fail


def read_exe(directory, version, arch):
    path = os.path.join(directory, zip_name(version, arch))
    if not os.path.isfile(path):
        return None
    with zipfile.ZipFile(path) as archive:
        return archive.read(f"ksupdate-{version}-{arch}/ksupdate.exe")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--packages",
                        default=os.path.join(ROOT, "build", "packages"))
    parser.add_argument("--signing", action="store_true")
    args = parser.parse_args()
    fail = check_signing() if args.signing else check_packages(
        os.path.abspath(args.packages))
    print()
    if fail.items:
        print(f"{len(fail.items)} checks failed:")
        for item in fail.items:
            print(f"  {item}")
        return 1
    print("all package checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
