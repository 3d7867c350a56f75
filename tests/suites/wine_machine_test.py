#!/usr/bin/env python3
"""wine_machine.find against fake Wine loaders: one that fails as a kernel
without 32-bit support makes it fail, and ones that answer as Wine does."""

import json
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_machine as wm  # noqa: E402

WORKS = "#!/bin/sh\necho wine-8.0\n"
# What the `wine` wrapper prints when the kernel refuses the i386 loader.
REFUSED = "#!/bin/sh\necho \"$0: exec: /usr/lib/wine/wine: " \
    "Exec format error\" >&2\nexit 126\n"


class FindTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def loader(self, name, text=None, data=None):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data if data is not None else text.encode())
        os.chmod(path, 0o755)
        return path

    def test_32_bit_loader_refused(self):
        wine64 = self.loader("wine64", WORKS)
        # Refused by a script as the wrapper reports it, and by the kernel
        # itself (a file that is no program it knows).
        for wine32 in (self.loader("wine", REFUSED),
                       self.loader("junk", data=b"\x00" * 64)):
            found = wm.find(wine32, wine64, kernel_runs_i386=lambda: False)
            self.assertEqual(found["runs"], ["win64"])
            self.assertEqual(found["command"], [wine64])
            self.assertEqual(found["env"], {"WINELOADER": wine64})
            self.assertIn("cannot run 32-bit programs",
                          found["not_run"]["win32"])
            self.assertIn("Exec format error", found["not_run"]["win32"])

    def test_both_loaders_work(self):
        wine32, wine64 = self.loader("wine", WORKS), self.loader("w64", WORKS)
        found = wm.find(wine32, wine64, wrapper="wine")
        self.assertEqual((found["runs"], found["command"], found["env"]),
                         (["win32", "win64"], ["wine"], {}))
        forced = wm.find(wine32, wine64, setting="64")
        self.assertEqual((forced["runs"], forced["command"]),
                         (["win64"], [wine64]))
        self.assertIn("KSUPDATE_TEST_WINE=64", forced["not_run"]["win32"])
        self.assertRaises(ValueError, wm.find, wine32, wine64, setting="32")

    def test_nothing_runs(self):
        found = wm.find(os.path.join(self.dir.name, "none"),
                        self.loader("w64", REFUSED),
                        kernel_runs_i386=lambda: True)
        self.assertEqual((found["runs"], found["command"]), ([], None))
        self.assertIn("is not installed", found["not_run"]["win32"])
        self.assertIn("status 126", found["not_run"]["win64"])

    def test_finding_kept_for_the_run(self):
        kept = {"runs": ["win64"], "setting": "64", "not_run": {},
                "command": ["x"], "env": {}}
        with mock.patch.dict(os.environ, {wm.KEPT: json.dumps(kept),
                                          wm.SETTING: "64"}), \
                mock.patch.object(wm, "find") as find:
            self.assertEqual(wm.machine(), kept)
            find.assert_not_called()
            os.environ[wm.SETTING] = ""
            find.return_value = dict(kept, setting="")
            wm.machine()
            find.assert_called_once_with(setting="")
            self.assertEqual(json.loads(os.environ[wm.KEPT])["setting"], "")


if __name__ == "__main__":
    unittest.main()
