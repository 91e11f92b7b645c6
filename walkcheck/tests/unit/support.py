"""What the unit tests share: walkcheck/'s place, walk_replay built once a run, and
made-up traces of a walk (trace.h) with plans for watch.c (watch.h)."""
import atexit
import functools
import os
import shutil
import subprocess
import tempfile

WALKCHECK = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

GARDEN = 0x7f00a0  # the garden's address
WALK = (0x1000, 0x1100)  # the walk's code
CLEAR, STEP, LOAD, LAST, TALLY = 0x1000, 0x1010, 0x1020, 0x1030, 0x1040
MAIN, CALLEE = 0x2000, 0x2100  # code outside the walk


def byte(state, cell):
    """Garden byte `cell` in state `state`: cell 31 holds the lowest bit."""
    return state >> (31 - cell) & 1


def state_bytes(state, first=0, size=32):
    return bytes(byte(state, cell) for cell in range(first, first + size))


def access(kind, address, data):  # a trace line of a load or store
    return f"{kind} {address:x} {len(data)} {data.hex()}"


class Walk:
    """A made-up trace of a walk at size k that keeps every rule, in parts a test can replace:
    start and end (code outside the walk), steps[n] (the stores into state n, for n up to
    2^k - 1; steps[0] clears the garden) and recounts[n] (the loads of state n)."""

    def __init__(self, k, size=32):
        self.states = 2 ** k - 1
        self.start, self.end = [f"I {MAIN:x}"], [f"I {MAIN:x}"]
        self.steps = {n: self.step(n, size) for n in range(1, self.states + 1)}
        self.steps[0] = [f"I {CLEAR:x}", access("S", GARDEN, bytes(32))]
        self.recounts = {n: self.recount(n) for n in range(self.states)}

    @staticmethod
    def step(state, size=32, parts=None):
        """Stores of `state` by STEP, `size` bytes each: the parts given, or all."""
        parts = range(32 // size) if parts is None else parts
        return [line for at in (size * p for p in parts) for line in
                (f"I {STEP:x}", access("S", GARDEN + at, state_bytes(state, at, size)))]

    @staticmethod
    def recount(state, quarters=range(4), data=None):
        """Loads of 8 bytes of the garden holding `state` (or `data`): quarters 0..2 by a loop
        at LOAD, quarter 3 by LAST; the tally is stored just past the garden on the way."""
        data = state_bytes(state) if data is None else data
        lines = []
        for q in quarters:
            lines += [f"I {LOAD if q < 3 else LAST:x}",
                      access("L", GARDEN + 8 * q, data[8 * q:8 * q + 8])]
            if q == 1:
                lines += [f"I {TALLY:x}", access("S", GARDEN + 32, state.to_bytes(4, "little"))]
        return lines

    def lines(self):
        return self.start + [line for n in range(self.states + 1) for line in
                             self.steps.get(n, []) + self.recounts.get(n, [])] + self.end


def plan(states, windows=(), probes=()):
    return "".join([f"garden {GARDEN:x}\nstates {states}\nwalk {WALK[0]:x} {WALK[1]:x}\n"] +
                   [f"window {first} {end}\n" for first, end in windows] +
                   [f"probe {state} {cell}\n" for state, cell in probes])


@functools.cache
def work():
    """A folder for this run, removed at its end, with walk_replay built in it."""
    folder = tempfile.mkdtemp(prefix="walkcheck-unit-")
    atexit.register(shutil.rmtree, folder, True)
    sources = [os.path.join(WALKCHECK, name) for name in ("walk_replay.c", "watch.c", "trace.c")]
    subprocess.run(["cc", "-O2", "-o", os.path.join(folder, "walk_replay"), *sources], check=True)
    return folder


def scratch():  # a new folder for a test's files
    return tempfile.mkdtemp(dir=work())


def replay(plan_text, trace):
    """Runs walk_replay on the plan and the trace's lines; the path of the result file."""
    folder = scratch()
    paths = [os.path.join(folder, name) for name in ("plan", "trace", "result")]
    for path, text in zip(paths, (plan_text, "".join(line + "\n" for line in trace))):
        with open(path, "w") as file:
            file.write(text)
    subprocess.run([os.path.join(work(), "walk_replay"), *paths], check=True)
    return paths[2]


def result_lines(plan_text, trace):
    with open(replay(plan_text, trace)) as file:
        return file.read().splitlines()
