"""Reading the files walkcheck's C tools write: traces and change lists (trace.h), and
watch.c's results (watch.h)."""


def read_lines(path):
    """A trace as executed: [(address, [(kind, address, size, bytes in hex)]) for an
    instruction run in the traced code, (None, address) where control left it, or
    (None, None) at a window's end (G)]; and its other lines, each (fields, the number of
    entries before it)."""
    executed, accesses, others = [], [], []
    with open(path) as file:
        for line in file:
            fields = line.split()
            kind = fields[0]
            if kind in ("I", "X", "G"):
                accesses = []
                address = int(fields[1], 16) if len(fields) > 1 else None
                executed.append((address, accesses) if kind == "I" else (None, address))
            elif kind in ("L", "S"):
                accesses.append((kind, int(fields[1], 16), int(fields[2]), fields[3]))
            else:
                others.append((fields, len(executed)))
    return executed, others


def read_trace(path):
    """A trace, as read_lines gives it, and the values of its lines of other kinds (B, T),
    by kind."""
    executed, others = read_lines(path)
    return executed, {fields[0]: int(fields[1], 16) for fields, _ in others}


class Result:
    """What watch.c found in one run: the fault (its fields) or None, the states recounted,
    the walk's instructions that ran, the probes' loads {(state, cell): (insn, time)}, and
    the windows' trace, as read_lines gives it, with the place in it of each recount:
    {state: index of the next entry}."""

    def __init__(self, path):
        self.fault, self.recounted, self.executed_walk = None, None, set()
        self.probes, self.recounts = {}, {}
        self.executed, others = read_lines(path)
        for fields, place in others:
            kind = fields[0]
            if kind == "R":
                self.recounts[int(fields[1])] = place
            elif kind == "F":
                self.fault = fields[1:]
            elif kind == "N":
                self.recounted = int(fields[1])
            elif kind == "E":
                self.executed_walk.add(int(fields[1], 16))
            elif kind == "P":
                self.probes[int(fields[1]), int(fields[2])] = (int(fields[3], 16),
                                                               int(fields[4]))
