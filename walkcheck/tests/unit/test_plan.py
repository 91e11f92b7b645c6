"""plan.py: what each run looks at, drawn from its seed."""
import os
import random
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from support import GARDEN, WALK, Walk, byte, result_lines, scratch  # noqa: E402
from checker.plan import BOTH_WAYS, Plan  # noqa: E402
from checker.rules import SPACING  # noqa: E402

SIZES = (1, 2, 3, 5, 10, 12, 13, 20, 27)
SEEDS = (0, 1, 2)


def plans():
    for k in SIZES:
        for seed in SEEDS:
            yield k, seed, Plan(k, random.Random(seed))


class PlanTest(unittest.TestCase):
    def test_seeded(self):
        for k in (5, 20):
            same = [Plan(k, random.Random(7)) for _ in range(2)] + [Plan(k, random.Random(8))]
            fields = [(p.numbers, p.windows, p.probes) for p in same]
            self.assertEqual(fields[0], fields[1])
            self.assertNotEqual(fields[0][0], fields[2][0])

    def test_probes_and_windows(self):
        for k, seed, plan in plans():
            with self.subTest(k=k, seed=seed):
                states = [state for state, _, _ in plan.probes]
                self.assertEqual(states, sorted(states))  # watch.c reads them in order
                if plan.states > SPACING:  # the first and the last state, far enough apart
                    self.assertEqual((states[0], states[-1]), (0, 2 ** k - 2))
                for direction in (0, 1):
                    way = [state for state, _, value in plan.probes if value == direction]
                    self.assertTrue(all(b - a >= SPACING for a, b in zip(way, way[1:])), way)
                for state, cell, value in plan.probes:
                    self.assertEqual(value, 1 - byte(state, cell))  # every probe changes its byte
                    if plan.states > BOTH_WAYS:
                        self.assertEqual(value, 1)
                for state in (0, plan.states - 1):  # in the windows too
                    self.assertTrue(plan.checked(state))
                ends = [edge for window in plan.windows for edge in window]
                self.assertEqual(ends, sorted(set(ends)))  # in order, apart
                self.assertGreater(ends[-1], plan.states - 1)

    def test_every_byte_probed(self):
        cells = {cell for k in (13, 27) for seed in SEEDS
                 for _, cell, _ in Plan(k, random.Random(seed)).probes}
        self.assertEqual(cells, set(range(32)))

    def test_numbers_signed_32_bit(self):
        numbers = [n for seed in range(100) for n in Plan(0, random.Random(seed)).numbers]
        self.assertTrue(all(-2 ** 31 <= n < 2 ** 31 for n in numbers))
        self.assertLess(min(numbers), -2 ** 30)
        self.assertGreater(max(numbers), 2 ** 30)

    def test_written_plan_read_by_watch(self):
        plan = Plan(4, random.Random(3))
        path = os.path.join(scratch(), "plan")
        plan.write(path, GARDEN, [WALK])
        with open(path) as file:
            result = result_lines(file.read(), Walk(4).lines())
        self.assertEqual([line for line in result if line[0] in "FN"], ["N 15"])
        self.assertEqual([tuple(map(int, line.split()[1:3])) for line in result if line[0] == "P"],
                         [(state, cell) for state, cell, _ in plan.probes])


if __name__ == "__main__":
    unittest.main()
