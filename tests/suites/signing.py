"""Signed patches for the suites: the test keys of tests/data/keys, the
values that pin them, and signatures made by openssl, as a publisher's
would be.
"""

import base64
import hashlib
import os
import subprocess

KEYS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__))), "data", "keys")


def key_path(name):
    return os.path.join(KEYS, name + ".pem")


def public_der(name):
    """The SubjectPublicKeyInfo DER of test key `name`."""
    return subprocess.run(
        ["openssl", "pkey", "-in", key_path(name), "-pubout", "-outform",
         "DER"], check=True, capture_output=True).stdout


def pinned_value(name, form="spki"):
    """The TrustedKeys line for test key `name`: base64 of its
    SubjectPublicKeyInfo DER ("spki", as openssl exports it) or of its
    65-byte uncompressed point ("point", as .NET returns it)."""
    der = public_der(name)
    data = der[-65:] if form == "point" else der
    return "ecdsa-p256:" + base64.b64encode(data).decode("ascii")


def key_id(name):
    """How client.ver and the result file name test key `name`."""
    point = public_der(name)[-65:]
    return "ecdsa-p256:" + hashlib.sha256(point).hexdigest()[:16]


def der_to_raw(der):
    """r||s, 32 bytes each, of a DER ECDSA signature."""
    def integer(at):
        assert der[at] == 0x02
        length = der[at + 1]
        value = der[at + 2:at + 2 + length].lstrip(b"\0")
        return value.rjust(32, b"\0"), at + 2 + length
    r, at = integer(2)
    s, _ = integer(at)
    return r + s


# Signatures made so far, by key and manifest bytes: ECDSA draws a new
# nonce each time, and runs that are compared must see the same bytes.
_SIGNED = {}


def sign(manifest, name, encoding="der", suffix=".sig"):
    """Signs the file `manifest` with test key `name`, as openssl does
    (DER), or as .NET's SignData does (raw r||s), into manifest + suffix."""
    with open(manifest, "rb") as f:
        made = (name, hashlib.sha256(f.read()).hexdigest())
    if made not in _SIGNED:
        _SIGNED[made] = subprocess.run(
            ["openssl", "dgst", "-sha256", "-sign", key_path(name), manifest],
            check=True, capture_output=True).stdout
    der = _SIGNED[made]
    with open(manifest + suffix, "wb") as f:
        f.write(der if encoding == "der" else der_to_raw(der))
