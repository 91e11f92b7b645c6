"""binary.py and cli.py: the builds judged their own way, told from the program's file."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from support import scratch  # noqa: E402
from checker.binary import symbol_names, unoptimized  # noqa: E402
from checker.cli import sanitized  # noqa: E402

SOURCE = "int g(int);\nint f(int x) { return g(x) + 1; }\n"


class BuildsTest(unittest.TestCase):
    def test_unoptimized(self):
        folder = scratch()
        with open(os.path.join(folder, "f.c"), "w") as file:
            file.write(SOURCE)
        cases = [("-g -O0", True), ("-g", True), ("-g -O1", False), ("-g -O2", False),
                 ("-O0", False)]  # without debugging information, taken for optimized
        for flags, expected in cases:
            with self.subTest(flags):
                out = os.path.join(folder, "f.o")
                subprocess.run(["cc", *flags.split(), "-c", "f.c", "-o", out], cwd=folder,
                               check=True)
                self.assertEqual(unoptimized(out), expected)

    def test_sanitized(self):
        cases = [(["main", "__asan_init", "walk"], "AddressSanitizer"),
                 (["main", "__ubsan_handle_add_overflow"], None), (["main"], None)]
        for names, expected in cases:
            with self.subTest(names):
                self.assertEqual(sanitized(set(names)), expected)

    def test_sanitized_build(self):
        # AddressSanitizer's functions come from a shared library: undefined in the file.
        folder = scratch()
        with open(os.path.join(folder, "f.c"), "w") as file:
            file.write("int f(int *p) { return *p; }\n")
        for flags, expected in [("-fsanitize=address", "AddressSanitizer"), ("-O2", None)]:
            with self.subTest(flags):
                subprocess.run(["cc", flags, "-c", "f.c"], cwd=folder, check=True)
                names = symbol_names(os.path.join(folder, "f.o"))
                self.assertEqual(sanitized(names), expected)


if __name__ == "__main__":
    unittest.main()
