#!/usr/bin/env python3
"""Checks that every path and code name docs/design.md gives exists.

Usage: design_names_test.py [FILE]

In FILE (docs/design.md unless given), each text in backquotes that looks
like a path (it holds a '/'), a file name (a word with an extension we
build from) or a code name (CamelCase or kConstant, optionally with
Class:: and a trailing "()") must name something in the source tree: a
tracked file or directory that ends with that path, a file of that name,
or a word of a .cc or .h file. Other backquoted texts (settings, section
names, system calls) are not looked up. Exits 1, naming each one missing.
"""

import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
CODE_NAME = re.compile(r"^(?:[A-Za-z_]\w*::)*(?:[A-Z]\w*[a-z]\w*|k[A-Z]\w+)"
                       r"(?:\(\))?$")
FILE_NAME = re.compile(r"^[\w.-]+\.(?:cc|h|py|cmake|in|rc|md|json)$")
PATH = re.compile(r"^[\w.-]+(?:/[\w.-]*)+$")


def tracked_files():
    out = subprocess.run(["git", "ls-files"], cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout
    return out.split()


def missing_names(text, files, read):
    """The backquoted names of `text` that `files` (tracked paths) and the
    words of their sources (`read(path)` gives a file's text) lack."""
    words = None
    missing = []
    for name in dict.fromkeys(re.findall(r"`([^`\n]+)`", text)):
        if name.startswith("/"):
            continue
        if PATH.match(name):
            found = any(f == name or f.endswith("/" + name) or
                        (name.endswith("/") and ("/" + f).find("/" + name)
                         >= 0) for f in files)
        elif FILE_NAME.match(name):
            found = any(os.path.basename(f) == name for f in files)
        elif CODE_NAME.match(name):
            if words is None:
                words = set()
                for f in files:
                    if f.endswith((".cc", ".h")):
                        words.update(re.findall(r"\w+", read(f)))
            found = name.removesuffix("()").split("::")[-1] in words
        else:
            continue
        if not found:
            missing.append(name)
    return missing


def main(argv):
    doc = argv[1] if len(argv) > 1 else os.path.join(ROOT, "docs",
                                                     "design.md")
    with open(doc, encoding="utf-8") as f:
        text = f.read()

    def read(path):
        with open(os.path.join(ROOT, path), encoding="utf-8",
                  errors="replace") as f:
            return f.read()

    files = tracked_files()
    # The check must be able to fail: a name that is nowhere is missing.
    planted = missing_names("`NoSuchRuleAnywhere` `engine/no_such.cc`",
                            files, read)
    if planted != ["NoSuchRuleAnywhere", "engine/no_such.cc"]:
        print(f"design_names_test: the check itself is broken: {planted}")
        return 1
    missing = missing_names(text, files, read)
    for name in missing:
        print(f"{os.path.relpath(doc, ROOT)}: `{name}` names nothing in the "
              "source tree")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
