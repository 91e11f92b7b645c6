"""watch.c's rules, through walk_replay, on made-up traces of a walk at k = 3 (states 0..6)."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from support import (CALLEE, CLEAR, GARDEN, LAST, LOAD, MAIN, STEP, TALLY, WALK, Walk,  # noqa: E402
                     access, byte, plan, result_lines, state_bytes)

K, STATES = 3, 7


def changed(before, after):
    """The mask of the cells (bit c: byte c) that differ between two states."""
    return sum(1 << cell for cell in range(32) if byte(before, cell) != byte(after, cell))


def run(changes, k=K, size=32, **planned):
    """The result's lines for the faithful walk with parts replaced ({(part, n): lines})."""
    walk = Walk(k, size)
    for (part, n), lines in changes.items():
        if part in ("start", "end"):
            setattr(walk, part, lines)
        else:
            getattr(walk, part)[n] = lines
    return result_lines(plan(2 ** k - 1, **planned), walk.lines())


def of(kind, result):
    return [line for line in result if line.split()[0] == kind]


class WatchTest(unittest.TestCase):
    def test_faithful_walks_pass(self):
        # Each word of the garden changed in place: loaded and stored by one instruction.
        rmw = {("steps", n): [line for q in range(4) for line in (
            f"I {STEP:x}", access("L", GARDEN + 8 * q, state_bytes(n - 1, 8 * q, 8)),
            access("S", GARDEN + 8 * q, state_bytes(n, 8 * q, 8)))] for n in range(1, STATES + 1)}
        cases = [("32-byte steps", {}, 3, 32), ("8-byte steps", {}, 3, 8), ("k = 4", {}, 4, 32),
                 ("k = 4, 8-byte steps", {}, 4, 8),
                 ("steps store only the word they change",
                  {("steps", n): Walk.step(n, 8, [3]) for n in range(1, STATES + 1)}, 3, 32),
                 ("steps change each word in place", rmw, 3, 32),
                 ("code outside stores the garden before the walk",
                  {("start", 0): [f"I {MAIN:x}", access("S", GARDEN, bytes(32))]}, 3, 32),
                 ("code outside loads the garden after the walk",
                  {("end", 0): [f"I {MAIN:x}", access("L", GARDEN, state_bytes(STATES))]}, 3, 32)]
        for name, changes, k, size in cases:
            with self.subTest(name):
                result = run(changes, k, size)
                self.assertEqual(of("F", result), [])
                self.assertEqual(of("N", result), [f"N {2 ** k - 1}"])
                self.assertEqual(sorted(of("E", result)),
                                 sorted(f"E {a:x}" for a in (CLEAR, STEP, LOAD, LAST, TALLY)))

    def test_each_rule(self):
        value = bytearray(state_bytes(3))
        value[7] = 5
        earlier = min(cell for cell in range(32) if byte(1, cell) != byte(3, cell))
        cases = [
            ("extra", {("recounts", STATES): Walk.recount(STATES)}, f"extra {STATES}"),
            ("count", {("recounts", STATES - 1): []}, f"count {STATES - 1}"),
            ("unstored", {("steps", 4): Walk.step(4, 8, [0])},
             f"unstored 4 {changed(3, 4):x} {LAST:x}"),
            ("unstored at the end", {("steps", STATES): []},
             f"unstored {STATES} {changed(STATES - 1, STATES):x} -"),
            ("partial", {("recounts", 2): Walk.recount(2, quarters=(2, 3))},  # half of it
             f"partial 2 {0xffff:x} {STEP:x}"),
            ("value not 0 or 1", {("recounts", 3): Walk.recount(3, data=value)},
             f"value 3 7 5 {LOAD:x}"),
            ("value of an earlier state", {("recounts", 3): Walk.recount(3, data=state_bytes(1))},
             f"value 3 {earlier} {byte(1, earlier)} {LAST:x}"),
            ("later (state 3 skipped)", {("recounts", 3): [], ("steps", 3): []},
             f"later 3 4 {LAST:x}"),
            ("outside between recounts", {("steps", 3): [f"I {CALLEE:x}", *Walk.step(3)]},
             f"outside {CALLEE:x} {LAST:x}"),
            ("outside loads the garden", {("steps", 3): [
                f"I {CALLEE:x}", access("L", GARDEN + 8, state_bytes(2, 8, 8)), *Walk.step(3)]},
             f"outside {CALLEE:x} {STEP:x}"),
        ]
        for name, changes, fault in cases:
            with self.subTest(name):
                result = run(changes)
                self.assertEqual(of("F", result), [f"F {fault}"])
                self.assertEqual(of("N", result), [])

    def test_windows_and_probes(self):
        probes = [(0, 31), (2, 5), (2, 30), (5, 17), (6, 24)]
        result = run({}, windows=[(2, 4), (5, 8)], probes=probes)
        # Quarters 0..2 are loaded by one instruction, 3 times a recount; quarter 3 by another.
        self.assertEqual(of("P", result), [
            f"P {s} {c} {LOAD:x} {3 * s + c // 8}" if c < 24 else f"P {s} {c} {LAST:x} {s}"
            for s, c in probes])
        self.assertEqual([line for line in result if line[0] in "RG"],
                         ["R 2", "R 3", "G", "R 5", "R 6"])
        # Ahead of each R, the loads of that state, whole; and no others.
        held, loaded = [], bytearray(b"\xff" * 32)
        for kind, *fields in (line.split() for line in result):
            if kind == "L" and GARDEN <= int(fields[0], 16) < GARDEN + 32:
                at = int(fields[0], 16) - GARDEN
                loaded[at:at + int(fields[1])] = bytes.fromhex(fields[2])
            elif kind == "R":
                held.append((int(fields[0]), bytes(loaded)))
                loaded = bytearray(b"\xff" * 32)
        self.assertEqual(held, [(s, state_bytes(s)) for s in (2, 3, 5, 6)])
        self.assertEqual(loaded, b"\xff" * 32)
        insns = [int(line.split()[1], 16) for line in of("I", result)]
        self.assertTrue(all(WALK[0] <= a < WALK[1] for a in insns))
        self.assertEqual(insns.count(TALLY), 4)  # once in each of the 4 recounts traced


if __name__ == "__main__":
    unittest.main()
