"""Reading the files walkcheck's C tools write: traces and change lists (trace.h), and
watch.c's results (watch.h)."""


def read_trace(path):
    """A trace: [(address, [(kind, address, size, bytes in hex)]) for an instruction run in
    the traced code, or (None, address) where control left it], and the values of its lines
    of other kinds, by kind."""
    executed, accesses, values = [], [], {}
    with open(path) as file:
        for line in file:
            fields = line.split()
            if fields[0] == "I":
                accesses = []
                executed.append((int(fields[1], 16), accesses))
            elif fields[0] == "X":
                accesses = []
                executed.append((None, int(fields[1], 16)))
            elif fields[0] in "LS":
                accesses.append((fields[0], int(fields[1], 16), int(fields[2]), fields[3]))
            else:
                values[fields[0]] = int(fields[1], 16)
    return executed, values


class Result:
    """What watch.c found in one run: the fault (its fields) or None, the states recounted,
    the walk's instructions that ran, the probes' loads {(state, cell): (insn, time)}, and
    the windows' trace, as read_trace gives it, with the place in it of each recount:
    {state: index of the next entry}. A window's end is an entry (None, None)."""

    def __init__(self, path):
        self.fault, self.recounted, self.executed_walk = None, None, set()
        self.probes, self.executed, self.recounts = {}, [], {}
        accesses = []
        with open(path) as file:
            for line in file:
                fields = line.split()
                kind = fields[0]
                if kind == "I":
                    accesses = []
                    self.executed.append((int(fields[1], 16), accesses))
                elif kind in "LS":
                    accesses.append((kind, int(fields[1], 16), int(fields[2]), fields[3]))
                elif kind in "XG":
                    accesses = []
                    self.executed.append((None, int(fields[1], 16) if kind == "X" else None))
                elif kind == "R":
                    self.recounts[int(fields[1])] = len(self.executed)
                elif kind == "F":
                    self.fault = fields[1:]
                elif kind == "N":
                    self.recounted = int(fields[1])
                elif kind == "E":
                    self.executed_walk.add(int(fields[1], 16))
                elif kind == "P":
                    self.probes[int(fields[1]), int(fields[2])] = (int(fields[3], 16),
                                                                   int(fields[4]))
