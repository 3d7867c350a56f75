#!/usr/bin/env python3
"""Checks the release packages that scripts/package made.

Usage:
  package_check.py [--packages DIR]   check the packages in DIR
                                      (build/packages)
  package_check.py --signing          make packages with a throw-away
                                      certificate, and without one

The first form checks, for the project's version (project(ksupdate VERSION
...) in CMakeLists.txt):
- every relative link and anchor of the source tree's documents and of
  each package's leads to a file and heading there; the detection script
  is ASCII, and its rule, through its twin detection.py, gives the
  expected answer (up to date, not, or cannot tell) on each tree of
  detection_cases.json and agrees with
  the .deb program's what-if run there;
- the zip files and the .deb hold what they should (unzip, dpkg-deb), the
  documents those of the source tree but for their links, and the patch
  scripts of each write a patch's checksums, sign it and check it;
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
  SetDllDirectoryA("") before it does anything else of its own; and
  every command block of the README's Deploying section runs as written
  (check_deploying_commands);
- each Windows Installer package (scripts/msi) holds the zip's files
  (msiextract); under Wine, msiexec /qn installs it (its files under
  Program Files, the event source registered; the program, where Wine runs
  it, updates the example from where it went), a newer one of the same
  build replaces it, an older one is then refused, and msiexec /x removes
  it whole (its files, the event source and its product gone);
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
import json
import os
import posixpath
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zipfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import detection  # noqa: E402
import wine_machine  # noqa: E402

try:
    import pefile
except ImportError:  # a python3 other than Debian's, which has python3-pefile
    sys.path.append("/usr/lib/python3/dist-packages")
    import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
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


# The zips' files beside the program, with their sources.
ZIP_FILES = {"README.md": "README.md", "LICENSE": "LICENSE",
             "docs/manifests.md": "docs/manifests.md",
             "docs/deploying.md": "docs/deploying.md",
             "tools/checksums": "scripts/checksums",
             "tools/checkpatch": "scripts/checkpatch",
             "tools/sign": "scripts/sign",
             "tools/ksupdate-detect.ps1": "examples/ksupdate-detect.ps1"}
LINK = re.compile(r"\[([^\]\n]*)\]\(([^)\s]*)\)")


def as_packaged(source, version):
    """The bytes a package must hold for the source tree's file `source`:
    its own, but for the version and the statement of a manifest's names
    that packaging stamps into the patch scripts' shared module, which
    lies beside no CMakeLists.txt nor tests/ there."""
    data = open(os.path.join(ROOT, source), "rb").read()
    if source == "scripts/checksums":
        stamp = b"\nSTAMPED_VERSION = None\n"
        assert stamp in data, "scripts/checksums has no version stamp line"
        data = data.replace(stamp, f'\nSTAMPED_VERSION = "{version}"\n'
                            .encode())
        stamp = b"\nSTAMPED_FORMAT = None\n"
        assert stamp in data, "scripts/checksums has no format stamp line"
        with open(os.path.join(ROOT, "tests", "data",
                               "manifest_format.json"), "rb") as f:
            data = data.replace(stamp, b'\nSTAMPED_FORMAT = r"""\n' +
                                f.read() + b'"""\n')
    return data


def unlinked(text):
    """Markdown text with each link replaced by its label."""
    return LINK.sub(r"\1", text)


def check_zip(fail, path, version, arch):
    top = f"ksupdate-{version}-{arch}"
    with zipfile.ZipFile(path) as archive:
        names = {n for n in archive.namelist() if not n.endswith("/")}
        expected = {f"{top}/{n}" for n in list(ZIP_FILES) + ["ksupdate.exe"]}
        fail.check(names == expected,
                   f"holds {', '.join(sorted(n[len(top) + 1:] for n in names))}")
        listing = run(["unzip", "-l", path]).stdout
        fail.check(f"{top}/ksupdate.exe" in listing, "unzip -l lists it")
        docs = {}
        for packaged, source in ZIP_FILES.items():
            if f"{top}/{packaged}" not in names:
                continue
            data = archive.read(f"{top}/{packaged}")
            original = as_packaged(source, version)
            if packaged.endswith(".md"):
                docs[packaged] = data.decode("utf-8")
                fail.check(unlinked(docs[packaged]) ==
                           unlinked(original.decode("utf-8")),
                           f"{packaged} is the source tree's, links aside")
            else:
                fail.check(data == original, f"{packaged} is {source}")
        packaged = {n[len(top) + 1:] for n in names}
        check_links(fail, docs, lambda p: p in packaged or any(
            n.startswith(p + "/") for n in packaged))
        return archive.read(f"{top}/ksupdate.exe") \
            if f"{top}/ksupdate.exe" in names else None


def anchors(text):
    """The anchors of a Markdown text's headings, as GitHub makes them."""
    found, seen, fenced = set(), {}, False
    for line in text.splitlines():
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and re.match(r"#{1,6} ", line):
            slug = re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower())
            slug = slug.replace(" ", "-")
            found.add(slug + (f"-{seen[slug]}" if slug in seen else ""))
            seen[slug] = seen.get(slug, 0) + 1
    return found


def in_tree(root):
    """Whether a path relative to `root` names a file or directory there."""
    return lambda path: path.split("/")[0] != ".." and \
        os.path.exists(os.path.join(root, path))


def check_links(fail, docs, exists):
    """Each relative link of the Markdown `docs` (path -> text, relative to
    one root, with '/') must lead to a path that exists(path) finds, and its
    anchor to a heading of the document it names."""
    broken = []
    for path, text in docs.items():
        for _, target in LINK.findall(text):
            if re.match(r"[a-z]+:", target):
                continue
            name, _, anchor = target.partition("#")
            where = posixpath.normpath(posixpath.join(
                posixpath.dirname(path), name)) if name else path
            if not exists(where):
                broken.append(f"{path}: {target}")
            elif anchor and anchor not in anchors(docs.get(where, "")):
                broken.append(f"{path}: {target} (no such heading)")
    fail.check(not broken, f"links and anchors of {', '.join(sorted(docs))} "
               "lead somewhere" + "".join(f"\n         {b}" for b in broken))


TOOLS = ("checksums", "checkpatch", "sign")


def check_deb_contents(fail, deb, version):
    fields = run(["dpkg-deb", "-f", deb, "Package", "Version",
                  "Architecture", "Depends", "Description"],
                 check=True).stdout
    fail.check(f"Version: {version}\n" in fields, f"Version: {version}")
    fail.check("Package: ksupdate\n" in fields, "Package: ksupdate")
    fail.check(re.search(r"^Depends: .*\bpython3\b", fields, re.M),
               "Depends on python3 (the patch scripts)")
    # The Linux column of the README's exit codes.
    table = re.findall(r"^\| *\d+ \| *(\d+) \|", readme_section(
        "## Exit codes", DEPLOYING), re.M)
    description = fields[fields.index("Description:"):]
    fail.check(len(table) >= 7 and "KSUPDATE_EXIT_CODES=msi" in description
               and all(re.search(rf"\b{code}\b", description)
                       for code in table),
               f"the description gives each exit status ({', '.join(table)})")
    listing = run(["dpkg-deb", "-c", deb], check=True).stdout
    files = {re.sub(r"^(\S+\s+){5}", "", line) for line in
             listing.splitlines() if not line.startswith("d")}
    doc = "./usr/share/doc/ksupdate/"
    man = "./usr/share/man/man1/"
    expected = {"./usr/bin/ksupdate", man + "ksupdate.1.gz",
                doc + "README.md", doc + "manifests.md", doc + "deploying.md",
                doc + "copyright",
                doc + "changelog.gz"} | {
                    f"./usr/bin/ksupdate-{tool}" for tool in TOOLS} | {
                    f"{man}ksupdate-{tool}.1.gz -> ksupdate.1.gz"
                    for tool in TOOLS}
    fail.check(files == expected, "holds " + ", ".join(sorted(files)))
    for program in ["ksupdate"] + [f"ksupdate-{tool}" for tool in TOOLS]:
        fail.check(re.search(rf"^-rwxr-xr-x root/root .* \./usr/bin/"
                             rf"{program}$", listing, re.M) is not None,
                   f"/usr/bin/{program} is 0755 root/root")


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


def check_man_sections(fail, page):
    """The man page's OPTIONS give the two words the program answers, and
    its ENVIRONMENT every variable the program's code reads."""
    def section(name):
        found = re.search(rf"^\.SH {name}\n(.*?)^\.SH ", page, re.M | re.S)
        return found.group(1) if found else ""
    options = section("OPTIONS")
    fail.check(all(f"\\-\\-{word}" in options for word in ("help",
                                                         "version")),
               "man page: OPTIONS gives --help and --version")
    read = set()
    for directory in ("app", "platform", "engine", "trace"):
        for dirpath, _, files in os.walk(os.path.join(ROOT, directory)):
            for name in files:
                if name.endswith(".cc") and not name.endswith("_test.cc"):
                    with open(os.path.join(dirpath, name)) as f:
                        read |= set(re.findall(
                            r'(?:getenv|Variable)\("([A-Z_]+)"\)', f.read()))
    environment = section("ENVIRONMENT")
    missing = sorted(n for n in read if f".B {n}\n" not in environment)
    fail.check(read and not missing,
               f"man page: ENVIRONMENT gives {', '.join(sorted(read))}" +
               (f"; not {', '.join(missing)}" if missing else ""))


def check_deb_run(fail, deb, work):
    root = os.path.join(work, "root")
    run(["dpkg", "-x", deb, root], check=True)
    doc = os.path.join(root, "usr", "share", "doc", "ksupdate")
    fail.check(open(os.path.join(doc, "copyright"), "rb").read() ==
               open(os.path.join(ROOT, "LICENSE"), "rb").read(),
               "copyright is LICENSE")
    docs = {}
    for name, source in (("README.md", "README.md"),
                         ("manifests.md", "docs/manifests.md"),
                         ("deploying.md", "docs/deploying.md")):
        docs[name] = open(os.path.join(doc, name), encoding="utf-8").read()
        fail.check(unlinked(docs[name]) == unlinked(open(os.path.join(
            ROOT, source), encoding="utf-8").read()),
            f"{name} is the source tree's {source}, links aside")
    check_links(fail, docs, in_tree(doc))
    version = project_version()
    with gzip.open(os.path.join(root, "usr", "share", "man", "man1",
                                "ksupdate.1.gz"), "rt") as man:
        page = man.read()
    fail.check(f'"ksupdate {version}"' in page,
               f"man page ksupdate(1) of version {version}")
    check_man_sections(fail, page)
    named = set(re.findall(r"/usr/share/doc/ksupdate/[\w.]+", page))
    fail.check(named and all(os.path.isfile(root + p) for p in named),
               "the files the man page names are there: " +
               ", ".join(sorted(named)))
    program = os.path.join(root, "usr", "bin", "ksupdate")
    # The README's Linux quick start: the package named as it is made
    # (dpkg -x stands for apt install here), then the run as written, in a
    # home whose prefix is the example's.
    install, command = re.search(r"```sh\n(.*?)```", readme_section(
        "## Quick start on Linux"), re.S).group(1).strip().split("\n")
    fail.check(install.replace("<version>", version).replace(
        "amd64", deb_arch()) == f"apt install ./{os.path.basename(deb)}",
        f"README's '{install}' names the package")
    home = os.path.join(work, "home")
    os.makedirs(home)
    prefix = example_prefix(work)
    os.rename(prefix, os.path.join(home, ".wine-plennet"))
    prefix = os.path.join(home, ".wine-plennet")
    env = dict(os.environ, HOME=home, PATH=os.path.dirname(program) + ":" +
               os.environ["PATH"])
    env.pop("KSUPDATE_TRACE", None)
    result = run(["sh", "-c", command], env=env, cwd=work, timeout=60)
    print("       " + result.stderr.strip().replace("\n", "\n       "))
    fail.check(result.returncode == 0,
               f"README's '{command}' with the unpacked program exits 0")
    check_example_updated(fail, os.path.join(prefix, "drive_c"),
                          result.stderr)
    check_tools(fail, lambda tool: [os.path.join(root, "usr", "bin",
                                                 f"ksupdate-{tool}")], work)
    check_detection(fail, program, work)


def check_tools(fail, command, work):
    """The packaged patch scripts (command(name): the words that start
    one) on a patch of one module: checksums writes its checksum,
    checkpatch finds nothing wrong, sign makes a key and signs the patch,
    which checkpatch still passes; after a byte of the module changes,
    checkpatch must find it."""
    patch = os.path.join(work, "tools-patch")
    os.makedirs(patch)
    with open(os.path.join(patch, "ksmodules.ver"), "wb") as out:
        out.write(b"[modules]\r\na.dll=5\r\n")
    with open(os.path.join(patch, "a.dll"), "wb") as out:
        out.write(b"module a")
    key = os.path.join(work, "tools-key.pem")

    def step(tool, args, status, said):
        result = run(command(tool) + args, cwd=work, timeout=60)
        out = result.stdout + result.stderr
        if not fail.check(result.returncode == status and said in out,
                          f"{tool} {' '.join(map(os.path.basename, args))}: "
                          f"status {result.returncode}, says {said!r}"):
            print(out)

    version = project_version()
    for tool in TOOLS:
        # Beside no CMakeLists.txt: the version is the stamped one.
        step(tool, ["--version"], 0, f"{tool} {version}\n")
    step("checksums", [patch], 0, "checksums: 1 modules")
    step("checkpatch", [patch], 0, "0 errors, 0 warnings")
    step("sign", ["--new-key", key], 0, "ecdsa-p256:")
    step("sign", [key, patch], 0, "signed into")
    step("checkpatch", [patch], 0, "0 errors, 0 warnings")
    with open(os.path.join(patch, "a.dll"), "ab") as out:
        out.write(b"!")
    step("checkpatch", [patch], 1, "its file is not the one")
    shutil.rmtree(patch)
    os.remove(key)


def check_detection(fail, program, work):
    """The detection script's rule, through its twin (detection.py), on the
    trees of detection_cases.json, the patch manifest on a share: its
    answer must be the one expected, and the packaged program's what-if run
    on the tree must agree (status 0: nothing to copy; 1: a copy; any other
    where the script cannot tell)."""
    with open(os.path.join(HERE, "detection_cases.json")) as f:
        cases = json.load(f)
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("KSUPDATE_")}
    statuses = {detection.UP_TO_DATE: {0}, detection.NOT_UP_TO_DATE: {1}}
    for number, case in enumerate(cases):
        prefix = example_prefix(os.path.join(work, f"detect-{number}"))
        bin_dir = os.path.join(prefix, BIN_REL)
        patch = os.path.join(prefix, "drive_c", "patch")
        manifest = os.path.join(patch, "ksmodules.ver")
        wanted = case["wanted"]
        files = {}
        if wanted is not None:
            files[manifest] = (wanted if re.search(
                r"^\[", wanted, re.M) else "[modules]\r\n" + wanted).encode()
            files.update({os.path.join(patch, n): b"new" for n in
                          detection.read_entries(files[manifest].decode(
                              "latin-1"), "modules")[0]})
        files.update({os.path.join(bin_dir, n): b"old"
                      for n in case["bin"] or []})
        if case["client_ver"] is not None:  # "utf-16" starts with its BOM
            files[os.path.join(bin_dir, "client.ver")] = case[
                "client_ver"].encode(case.get("encoding", "latin-1"))
        for directory in (bin_dir, patch):
            shutil.rmtree(directory)
            if directory != bin_dir or case["bin"] is not None:
                os.makedirs(directory)
        for path, data in files.items():
            with open(path, "wb") as out:
                out.write(data)
        answer, why = detection.detect(
            manifest, bin_dir if case["bin"] is not None else None)
        result = run([program, PATCH_ARG], cwd=work, timeout=60, env=dict(
            env, WINEPREFIX=prefix, KSUPDATE_WHATIF="1",
            KSUPDATE_EXIT_CODES="msi"))
        agrees = result.returncode not in (0, 1) \
            if answer == detection.CANNOT_TELL \
            else result.returncode in statuses[answer]
        fail.check(answer == case["answer"] and agrees and
                   (answer != detection.CANNOT_TELL or why),
                   f"detection: {case['description']}: {answer}"
                   f"{' (' + why + ')' if why else ''}, what-if status "
                   f"{result.returncode}")
        shutil.rmtree(prefix)


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


UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"


def msi_name(version, arch):
    return f"ksupdate-{version}-{arch}.msi"


def make_msi(zip_path, out, version=None):
    """scripts/msi on `zip_path`: the ProductCode it made, or None."""
    made = run([sys.executable, os.path.join(ROOT, "scripts", "msi")] +
               (["--package-version", version] if version else []) + [zip_path, out])
    code = re.search(r"ProductCode (\{[0-9A-F-]{36}\})", made.stdout)
    return code.group(1) if made.returncode == 0 and code else None


def check_msi_files(fail, path, version, arch):
    """The package holds the zip's files, under ksupdate\\."""
    listed = run(["msiextract", "-l", path])
    # Each path from the product's folder on (the x86 package's begins
    # with "Program Files/").
    names = {line[line.find("ksupdate/"):]
             for line in listed.stdout.splitlines() if "ksupdate/" in line}
    fail.check(listed.returncode == 0 and names == {
        f"ksupdate/{n}" for n in list(ZIP_FILES) + ["ksupdate.exe"]},
               f"{msi_name(version, arch)} holds the zip's files: "
               f"{', '.join(sorted(names))}")


def check_msi_lifecycle(fail, wine, directory, version, arch, exe_data, ran):
    """Installs, upgrades, refuses to downgrade and removes the package of
    `arch` with Wine's msiexec /qn, by the README's commands (added to
    `ran`)."""
    older = os.path.join(directory, msi_name(version, arch))
    zip_path = os.path.join(directory, zip_name(version, arch))
    major, minor, patch = version.split(".")
    newer_version = f"{major}.{minor}.{int(patch) + 1}"
    newer = os.path.join(wine.work, msi_name(newer_version, arch))
    older_code = make_msi(zip_path, os.path.join(wine.work, "again.msi"))
    newer_code = make_msi(zip_path, newer, newer_version)
    if not fail.check(older_code and newer_code and older_code != newer_code,
                      f"scripts/msi makes {version} and {newer_version} with "
                      "their own ProductCodes"):
        return
    folder = "Program Files (x86)" if arch == "win32" else "Program Files"
    home = os.path.join(wine.drive_c, folder, "ksupdate")
    views = ["/reg:32", "/reg:64"]

    # README's two commands, each on the package given.
    block = readme_block("### Install and remove it")
    install, remove = block.split("\n")[:2]
    ran.append(block)

    def msiexec(command, package):
        words = command.split()
        assert words[0] == "msiexec" and words[2].endswith("-win32.msi")
        return wine.wine(words[:2] + [package] + words[3:]).returncode

    def product(code):
        return any(wine.wine(["reg", "query", f"{UNINSTALL}\\{code}",
                              view]).returncode == 0 for view in views)

    def source():
        return wine.wine(["reg", "query", EVENT_SOURCE, "/v",
                          "EventMessageFile"]).stdout

    fail.check(msiexec(install, older) == 0 and product(older_code),
               f"README's {install.replace('win32', arch)} installs it")
    exe = os.path.join(home, "ksupdate.exe")
    fail.check(os.path.isfile(exe) and open(exe, "rb").read() == exe_data and
               all(os.path.isfile(os.path.join(home, n)) for n in ZIP_FILES),
               f"its files are in C:\\{folder}\\ksupdate")
    fail.check(re.search(r"EventMessageFile\s+REG_SZ\s+C:\\windows\\"
                         r"Microsoft\.NET\\Framework\\v4\.0\.30319\\"
                         r"EventLogMessages\.dll\s*$", source(), re.I | re.M),
               "the event source \"ksupdate\" is registered with the .NET "
               "message file")
    if wine_machine.runs(arch):
        reset_example(wine)
        trace = os.path.join(wine.work, f"installed-{arch}.txt")
        ran = wine.wine([exe, PATCH_ARG], extra_env={
            "KSUPDATE_TRACE": "Z:" + trace.replace("/", "\\")})
        fail.check(ran.returncode == 0, "the installed program exits 0")
        check_example_updated(fail, wine.drive_c, open(trace, "rb").read()
                              .decode("latin-1") if os.path.exists(trace)
                              else "")
    else:
        print(f"    the installed program: {wine_machine.not_run(arch)}")
    fail.check(msiexec(install, newer) == 0 and product(newer_code) and
               not product(older_code),
               f"{newer_version} replaces {version}: one product installed")
    fail.check(msiexec(install, older) != 0 and product(newer_code) and
               not product(older_code),
               f"{version} is then refused, {newer_version} kept")
    fail.check(msiexec(remove, newer) == 0 and not product(newer_code) and
               not os.path.exists(home) and "EventMessageFile" not in source(),
               f"README's {remove.split()[1]} command removes its files, the "
               "event source and itself")


DEPLOYING = "docs/deploying.md"


def readme_section(heading, doc="README.md"):
    """The text of README.md (or `doc`) from `heading` to the next heading
    of its level or above."""
    text = open(os.path.join(ROOT, doc), encoding="utf-8").read()
    start = text.index(heading + "\n")
    level = len(heading.split(" ")[0])
    after = re.compile(rf"^#{{1,{level}}} ", re.M).search(
        text, start + len(heading))
    return text[start:after.start() if after else len(text)]


def readme_block(heading, doc="README.md"):
    """The first code block of README.md's (or `doc`'s) section
    `heading`."""
    return re.search(r"```bat\n(.*?)```", readme_section(heading, doc),
                     re.S).group(1)


CMD = "C:\\windows\\system32\\cmd.exe"
EVENT_SOURCE = ("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                "Application\\ksupdate")
PROGRAM = "C:\\Program Files (x86)\\ksupdate\\ksupdate.exe"


def check_deploying_commands(fail, wine, exe_data, arch, ran_before):
    """Every command of the README's Deploying section, run by Wine's cmd with
    the packaged program where they name it, the command lines exactly as
    a deployment tool gives them: the event source's registration; the
    Intune command and the start-up script on a client without
    %ProgramData%\\ksupdate, then with it (each must make it, update the
    example, exit 0, and write a result file and a trace of the run); the
    what-if script before and after an update; and the blank that cmd
    leaves before && in a value. `ran_before`: blocks that other checks ran
    (the package's install and removal)."""
    program = os.path.join(wine.drive_c, "Program Files (x86)", "ksupdate")
    os.makedirs(program, exist_ok=True)
    with open(os.path.join(program, "ksupdate.exe"), "wb") as out:
        out.write(exe_data)
    launch = os.path.join(ROOT, "build", "package", arch, "tests", "wine",
                          "launch.exe")
    if not fail.check(os.path.isfile(launch), "launch.exe built"):
        return
    data = os.path.join(wine.drive_c, "ProgramData", "ksupdate")
    ran = list(ran_before)

    def command_line(line, shown=None):
        ran.append(shown or line)
        path = os.path.join(wine.work, "cmdline")
        with open(path, "wb") as out:
            out.write(line.encode("latin-1"))
        return wine.wine([launch, CMD, "Z:" + path.replace("/", "\\")],
                         cwd=os.path.join(wine.drive_c, "patch"))

    def script(text):
        ran.append(text)
        with open(os.path.join(wine.drive_c, "deploy.cmd"), "wb") as out:
            out.write(text.replace("\n", "\r\n").encode("latin-1"))
        return wine.wine(["cmd", "/c", "C:\\deploy.cmd"])

    def read(name):
        path = os.path.join(data, name)
        return open(path, encoding="utf-8", errors="replace").read() \
            if os.path.isfile(path) else ""

    register = readme_block("## The event log", DEPLOYING).strip()
    result = command_line("cmd /c " + register, register)
    query = wine.wine(["reg", "query", EVENT_SOURCE, "/v", "EventMessageFile"])
    fail.check(result.returncode == 0 and re.search(
        r"EventMessageFile\s+REG_EXPAND_SZ\s+C:\\windows\\Microsoft\.NET\\"
        r"Framework\\v4\.0\.30319\\EventLogMessages\.dll\s*$",
        query.stdout, re.I | re.M),
        "README's event source: reg query finds EventMessageFile, "
        "REG_EXPAND_SZ, with %SystemRoot% expanded by cmd")

    intune = readme_block("### Run a patch").strip()
    startup = readme_block("## Group Policy start-up script", DEPLOYING)
    for what, start in (("Intune command", lambda: command_line(intune)),
                        ("start-up script", lambda: script(startup))):
        shutil.rmtree(data, ignore_errors=True)
        for count, state in enumerate(("without", "with"), start=1):
            reset_example(wine)
            status = start().returncode
            runs = re.findall(r"^\S+ \d+ === ksupdate \S+ run of .*?"
                              r"(?=^\S+ \d+ === ksupdate \S+ run of |\Z)",
                              read("trace.log"), re.M | re.S)
            fail.check(status == 0 and
                       '"outcome": "success"' in read("result.json") and
                       len(runs) == count and "=== ksupdate run ended: "
                       "success (0), exit status 0" in runs[-1],
                       f"README's {what}, {state} %ProgramData%\\ksupdate: "
                       f"exits {status}, the result file says success, the "
                       f"trace file holds {count} run(s), the last a success")
            check_example_updated(fail, wine.drive_c,
                                  runs[-1] if len(runs) == count else "")

    whatif = readme_block("## Is a client up to date?", DEPLOYING)
    shutil.rmtree(data, ignore_errors=True)
    reset_example(wine)
    status = script(whatif).returncode
    client_ver = os.path.join(wine.drive_c, BIN_REL.split("/", 1)[1],
                              "client.ver")
    fail.check(status == 1 and '"outcome": "would change"' in
               read("whatif.json") and not read("result.json") and
               "ksmail.dll=3" in open(client_ver).read(),
               f"README's what-if script before an update: exits {status}, "
               "whatif.json says it would change, nothing else written")
    command_line(intune)
    status = script(whatif).returncode
    fail.check(status == 0 and '"outcome": "success"' in read("whatif.json"),
               f"README's what-if script after it: exits {status}, "
               "whatif.json says success")

    # cmd keeps the blank before && in the value; the program must not.
    trap = re.search(r"`(set KSUPDATE_EXIT_CODES=msi &&) \.\.\.`",
                     readme_section("## Settings", DEPLOYING)).group(1)
    # A script, so that cmd gives the whole status: Wine hands the host
    # its low 8 bits only.
    result = script(f'@echo off\n{trap} set KSUPDATE_EXIT_CODES&& start "" '
                    f'/wait "{PROGRAM}" C:\\nopatch\\setup.exe\n'
                    'echo status %ERRORLEVEL%\n')
    out = result.stdout.replace("\r", "")
    fail.check("KSUPDATE_EXIT_CODES=msi \n" in out and "status 1612\n" in out,
               f"'{trap} ...' in cmd: the value is 'msi ' and a run without "
               f"a patch exits 1612: {out.split()}")

    # The commands, not the examples of output (a block without a language).
    blocks = re.findall(r"```(?:bat|cmd)\n(.*?)```", readme_section(
        "## Quick start on Windows") + open(os.path.join(
            ROOT, DEPLOYING), encoding="utf-8").read(), re.S)
    missed = [b for b in blocks if b not in ran and b.strip() not in ran]
    fail.check(not missed, f"every command block of Deploying was run "
               f"({len(blocks)})" + "".join(f"\n         {b}" for b in missed))


# ---------------------------------------------------------------- modes


def check_packages(directory):
    version = project_version()
    fail = Failures()
    print(f"version {version} (CMakeLists.txt), packages in {directory}")
    print("\nthe source tree's documents")
    docs = ["README.md"] + [f"docs/{n}" for n in os.listdir(
        os.path.join(ROOT, "docs")) if n.endswith(".md")]
    check_links(fail, {d: open(os.path.join(ROOT, d), encoding="utf-8")
                       .read() for d in docs}, in_tree(ROOT))
    # Windows PowerShell 5.1 reads a script without a byte-order mark in
    # the ANSI code page. (No PowerShell can be installed here to parse it.)
    fail.check(max(open(os.path.join(ROOT, "examples", "ksupdate-detect.ps1"),
                        "rb").read()) < 0x80, "ksupdate-detect.ps1 is ASCII")
    exes = {}
    for arch in ("win32", "win64"):
        path = os.path.join(directory, zip_name(version, arch))
        print(f"\n{os.path.basename(path)}")
        if not fail.check(os.path.isfile(path), "exists"):
            continue
        with tempfile.TemporaryDirectory(prefix="kszip-") as work:
            with zipfile.ZipFile(path) as archive:
                archive.extractall(work)
            tools = os.path.join(work, f"ksupdate-{version}-{arch}", "tools")
            check_tools(fail, lambda tool: [sys.executable, os.path.join(
                tools, tool)], work)
        data = check_zip(fail, path, version, arch)
        msi = os.path.join(directory, msi_name(version, arch))
        if fail.check(os.path.isfile(msi), f"{os.path.basename(msi)} exists"):
            check_msi_files(fail, msi, version, arch)
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
        msi_commands = []
        for arch in ("win32", "win64"):
            if arch in exes and os.path.isfile(os.path.join(
                    directory, msi_name(version, arch))):
                print(f"  {arch}: the Windows Installer package")
                check_msi_lifecycle(fail, wine, directory, version, arch,
                                    exes[arch], msi_commands)
        arch = wine_machine.reference_arch()
        if arch in exes:
            print(f"  {arch}: the README's deployment commands")
            check_deploying_commands(fail, wine, exes[arch], arch,
                                     msi_commands)
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
