"""rules.py: the verdicts, on made-up x86 code and made-up runs."""
import contextlib
import os
import random
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from support import GARDEN, WALKCHECK, Walk, plan, replay, state_bytes  # noqa: E402
from checker import rules  # noqa: E402
from checker.arch import X86, split_operands  # noqa: E402
from checker.errors import Verdict  # noqa: E402
from checker.plan import Plan  # noqa: E402
from checker.trace import Result  # noqa: E402

BIAS = 0x400000  # where the program's file is loaded
STACK = 0x7ffff000


def code(texts, start=0x1000):
    """Code with each instruction at 4 bytes from the one before, as binary.disassembly has it."""
    found = {}
    for i, text in enumerate(texts):
        prefixes, words = [], text.split(None, 1)
        if words[0] == "lock":
            prefixes, words = ["lock"], words[1].split(None, 1)
        found[start + 4 * i] = (words[0], split_operands(words[1]) if len(words) > 1 else [],
                                text, prefixes)
    return rules.Code(X86(), found, BIAS, [])


def L(at, size=8):  # a load as the trace has it
    return ("L", at, size, "00" * size)


def S(at, size=8):
    return ("S", at, size, "00" * size)


class RulesTest(unittest.TestCase):
    def verdict(self, pattern):
        """Expects a Verdict matching the pattern, or none if it is None."""
        return contextlib.nullcontext() if pattern is None else \
            self.assertRaisesRegex(Verdict, pattern)

    def test_check_used(self):
        load = ("mov rax, QWORD PTR [rdi]", [L(GARDEN)])
        spill = ("mov QWORD PTR [rsp+8], rax", [S(STACK)])
        reload = ("mov rcx, QWORD PTR [rsp+8]", [L(STACK)])
        cases = [
            ("read next", [load, ("add rdx, rax", [])], None),
            ("read later", [load, ("add rcx, 1", []), ("popcnt rdx, rax", [])], None),
            ("used by the loading instruction", [("add rdx, QWORD PTR [rdi]", [L(GARDEN)])], None),
            ("vector", [("vmovdqu ymm0, YMMWORD PTR [rdi]", [L(GARDEN, 32)]),
                        ("vpaddb ymm1, ymm1, ymm0", [])], None),
            ("written first", [load, ("mov eax, 1", []), ("add rdx, rax", [])],
             "writes rax before anything reads it"),
            ("zeroed first", [load, ("xor eax, eax", []), ("add rdx, rax", [])],
             "writes rax before anything reads it"),
            ("vector zeroed first", [("vmovdqu ymm0, YMMWORD PTR [rdi]", [L(GARDEN, 32)]),
                                     ("vpxor xmm0, xmm0, xmm0", []),
                                     ("vpaddb ymm1, ymm1, ymm0", [])], "writes v0 before"),
            ("never read", [load, ("add rcx, 1", [])], "nothing reads rax"),
            ("spilled, loaded again and used", [load, spill, reload, ("add rdx, rcx", [])], None),
            ("spilled, never loaded again", [load, spill, ("add rcx, 1", [])],
             "nothing loads it again"),
            ("spilled, written over, then loaded", [
                load, spill, ("mov QWORD PTR [rsp+8], rdx", [S(STACK)]), reload,
                ("add rdx, rcx", [])], "nothing loads it again"),
            ("spilled, loaded again, written first", [
                load, spill, reload, ("mov ecx, 2", []), ("add rdx, rcx", [])],
             "loaded again at"),
        ]
        for name, run, fault in cases:
            with self.subTest(name):
                where = code([text for text, _ in run])
                executed = [(BIAS + 0x1000 + 4 * i, run[i][1]) for i in range(len(run))]
                with self.verdict(fault and "is not used: .*" + re.escape(fault)):
                    rules.Window(where, GARDEN, executed).check_used([0])

    def test_recounts(self):
        # Made up: a recount ended by a store, then one at the end of the trace.
        executed = [(1, [L(GARDEN, 16)]), (2, [S(GARDEN + 32)]), (1, [L(GARDEN + 16, 16)]),
                    (3, [S(GARDEN, 32)]), (1, [L(GARDEN, 16)]),
                    (4, [L(GARDEN + 16), L(GARDEN + 24), L(STACK)])]
        self.assertEqual(rules.Window(None, GARDEN, executed).recounts({4: 4, 5: 6}),
                         {4: [0, 2], 5: [4, 5]})
        # A window's end (None, None) parts the loads of one window from the next's.
        parted = executed[:4] + [(1, [L(GARDEN, 16)]), (None, None)] + executed[5:]
        self.assertEqual(rules.Window(None, GARDEN, parted).recounts({4: 4, 5: 7}),
                         {4: [0, 2], 5: [6]})
        # As watch.c marks them, with steps of four stores: each recount's loads hold its
        # state, whole.
        found = Result(replay(plan(7, windows=[(2, 4), (5, 8)]), Walk(3, 8).lines()))
        recounts = rules.Window(None, GARDEN, found.executed).recounts(found.recounts)
        self.assertEqual(sorted(recounts), [2, 3, 5, 6])
        for state, loads in recounts.items():
            held = bytearray(32)
            for _, at, size, data in (a for i in loads for a in found.executed[i][1]):
                held[at - GARDEN:at - GARDEN + size] = bytes.fromhex(data)
            self.assertEqual((state, len(loads), bytes(held)), (state, 4, state_bytes(state)))

    def test_check_barriers(self):
        where = code(["mov rax, QWORD PTR [rdi]", "mfence", "lock add DWORD PTR [rsp], 0",
                      "xchg QWORD PTR [rdi], rax", "xchg rax, rdx", "add rdx, rax"])
        at = [BIAS + 0x1000 + 4 * i for i in range(6)]
        for name, ran, fault in [("no barrier ran", (0, 4, 5), None), ("mfence", (0, 1, 5),
                                 "mfence"), ("lock prefix", (0, 2), "lock add"),
                                 ("xchg with memory", (3, 5), "xchg")]:
            with self.subTest(name), self.verdict(fault and "memory barrier .*" + fault):
                rules.check_barriers(where, {at[i] for i in ran})

    def test_fault_verdict(self):
        where = code(["mov rax, QWORD PTR [rdi+0x18]"])
        cases = [(["extra", "7"], ["7 states"]), (["count", "6"], ["6 times", "7 states"]),
                 (["unstored", "4", "e0000000", "401000"], ["state 4", "29..31", "1000 (mov"]),
                 (["unstored", "7", "80000000", "-"], ["31..31", "at the end of the walk"]),
                 (["partial", "2", "ff", "401000"], ["state 2", "0..7", "1000 (mov"]),
                 (["value", "2", "30", "0", "401000"], ["byte 30 as 0", "in state 2 it is 1"]),
                 (["later", "3", "5", "401000"], ["recount of state 2", "1000 (mov",
                                                   "loads state 5, not state 3"]),
                 (["outside", "402100", "401000"], ["2100", "1000 (mov"])]
        for fault, fragments in cases:
            with self.subTest(fault[0]):
                why = str(rules.fault_verdict(fault, 3, where))
                self.assertTrue(why.startswith("at k = 3, "), why)
                for fragment in fragments:
                    self.assertIn(fragment, why)
        with open(os.path.join(WALKCHECK, "watch.h")) as file:
            known = set(re.findall(r"^//\s+F ([a-z]+) ", file.read(), re.M))
        self.assertEqual(known, {fault[0] for fault, _ in cases})
        self.assertRaises(ValueError, rules.fault_verdict, ["bogus", "1"], 3, where)

    def test_change_runs(self):
        for name, states_values, runs in [("one way, spaced", [(0, 1), (4, 1), (9, 1)], 1),
                                          ("too close", [(0, 1), (1, 1), (2, 1), (3, 1)], 4),
                                          ("both ways", [(0, 1), (1, 0), (4, 1), (5, 0)], 2)]:
            with self.subTest(name):
                changes = [(state, 31, value, 0x1000, state) for state, value in states_values]
                found = rules.change_runs(changes)
                self.assertEqual(len(found), runs)
                self.assertEqual(sorted(c for run in found for c in run), sorted(changes))
                for run in found:
                    self.assertEqual(len({c[2] for c in run}), 1)
                    self.assertTrue(all(b[0] - a[0] >= rules.SPACING for a, b in zip(run, run[1:])))

    def test_check_tally(self):
        k = 6
        changes = [(state, cell, value, 0x1000 + 4 * (cell // 8), state)
                   for state, cell, value in Plan(k, random.Random(5)).probes]
        ignored = changes[len(changes) // 2]

        def program(skip):  # the true cells of all 2^k states, each changed byte counted
            return lambda applied: str((sum(bin(n).count("1") for n in range(2 ** k)) + sum(
                (1 if value else -1) for insn, time, address, value in applied
                if (insn, time, address - GARDEN) != skip)) % 1000000007)
        runs = rules.change_runs(changes)
        rules.check_tally(k, runs, GARDEN, program(None), code([]))
        with self.assertRaisesRegex(Verdict, f"at k = {k}, .*garden byte {ignored[1]} of "
                                             f"state {ignored[0]} set to {ignored[2]}"):
            rules.check_tally(k, runs, GARDEN, program((ignored[3], ignored[4], ignored[1])),
                              code([]))

    def test_garden_start(self):
        def walk(states, stack_stores):
            executed = [(None, 0x2000)]
            for n in range(states):
                executed += [(1, [S(GARDEN + 24)]), (2, [L(GARDEN + 8 * q) for q in range(4)]),
                             (3, [S(GARDEN + 32)])]  # the tally, just past it
                executed += [(4, [S(STACK - 64, 40), L(STACK - 64, 40)])] * stack_stores
            return executed
        self.assertEqual(rules.garden_start(walk(7, 0), STACK, 7), GARDEN)
        self.assertEqual(rules.garden_start(walk(7, 3), STACK, 7), GARDEN)  # not the stack
        self.assertRaisesRegex(Verdict, "no garden", rules.garden_start, walk(7, 0), STACK, 8)


if __name__ == "__main__":
    unittest.main()
