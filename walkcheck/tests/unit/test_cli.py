"""cli.py: the command line, where it fails before running the program."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from support import WALKCHECK, scratch  # noqa: E402

CHECK_WALK = os.path.join(WALKCHECK, "check-walk")


def check_walk(*args):
    return subprocess.run([CHECK_WALK, *args], capture_output=True, text=True, timeout=30)


class CliTest(unittest.TestCase):
    def test_help(self):
        done = check_walk("--help")
        self.assertEqual(done.returncode, 0)
        self.assertTrue(done.stdout.startswith("usage: "), done.stdout)
        self.assertIn("--seed", done.stdout)

    def test_cannot_check(self):
        folder = scratch()
        header = bytearray(64)
        header[:6] = b"\x7fELF\x02\x01"  # 64-bit, little-endian, machine 0: none it reads
        files = {"not elf": b"#!/bin/sh\necho 0\n", "short elf": b"\x7fELF\x02\x01\x01",
                 "unknown machine": bytes(header)}
        for name, content in files.items():
            with open(os.path.join(folder, name), "wb") as file:
                file.write(content)
        for name in ["missing", *files]:
            with self.subTest(name):
                path = os.path.join(folder, name)
                done = check_walk(path)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stdout, "")
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertTrue(done.stderr.startswith(f"check-walk: {path}: cannot check: "),
                                done.stderr)


if __name__ == "__main__":
    unittest.main()
