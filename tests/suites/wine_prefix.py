"""Wine prefixes for the tests and tools: system.reg in the format Wine
saves it in, a prefix laid out by hand for the Linux build, and a real
one made with wineboot for the Windows builds.

system_reg() writes the header (with #arch), then one block a key: its
escaped path, a modification stamp and #time line, and its values, text
values escaped as Wine escapes them (backslash and quote doubled, every
character outside printable ASCII as \\xNN). The client's key is in the
32-bit view: under Software\\Wow6432Node in a win64 prefix, under
Software in a win32 one.
"""

import os
import subprocess

import wine_machine

# The client's key under HKLM\Software as its 32-bit installer wrote it,
# and the value that names the installation directory.
CLIENT_KEY = "Kestrova\\Plennet Groupware 6.5"
CLIENT_VALUE = "KestrovaDir32"
# The same key as `wine reg` names it.
REG_KEY = "HKLM\\SOFTWARE\\" + CLIENT_KEY
# The policy key, in the native (64-bit) view, that pins publishers' keys.
POLICY_KEY = "Policies\\" + CLIENT_KEY + "\\ksupdate"
# The key's modification stamp, a time in 2023: any fixed one will do.
STAMP = 1700000000


class TypedValue(str):
    """A value of another type than text, written as given: dword:00000010,
    hex:01,02 (with its continuation lines), str(2):"%SystemRoot%"."""


def reg_escape(text):
    out = []
    for ch in text:
        if ch in '\\"':
            out.append("\\" + ch)
        elif 32 <= ord(ch) < 127:
            out.append(ch)
        else:
            out.append(f"\\x{ord(ch):x}")
    return "".join(out)


def key_block(path, values, stamp=STAMP):
    """One key and its values: name (None for the key's default value) ->
    text, or a TypedValue."""
    lines = [f"[{reg_escape(path)}] {stamp}", "#time=1d9f0e3c2b1a000"]
    for name, data in values.items():
        name = "@" if name is None else f'"{reg_escape(name)}"'
        data = data if isinstance(data, TypedValue) else \
            f'"{reg_escape(data)}"'
        lines.append(f"{name}={data}")
    return "\n".join(lines) + "\n\n"


def policy_value(value):
    """A policy value as system.reg writes it: a list of texts is a
    REG_MULTI_SZ, a number a REG_DWORD, a text a REG_SZ."""
    if isinstance(value, list):
        data = "".join(v + "\0" for v in value) + "\0"
        hex_bytes = ",".join(f"{b:02x}" for b in data.encode("utf-16-le"))
        return TypedValue("hex(7):" + hex_bytes)
    if isinstance(value, int):
        return TypedValue(f"dword:{value:08x}")
    return value


def system_reg(registry, arch="win32", registry64=None, filler=(),
               policy=None):
    """system.reg with the client's key holding `registry` (name -> text;
    no key when None) in the 32-bit view and, in a win64 prefix,
    `registry64` in the 64-bit one; `filler`, other key blocks, goes half
    before the client's key and half after it. `policy`, name -> value
    (policy_value), makes the policy key in the native view."""
    view32 = "Software\\" + ("Wow6432Node\\" if arch == "win64" else "")
    half = len(filler) // 2
    text = ("WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n"
            f"#arch={arch}\n\n")
    text += key_block("Software\\Microsoft\\Windows\\CurrentVersion",
                      {"ProgramFilesDir": "C:\\Program Files"})
    text += "".join(filler[:half])
    if registry is not None:
        text += key_block(view32 + CLIENT_KEY, registry)
    if registry64 is not None:
        text += key_block("Software\\" + CLIENT_KEY, registry64)
    if policy is not None:
        text += key_block("Software\\" + POLICY_KEY,
                          {n: policy_value(v) for n, v in policy.items()})
    text += "".join(filler[half:])
    return text.encode("ascii")


def make_prefix(root, install_dir, filler=(), policy=None):
    """A win32 prefix as the Linux build reads it: dosdevices/c: ->
    ../drive_c and a system.reg whose client value is `install_dir` (and
    `policy`, as system_reg takes it). Returns drive C's path."""
    drive_c = os.path.join(root, "drive_c")
    os.makedirs(drive_c)
    os.makedirs(os.path.join(root, "dosdevices"))
    os.symlink("../drive_c", os.path.join(root, "dosdevices", "c:"))
    with open(os.path.join(root, "system.reg"), "wb") as f:
        f.write(system_reg({CLIENT_VALUE: install_dir}, filler=filler,
                           policy=policy))
    return drive_c


def wine_env(prefix, home):
    """The environment for Wine on `prefix`: no debug output, no display,
    no Mono or Gecko to install, no trace channel of ours, and what this
    machine's Wine command needs (wine_machine)."""
    env = wine_machine.environ(dict(
        os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", HOME=home,
        WINEDLLOVERRIDES="mscoree,mshtml="))
    for name in ("DISPLAY", "KSUPDATE_TRACE"):
        env.pop(name, None)
    return env


def reg_add_policy(name, value):
    """The `wine reg add` words that set one policy value (as system_reg's
    `policy` gives them) in the native view."""
    kind = "REG_SZ"
    if isinstance(value, list):
        kind, value = "REG_MULTI_SZ", "\\0".join(value)
    elif isinstance(value, int):
        kind, value = "REG_DWORD", str(value)
    return ["reg", "add", "HKLM\\SOFTWARE\\" + POLICY_KEY, "/v", name, "/t",
            kind, "/d", value, "/f", "/reg:64"]


def boot_wine_prefix(env, install_dir, policy=None):
    """Makes the Wine prefix of `env` (wine_env) with the client's value
    `install_dir` in the 32-bit view and the `policy` values, and waits
    until its server has saved the registry to system.reg and exited.
    Raises RuntimeError with Wine's output when a step fails."""
    def run(argv, timeout):
        result = subprocess.run(argv, env=env, timeout=timeout,
                                stdin=subprocess.DEVNULL, capture_output=True)
        if result.returncode != 0:
            raise RuntimeError(
                f"{' '.join(argv)}: status {result.returncode}: "
                f"{(result.stdout + result.stderr)[-400:]!r}")
    run(wine_machine.command("wineboot", "-i"), 600)
    run(wine_machine.command("reg", "add", REG_KEY, "/v", CLIENT_VALUE, "/d",
                             install_dir, "/f", "/reg:32"), 300)
    for name, value in (policy or {}).items():
        run(wine_machine.command(*reg_add_policy(name, value)), 300)
    subprocess.run(["wineserver", "-w"], env=env, check=False, timeout=300,
                   capture_output=True)
