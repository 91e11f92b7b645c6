"""cli.py: the command line, where it fails before running the program."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from support import WALKCHECK, scratch  # noqa: E402
from checker.errors import CannotCheck, Skipped  # noqa: E402
from checker.runners import Native  # noqa: E402

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

    def test_path_unavailable(self):
        # An x86-64 ELF header: check-walk picks how to run it before reading more.
        folder = scratch()
        header = bytearray(64)
        header[:7] = b"\x7fELF\x02\x01\x01"
        header[18] = 62  # EM_X86_64
        program = os.path.join(folder, "garden_count")
        with open(program, "wb") as file:
            file.write(bytes(header))
        empty = os.path.join(folder, "bin")
        os.mkdir(empty)
        with open("/proc/cpuinfo") as file:
            other = "vector16" if " avx2" in file.read() else "avx2"
        # Without qemu-user, the path this processor does not take cannot be run: skipped.
        done = subprocess.run([sys.executable, CHECK_WALK, "--path", other, program],
                              capture_output=True, text=True, timeout=30,
                              env={**os.environ, "PATH": empty})
        self.assertEqual(done.returncode, 77, done.stderr)
        self.assertEqual(done.stdout, "")
        self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
        self.assertIn(f"{program}: not checked: qemu-x86_64 is not installed (Debian package "
                      f"qemu-user), and this processor does not take the {other} path",
                      done.stderr)
        # A path no x86-64 processor takes is a mistake, not a skip.
        done = check_walk("--path", "portable", program)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("no x86-64 processor takes a path named portable", done.stderr)


class RunnerTest(unittest.TestCase):
    def test_ptrace_refused(self):
        # walk_ptrace exits 3, saying so, where the system refuses ptrace: a skip. Any
        # other failure of the program under it is not.
        folder = scratch()
        native = Native.__new__(Native)
        native.work, native.binary, native.first, native.lo, native.hi, native.main = \
            folder, "/bin/true", 0, 0, 0, 0
        native.accesses = os.path.join(folder, "accesses")
        for status, message, error in [(3, "walk_ptrace: this system refuses ptrace", Skipped),
                                       (3, "", CannotCheck), (1, "refuses ptrace", CannotCheck)]:
            with self.subTest(status=status, message=message):
                native.tracer = os.path.join(folder, "tracer")
                with open(native.tracer, "w") as file:
                    file.write(f"#!/bin/sh\necho '{message}' >&2\nexit {status}\n")
                os.chmod(native.tracer, 0o755)
                with self.assertRaises(CannotCheck) as raised:
                    native.trace(3, (0, 0, 0))
                self.assertIs(type(raised.exception), error)


if __name__ == "__main__":
    unittest.main()
