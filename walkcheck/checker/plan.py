"""What check-walk looks at in each run, drawn from the run's seed, so that a walk cannot
know it in advance and a failure can be replayed (--seed): the three input values that do
not count, the windows in which the walk's instructions are traced, and the probes, the
garden bytes changed before their load."""
from .rules import GARDEN, SPACING, counter_cell

WHOLE = 4095  # states up to which one window takes in every state
WHOLE_UNOPTIMIZED = 255  # the same for an unoptimized build, whose states run long
WINDOW = 128  # states in a window past that
MARGIN = 64  # states traced past a window, in which its last values are read (a round)
PROBES = 256  # states drawn anywhere for probes, at each size
BOTH_WAYS = 4095  # states up to which probes clear bytes as well as set them


def number(rng):
    """A signed 32-bit integer."""
    return rng.randrange(-2 ** 31, 2 ** 31)


class Plan:
    """The plan for one size k: its input values (a, b, c), its windows [(first, end)], the
    states whose recounts the windows check, and its probes [(state, cell, value)]. Up to
    `whole` states, one window takes in the whole walk."""

    def __init__(self, k, rng, whole=WHOLE):
        self.k, self.states = k, 2 ** k - 1
        self.numbers = (number(rng), number(rng), number(rng))
        states = self.states
        if states <= whole:
            self.windows = [(0, states + 1)]
        else:
            # The first and last states, and two more windows anywhere between.
            starts = [0, states - WINDOW] + [rng.randrange(WINDOW, states - 2 * WINDOW - MARGIN)
                                             for _ in range(2)]
            self.windows = []
            for first in sorted(starts):
                end = states + 1 if first >= states - WINDOW else first + WINDOW + MARGIN
                if self.windows and first <= self.windows[-1][1]:
                    self.windows[-1] = (self.windows[-1][0], max(end, self.windows[-1][1]))
                else:
                    self.windows.append((first, end))
        self.probes = self.draw_probes(rng)

    def draw_probes(self, rng):
        """The probes: in the last states (in the last one always), the first, some in every
        octave of states (each twice as long as the one before), and the rest anywhere, each
        at a garden byte drawn for it. Up to BOTH_WAYS states, a probe flips its byte; past
        it, it sets one drawn among those false in its state, so that every probe moves the
        tally up. Those that move it the same way are SPACING states apart or more, so that
        each way takes one run."""
        states = self.states
        if states == 0:
            return []
        chosen = {states - 1 - i for i in range(4 * SPACING)} | set(range(4 * SPACING))
        for bits in range(1, self.k):
            chosen |= {rng.randrange(2 ** (bits - 1), 2 ** bits) for _ in range(4)}
        for _ in range(PROBES):
            chosen.add(rng.randrange(states))
        last, probes = {}, []
        for state in sorted(state for state in chosen if state < states):
            cells = range(GARDEN) if states <= BOTH_WAYS else \
                [cell for cell in range(GARDEN) if not counter_cell(state, cell)]
            cell = rng.choice(cells)
            value = 1 - counter_cell(state, cell)
            if state == states - 1:  # the last state is probed, in place of one too near it
                probes = [p for p in probes if p[2] != value or p[0] <= state - SPACING]
                last[value] = -SPACING
            if state - last.get(value, -SPACING) >= SPACING:
                last[value] = state
                probes.append((state, cell, value))
        return probes

    def checked(self, state):
        """Whether the windows check the recount of `state`: a window checks its states but
        the last MARGIN, unless it runs to the end of the walk."""
        return any(first <= state < (end if end > self.states else end - MARGIN)
                   for first, end in self.windows)

    def write(self, path, garden, walk, calls=False):
        """Writes the plan for watch.c (watch.h), with the garden's address and the walk's
        code [(start, end)], in order and apart, as the program has them; `calls` if the
        walk may run code outside it."""
        with open(path, "w") as file:
            file.write(f"garden {garden:x}\nstates {self.states}\n" + "calls\n" * calls)
            file.writelines(f"walk {start:x} {end:x}\n" for start, end in walk)
            file.writelines(f"window {first} {end}\n" for first, end in self.windows)
            file.writelines(f"probe {state} {cell}\n" for state, cell, _ in self.probes)
