#!/usr/bin/env python3
"""The signing commands that docs/manifests.md shows, run as shown on a
scratch patch: scripts/sign's two forms, then openssl's, each signature
checked against the key line printed to pin it."""

import base64
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__))))


def block_after(text, heading, start):
    """The first ```sh block after `heading`, from offset `start`."""
    at = text.index(heading, start)
    begin = text.index("```sh\n", at) + len("```sh\n")
    return text[begin:text.index("```", begin)], begin


def verify(work, line, manifest):
    """The signature beside `manifest` is the pinned key's."""
    der = base64.b64decode(line.split(":", 1)[1])
    pem = os.path.join(work, "pinned.pem")
    with open(pem, "wb") as f:
        f.write(b"-----BEGIN PUBLIC KEY-----\n" + base64.encodebytes(der) +
                b"-----END PUBLIC KEY-----\n")
    subprocess.run(["openssl", "dgst", "-sha256", "-verify", pem,
                    "-signature", manifest + ".sig", manifest], check=True,
                   capture_output=True)


def run_block(block, work, subst):
    for old, new in subst.items():
        block = block.replace(old, new)
    return subprocess.run(["bash", "-euo", "pipefail", "-c", block], cwd=work,
                          check=True, capture_output=True, text=True).stdout


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
        script, at = block_after(text, "scripts/sign", signing)
        out = run_block(script, work, {
            "scripts/sign": os.path.join(ROOT, "scripts", "sign"),
            "/srv/patch": patch})
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
    finally:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
