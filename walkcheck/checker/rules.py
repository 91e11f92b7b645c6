"""The rules check-walk judges a walk by, on what its runs recorded. watch.c applies the
rules that need every state (each step stored, each state recounted whole, the counter's
states in order, no code outside the walk between recounts) as the program runs; this
module words its faults, and applies the rest: no memory barrier among the walk's
instructions, every loaded value used (on the windows' traces), and the tally following
the loaded bytes (on runs with changed bytes). It also finds the garden and the walk."""
from .binary import demangle, function_at
import bisect

from .arch import STACK
from .errors import Verdict
from .runners import MODULUS, answer

GARDEN = 32
SPACING = 4  # states between two changed before their load in one run


def counter_cell(state, cell):
    """Garden byte `cell` in state `state` of the counter: cell k - 1 (byte 31) lowest, the
    cells in front of cell 0 false."""
    return state >> (GARDEN - 1 - cell) & 1


def garden_start(executed, stack, states):
    """The garden's first byte. Its last byte, the lowest cell, is stored at every step;
    of the bytes off the stack stored that often, the garden ends at the one with the most
    bytes loaded as often in the 32 up to it."""
    stored, loaded = {}, {}
    for address, accesses in executed:
        for kind, at, size, _ in accesses if address is not None else ():
            if not stack - STACK - (1 << 20) <= at <= stack + (1 << 20):
                counts = stored if kind == "S" else loaded
                for byte in range(at, at + size):
                    counts[byte] = counts.get(byte, 0) + 1
    candidates = [byte for byte, count in stored.items() if count >= states]
    if not candidates:
        raise Verdict(f"no byte off the stack is stored at each of the {states} steps: "
                      "no garden")

    def score(end):
        whole = sum(loaded.get(byte, 0) >= states for byte in range(end - GARDEN + 1, end + 1))
        return whole, stored[end], end
    return max(candidates, key=score) - GARDEN + 1




def find_walk(executed, garden, bias, table):
    """The walk: the function whose instructions store the garden's lowest cell most."""
    lowest = garden + GARDEN - 1
    counts = {}
    for address, accesses in executed:
        if address is not None and any(kind == "S" and at <= lowest < at + size
                                       for kind, at, size, _ in accesses):
            for function in table:
                if function[0] <= address - bias < function[1]:
                    counts[function] = counts.get(function, 0) + 1
    if not counts:
        raise Verdict("no function of the program stores into the garden")
    return max(counts, key=counts.get)


def called_functions(executed, garden, bias, table):
    """The functions that run from the first load of the garden to the last: in an
    unoptimized build, where the compiler calls what it would otherwise inline, the
    walk's code."""
    loads = [index for index, (address, accesses) in enumerate(executed) if address is not None
             and any(kind == "L" and garden - size < at < garden + GARDEN
                     for kind, at, size, _ in accesses)]
    ran = {address - bias for address, _ in executed[loads[0]:loads[-1] + 1] if address is not None} \
        if loads else set()
    starts = sorted(table)
    found = set()
    for address in ran:
        at = bisect.bisect_right(starts, (address, float("inf"))) - 1
        while at >= 0 and starts[at][0] <= address:
            if address < starts[at][1]:
                found.add(starts[at])
                break
            at -= 1
    return sorted(found)


def merged(ranges):
    """Address ranges [(start, end)], sorted, with those that overlap or touch made one."""
    out = []
    for start, end in sorted(ranges):
        if out and start <= out[-1][1]:
            out[-1] = (out[-1][0], max(end, out[-1][1]))
        else:
            out.append((start, end))
    return out


class Code:
    """The walk's code: its instructions by file address, and how to name one that ran."""

    def __init__(self, arch, code, bias, table):
        self.arch, self.code, self.bias, self.table = arch, code, bias, table
        self.known = {}  # what each instruction reads and writes, by its text

    def at(self, address):
        """The instruction at the program's address, or None."""
        return self.code.get(address - self.bias)

    def effects(self, found):
        """The registers the instruction `found` (from the disassembly) reads and writes,
        worked out once an instruction."""
        if found[2] not in self.known:
            self.known[found[2]] = self.arch.effects(found[0], found[1])
        return self.known[found[2]]

    def where(self, address):
        found = self.at(address)
        return f"{address - self.bias:x} ({found[2]})" if found else f"{address - self.bias:x}"

    def outside(self, address):
        """An address outside the walk, with its function's name."""
        name = function_at(self.table, address - self.bias)
        return f"{address - self.bias:x}" + (f" in {demangle(name)}" if name else "")


def cells(mask):
    """The first and last garden byte of a mask of them (bit c: byte c), as "a..b"."""
    mask = int(mask, 16)
    return f"{(mask & -mask).bit_length() - 1}..{mask.bit_length() - 1}"


def fault_verdict(fault, k, code):
    """The verdict on a fault watch.c found at size k (watch.h lists them)."""
    rule, args = fault[0], fault[1:]
    if rule == "extra":
        why = f"the garden is loaded whole more often than once for each of its {args[0]} states"
    elif rule == "count":
        why = (f"the garden is loaded whole {args[0]} times between stores, not once for each "
               f"of the {2 ** k - 1} states")
    elif rule == "unstored":
        at = "at the end of the walk" if args[2] == "-" else \
            f"before the loads ending at {code.where(int(args[2], 16))}"
        why = (f"state {args[0]} is not written into the garden: the step into it changes "
               f"garden bytes {cells(args[1])}, but they are not stored {at}")
    elif rule == "partial":
        why = (f"state {args[0]} is not recounted whole: garden bytes {cells(args[1])} are not "
               f"loaded after its last store and before the store at "
               f"{code.where(int(args[2], 16))}")
    elif rule == "value":
        state, cell = int(args[0]), int(args[1])
        why = (f"the garden does not hold the counter's states in order: the recount of state "
               f"{state} loads garden byte {cell} as {args[2]} at {code.where(int(args[3], 16))}"
               f", but in state {state} it is {counter_cell(state, cell)}")
    elif rule == "later":
        state = int(args[0])
        why = (f"the garden does not hold the counter's states in order: after the recount of "
               f"state {state - 1}, the next one, ending at {code.where(int(args[2], 16))}, "
               f"loads state {args[1]}, not state {state}")
    elif rule == "outside":
        why = (f"the walk runs code outside its function between its recounts: "
               f"{code.outside(int(args[0], 16))}, after {code.where(int(args[1], 16))}")
    else:
        raise ValueError(f"watch.c found a fault check-walk does not know: {' '.join(fault)}")
    return Verdict(f"at k = {k}, {why}")


def check_barriers(code, executed):
    """No instruction of the walk that ran is a hardware memory barrier."""
    for address in sorted(executed):
        found = code.at(address)
        if found and code.arch.is_barrier(*found[:2], found[3]):
            raise Verdict(f"a hardware memory barrier in the walk at {code.where(address)}")


class Window:
    """A window's trace, from watch.c: every value the recounts in it load must be read
    before the register it went to is written again, along the instructions as they ran; a
    value that is only stored (spilled) is followed through memory to where it is loaded
    again."""

    def __init__(self, code, garden, executed):
        self.code, self.garden, self.executed = code, garden, executed

    def instruction(self, index):
        return self.code.at(self.executed[index][0])

    def where(self, index):
        return self.code.where(self.executed[index][0])

    def effects(self, found):
        return self.code.effects(found)

    @property
    def arch(self):
        return self.code.arch

    def recounts(self, marks):
        """The garden loads of each recount: {state: [index]}, from the places of watch.c's
        marks ({state: index of the entry after it}). A mark follows the recount's loads,
        and comes before the accesses of the instruction it was made at (a store, or the
        end)."""
        at = {place: state for state, place in marks.items()}
        found, run = {}, []
        garden = range(self.garden, self.garden + GARDEN)
        for index, (address, accesses) in enumerate(self.executed):
            if index in at:
                found[at.pop(index)] = run
            if address is None and accesses is None:
                run = []  # a window's end: the next window's loads are its own
            for kind, where, size, _ in accesses if address is not None else ():
                if where < garden.stop and where + size > garden.start:
                    if kind == "L" and index not in run:
                        run.append(index)
                    elif kind == "S":
                        if index + 1 in at:
                            found[at.pop(index + 1)] = run
                        run = []
        for state in at.values():
            found[state] = run
        return found

    def check_used(self, indices):
        """Every value a recount loads must be used."""
        for index in indices:
            self.check_loaded(index, index, 0)

    def check_loaded(self, index, origin, hops):
        """Every register the load at `index` writes must be read before it is written again.
        `origin` is the recount's load the value came from; `hops`, how often it was stored
        and loaded again on the way."""
        found = self.instruction(index)
        if not found:
            if index == origin:
                raise Verdict(f"no instruction at {self.where(index)} in the disassembly")
            return  # loaded again by code outside the walk, which the walk does not call
        mnemonic, operands = found[0], found[1]
        if not self.arch.pure_load(mnemonic):
            return  # the loaded value is used by the loading instruction itself
        _, writes = self.effects(found)
        memory = [o for o in operands if self.arch.memory.search(o)]
        destinations = writes - (self.arch.registers(memory[0]) if memory and
                                 self.arch.writes_back(memory[0]) else set())
        if not destinations:
            raise Verdict(f"cannot tell where the load at {self.where(index)} puts its value")
        for register in destinations:
            self.check_read(index, register, origin, hops)

    def check_read(self, index, register, origin, hops):
        def unused(why):
            again = f"loaded again at {self.where(index)}, " if index != origin else ""
            return Verdict(f"the value loaded at {self.where(origin)} is not used: {again}{why}")
        for later in range(index + 1, len(self.executed)):
            if self.executed[later][0] is None:
                break
            found = self.instruction(later)
            if not found:
                break
            reads, writes = self.effects(found)
            if register in reads:
                if hops < 8 and self.only_stores(later, found, register):
                    self.check_kept(later, origin, hops + 1)  # followed through memory
                return
            if register in writes:
                raise unused(f"{self.where(later)} writes {register} before anything reads it")
        raise unused(f"nothing reads {register} after {self.where(index)}")

    def only_stores(self, index, found, register):
        """Whether the instruction at `index` does nothing with the register but store it."""
        accesses = self.executed[index][1]
        memory = [o for o in found[1] if self.arch.memory.search(o)]
        return bool(accesses) and all(kind == "S" for kind, *_ in accesses) and \
            not (memory and register in self.arch.registers(memory[0]))

    def check_kept(self, store, origin, hops):
        """A value stored at `store` must be loaded again, and used, before every byte of it
        is written over."""
        kept = {at + i for _, at, size, _ in self.executed[store][1] for i in range(size)}
        # A load whose value goes unused (on MIPS, one in a branch's delay slot) leaves the
        # value in memory for a later one.
        unused = Verdict(f"the value loaded at {self.where(origin)} is not used: "
                         f"{self.where(store)} stores it, and nothing loads it again")
        for later in range(store + 1, len(self.executed)):
            address, accesses = self.executed[later]
            for kind, at, size, _ in accesses if address is not None else ():
                touched = kept & set(range(at, at + size))
                if touched and kind == "L":
                    try:
                        self.check_loaded(later, origin, hops)
                        return
                    except Verdict as error:
                        unused = error
                elif kind == "S":
                    kept -= touched
            if not kept:
                raise unused
        raise unused




def change_runs(changes):
    """The changes, each (state, cell, value, insn, time), as runs of their own: each run
    changes bytes one way (set, or cleared), in states SPACING apart or more, so that a walk
    that counts a changed byte in a later state too cannot make up for one that it does not
    count."""
    runs = []
    for change in sorted(changes):
        for run in runs:
            if run[-1][2] == change[2] and run[-1][0] + SPACING <= change[0]:
                run.append(change)
                break
        else:
            runs.append([change])
    return runs


def check_tally(k, runs, garden, run, code):
    """The tally must follow the bytes that the recounts load: with the garden changed
    before each recount's load and put back after it, the program must print what the
    changed bytes give. `run(changes)` runs the program at size k with the change list
    [(insn, time, address, value)] and returns what it printed."""
    def expected(changes):
        return str((answer(k) + sum(2 * change[2] - 1 for change in changes)) % MODULUS)

    def fails(changes):
        got = run([(insn, time, garden + cell, value)
                   for _, cell, value, insn, time in changes])
        return None if got == expected(changes) else got

    for changes in runs:
        got = fails(changes)
        if got is None:
            continue
        # Halve the changes down to one whose byte the tally does not follow.
        while len(changes) > 1:
            first, second = changes[:len(changes) // 2], changes[len(changes) // 2:]
            if (now := fails(first)) is not None:
                changes, got = first, now
            elif (now := fails(second)) is not None:
                changes, got = second, now
            else:
                break  # neither half alone
        state, cell, value, insn, _ = changes[0]
        more = f" (and {len(changes) - 1} more bytes likewise)" if len(changes) > 1 else ""
        raise Verdict(f"at k = {k}, the tally does not follow the loaded bytes: with garden "
                      f"byte {cell} of state {state} set to {value} just before its load at "
                      f"{code.where(insn)}, and put back after it{more}, the program printed "
                      f"{got}, not {expected(changes)}")
