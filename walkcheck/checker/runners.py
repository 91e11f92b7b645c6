"""The two ways check-walk runs a program: under qemu-user with walk_trace.c's plugin, and
on this machine under walk_ptrace.c (x86-64 only), whose trace walk_replay.c then checks.
Each runner builds its tools from walkcheck's C files, and runs the program at a size k with
the other three input values given, in three ways: traced whole (trace), checked as it runs
by watch.c with a plan (watch), and with changes to its memory (perturbed)."""
import hashlib
import os
import re
import shutil
import subprocess

from .arch import X86
from .binary import code_segments, command, disassembly, missing
from .errors import CannotCheck, IllegalInstruction, Skipped
from .trace import read_trace

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BASE = 1 << 44  # where qemu puts the program's memory in its own address space (-B)
MODULUS = 1000000007


def answer(k):
    """What the program prints for k: k * 2^(k - 1) mod 1000000007."""
    return k * 2 ** (k - 1) % MODULUS if k else 0


def build(work, name, sources, *flags):
    """Builds one of walkcheck's tools with the C compiler; returns its path. A tool is kept
    in the user's cache, under the digest of its sources and flags, for the next check."""
    paths = [os.path.join(HERE, source) for source in sources + ["trace.h", "watch.h"]]
    digest = hashlib.sha256(" ".join(flags).encode())
    for path in paths:
        with open(path, "rb") as file:
            digest.update(file.read())
    cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                         "garden_count-walkcheck")
    kept = os.path.join(cache, f"{name}-{digest.hexdigest()[:16]}")
    if os.path.exists(kept):
        return kept
    output = os.path.join(work, name)
    command(["cc", "-O2", *flags, "-o", output, *paths[:len(sources)]])
    try:
        os.makedirs(cache, exist_ok=True)
        shutil.copy(output, kept + ".new")
        os.replace(kept + ".new", kept)
    except OSError:
        pass  # no cache: built each time
    return output


def ran(run, k, how, expected=None):
    """Checks that a run at size k, `how`, printed the right answer (or `expected`)."""
    expected = answer(k) if expected is None else expected
    if run.returncode != 0 or run.stdout.strip() != str(expected):
        signal = " (an illegal instruction)" if run.returncode in (-4, 132) or \
            "Illegal instruction" in run.stderr else ""
        raise (IllegalInstruction if signal else CannotCheck)(
            f"at k = {k}, run {how}, it printed {run.stdout.strip()!r} (exit status "
            f"{run.returncode}{signal}), not {expected}: {run.stderr.strip()[:200]}")


def line(k, numbers):
    """The input line: a, b, k, c."""
    a, b, c = numbers
    return f"{a} {b} {k} {c}\n"


class Qemu:
    """Runs the program under qemu-user, with walk_trace.c's plugin; on the processor model
    `cpu`, if given (x86-64 only)."""
    how = "under qemu-user"
    largest = 27  # every size can be watched

    def __init__(self, qemu, binary, work, cpu=None):
        self.qemu = qemu[:1] + ["-B", f"{BASE:#x}"] + (["-cpu", cpu] if cpu else []) + qemu[1:]
        if cpu:
            self.how += f", -cpu {cpu}"
        self.binary, self.work = binary, work
        # Where qemu-user puts the program: its code, and the start of its stack.
        log = os.path.join(work, "page.log")
        try:
            probe = subprocess.run(self.qemu + ["-d", "page", "-D", log, binary], input="",
                                   capture_output=True, text=True, check=False)
        except FileNotFoundError as error:
            raise missing(qemu[0]) from error
        try:
            with open(log) as file:
                values = dict(re.findall(r"^(\w+)\s+0x([0-9a-f]+)$", file.read(), re.M))
        except OSError:
            values = {}
        if not {"start_code", "end_code", "start_stack"} <= values.keys():
            raise CannotCheck(f"{qemu[0]} did not run it: {probe.stderr.strip()[:200]}")
        self.lo, self.hi, self.stack = (int(values[key], 16) for key in
                                        ("start_code", "end_code", "start_stack"))
        self.bias = self.lo - code_segments(binary)[1]
        self.plugin = build(work, "walk_trace.so", ["walk_trace.c", "watch.c", "trace.c"],
                            "-shared", "-fPIC")

    def run(self, k, numbers, option):
        return subprocess.run(self.qemu + ["-plugin", f"{self.plugin},lo={self.lo:x},"
                                           f"hi={self.hi:x},base={BASE:x},{option}",
                                           self.binary],
                              input=line(k, numbers), capture_output=True, text=True,
                              check=False)

    def trace(self, k, numbers):
        """The trace of a run at size k: [(address, accesses) or (None, address)]."""
        out = os.path.join(self.work, "trace")
        self.checked(k, numbers, f"out={out}")
        return read_trace(out)[0]

    def watch(self, k, numbers, plan, result):
        """Runs the program at size k with watch.c and the plan; its result is in `result`."""
        self.checked(k, numbers, f"plan={plan},result={result}")

    def checked(self, k, numbers, option):
        try:
            ran(self.run(k, numbers, option), k, self.how)
        except IllegalInstruction as error:
            error.k, error.address = k, self.illegal_address(k, numbers)
            raise

    def illegal_address(self, k, numbers):
        """The address of the illegal instruction that a run at size k stopped at, or None.
        The plugin's trace, cut off by the signal, does not hold it; qemu's log of the code
        it translates does: the run ends in the last block translated, at its last
        instruction (an instruction's line goes on, on lines of bytes alone)."""
        log = os.path.join(self.work, "in_asm.log")
        subprocess.run(self.qemu + ["-d", "in_asm", "-D", log, self.binary],
                       input=line(k, numbers), capture_output=True, text=True, check=False)
        try:
            with open(log) as file:
                lines = re.findall(r"^0x([0-9a-f]+):(.*)$", file.read(), re.M)
        except OSError:
            return None
        starts = [address for address, text in lines
                  if not all(re.fullmatch(r"[0-9a-f]{2}", word) for word in text.split())]
        return int(starts[-1], 16) if starts else None

    def perturbed(self, k, numbers, changes):
        """The run at size k with the given change list."""
        return self.run(k, numbers, f"perturb={changes}")


class Native:
    """Runs an x86-64 program on this machine, under walk_ptrace.c, which stops it at each
    instruction: so only up to a smaller size (largest)."""
    how = "on this machine, under ptrace"
    largest = 16

    def __init__(self, arch, binary, work, table, numbers):
        self.binary, self.work = binary, work
        self.first, self.lo, self.hi = code_segments(binary)
        mains = [start for start, _, name in table if name == "main"]
        if not mains:
            raise CannotCheck("it has no function main to start tracing at")
        self.main = mains[0]
        self.tracer = build(work, "walk_ptrace", ["walk_ptrace.c", "trace.c"])
        self.replay = build(work, "walk_replay", ["walk_replay.c", "watch.c", "trace.c"])
        # The accesses are read from the disassembly; of a large program (linked statically),
        # only those of the instructions that a first run runs.
        self.accesses = os.path.join(work, "accesses")
        ran_here = None
        if self.hi - self.lo > LARGE_CODE:
            open(self.accesses, "w").close()
            ran_here = {address - self.bias for address, _ in self.trace(10, numbers)
                        if address is not None}
        with open(self.accesses, "w") as file:
            file.writelines(x86_accesses(arch, binary, self.lo, self.hi, ran_here))

    def traced(self, k, numbers):
        """Runs the program at size k under walk_ptrace.c; the trace's path."""
        out = os.path.join(self.work, f"trace{k}")
        run = subprocess.run([self.tracer, "trace", f"{self.first:x}", f"{self.lo:x}",
                              f"{self.hi:x}", f"{self.main:x}", self.accesses, out, self.binary],
                             input=line(k, numbers), capture_output=True, text=True,
                             check=False)
        if run.returncode == REFUSED and "refuses ptrace" in run.stderr:
            raise Skipped("this system refuses ptrace (kernel.yama.ptrace_scope, or a "
                          "container's seccomp policy), which the check on this machine needs")
        ran(run, k, self.how)
        with open(out) as file:  # the bias and the stack pointer come first
            self.bias, self.stack = (int(file.readline().split()[1], 16) for _ in range(2))
        return out

    def trace(self, k, numbers):
        return read_trace(self.traced(k, numbers))[0]

    def watch(self, k, numbers, plan, result):
        command([self.replay, plan, self.traced(k, numbers), result])

    def perturbed(self, k, numbers, changes):
        return subprocess.run([self.tracer, "perturb", f"{self.first:x}", changes, self.binary],
                              input=line(k, numbers), capture_output=True, text=True,
                              check=False)


# The registers in the order of struct user_regs_struct, which walk_ptrace.c reads.
USER_REGS = ["r15", "r14", "r13", "r12", "rbp", "rbx", "r11", "r10", "r9", "r8", "rax", "rcx",
             "rdx", "rsi", "rdi", "orig_rax", "rip", "cs", "eflags", "rsp", "ss", "fs_base",
             "gs_base"]
BIAS_BASE = -2
REFUSED = 3  # walk_ptrace's exit status where the system refuses ptrace
LARGE_CODE = 1 << 16  # bytes of code, past which only the instructions that run are read
SIZES = {"BYTE": 1, "WORD": 2, "DWORD": 4, "FWORD": 6, "QWORD": 8, "TBYTE": 10, "XMMWORD": 16,
         "OWORD": 16, "YMMWORD": 32, "ZMMWORD": 64}
# A memory operand: its size (of one element, for a broadcast), segment, and address.
MEMORY_OPERAND = re.compile(r"^(?:(\w+) (?:PTR|BCST) )?(?:([fg]s):)?(?:\[([^\]]*)\]|(0x[0-9a-f]+))")
STORES_ONLY = ("mov", "vmov", "vpmov", "set", "extract", "vextract", "pextr", "vpextr", "vcompress",
               "vpcompress", "vscatter", "vpscatter", "maskmov", "vmaskmov", "vpmaskmov", "stos",
               "fst", "fist", "stmxcsr", "vstmxcsr", "pop")
LOADS_ONLY = re.compile(r"^(cmp\w*|test|bt|v?u?comis[sd]|v?ptest|push|call|jmp|j\w+|mul|imul|"
                        r"div|idiv)$")
NO_ACCESS = re.compile(r"^(lea|nop\w*|prefetch\w*|clflush\w*|endbr\w*)$")


def x86_accesses(arch, binary, lo, hi, only=None):
    """Lines for walk_ptrace.c: the memory accesses of the instructions from lo to hi (if
    given, only of those at the addresses `only`), as "INSN KIND SIZE BASE INDEX SCALE
    DISP"."""
    code = disassembly(arch, binary, lo, hi, only)
    addresses = sorted(code)
    rsp, rbp = USER_REGS.index("rsp"), USER_REGS.index("rbp")
    lines = []
    for at, after in zip(addresses, addresses[1:] + [hi]):
        mnemonic, operands = code[at][0], code[at][1]
        if only is not None and at not in only or NO_ACCESS.match(mnemonic):
            continue
        for i, operand in enumerate(operands):
            match = MEMORY_OPERAND.match(operand)
            if not match or not (match.group(1) or match.group(2) or "[" in operand):
                continue
            size = SIZES.get(match.group(1) or "")
            if size is None:
                continue  # an access of a size the operand does not say: not followed
            base, index, scale, disp = address_terms(match, after)
            if base is None:
                continue
            if i > 0 or LOADS_ONLY.match(mnemonic) or mnemonic == "xchg":
                kinds = "LS" if mnemonic == "xchg" else "L"
            else:
                kinds = "S" if mnemonic.startswith(STORES_ONLY) else "LS"
            lines += [f"{at:x} {kind} {size} {base} {index} {scale} {disp}\n" for kind in kinds]
        if mnemonic in ("push", "call", "pushf", "pushfq"):
            lines.append(f"{at:x} S 8 {rsp} -1 1 -8\n")
        elif mnemonic in ("pop", "ret", "popf", "popfq"):
            lines.append(f"{at:x} L 8 {rsp} -1 1 0\n")
        elif mnemonic == "leave":
            lines.append(f"{at:x} L 8 {rbp} -1 1 0\n")
    return lines


def address_terms(match, after):
    """(base, index, scale, displacement) of a memory operand, base None if walk_ptrace.c
    cannot follow it; `after` is the address of the next instruction."""
    base, index, scale, disp = -1, -1, 1, 0
    if match.group(2):
        base = USER_REGS.index(f"{match.group(2)}_base")
    if match.group(4):
        return base, index, scale, int(match.group(4), 16)
    for sign, term in re.findall(r"([+-]?)([^+-]+)", match.group(3).replace(" ", "")):
        negative = sign == "-"
        name, _, times = term.partition("*")
        register = X86.NAMES.get(name, name)
        if re.fullmatch(r"0x[0-9a-f]+|\d+", term):
            disp += -int(term, 0) if negative else int(term, 0)
        elif register == "rip" and base == -1:
            base, disp = BIAS_BASE, disp + after
        elif register in USER_REGS and not negative:
            if times or base != -1:
                if index != -1:
                    return None, 0, 0, 0
                index, scale = USER_REGS.index(register), int(times or "1")
            else:
                base = USER_REGS.index(register)
        else:
            return None, 0, 0, 0  # a vector index, or a register it does not know
    return base, index, scale, disp
