"""check-walk's command line, and the order of its work: find the garden and the walk in
one traced run, then watch the walk at every size, checking each run's result."""
import argparse
import concurrent.futures
import functools
import os
import platform
import random
import shutil
import sys
import tempfile
import time

from . import rules
from .arch import architecture
from .binary import (demangle, disassembly, functions, function_at, short_name, symbol_names,
                     unoptimized)
from .errors import CannotCheck, IllegalInstruction, Skipped, Verdict
from .plan import WHOLE, WHOLE_UNOPTIMIZED, Plan
from .runners import Native, Qemu
from .trace import Result

FIND = 10  # the size of the run that finds the garden and the walk
FIND_UNOPTIMIZED = 8  # the same for an unoptimized build, whose states run long
LARGEST = 27  # the largest size the program is defined for
UNOPTIMIZED = 17  # the largest size an unoptimized build's walk is checked to

USAGE = """Checks, by running it, that a built garden_count walks its garden by brute force,
at every size from 0 to 27; the rules it checks are in walkcheck/README.md. Exits 0 with a
line saying what it saw, 1 with a line saying which rule the walk breaks, 2 when it cannot
check the program, 77 when the check does not run here (a tool missing, ptrace refused, a
sanitized build, or --path asks for a path this build never takes)."""

# qemu's x86-64 processor models that have no AVX (each ran SSE code, and stopped at the
# first AVX instruction).
WITHOUT_AVX = {"qemu64", "kvm64", "core2duo", "Conroe", "Penryn", "Nehalem", "Westmere"}

# The walk's paths that an x86-64 processor may make the program take, each with a qemu
# processor model that takes it: the one with AVX2 where the processor has it, else the
# other. IvyBridge has everything up to AVX, and no AVX2, so that a build for such a
# processor runs there too.
X86_PATHS = {"avx2": "max", "vector16": "IvyBridge"}


def path_here():
    """The path this x86-64 machine's processor takes, from the flags Linux shows."""
    with open("/proc/cpuinfo") as file:
        flags = next((line.split(":", 1)[1].split() for line in file
                      if line.startswith("flags")), [])
    return "avx2" if "avx2" in flags else "vector16"


def parse(argv):
    parser = argparse.ArgumentParser(prog="walkcheck/check-walk", description=USAGE)
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--native", action="store_true",
                       help="check an x86-64 program on this machine, under ptrace, not qemu")
    where.add_argument("--cpu", metavar="MODEL",
                       help="run an x86-64 program on qemu's processor model MODEL")
    where.add_argument("--path", metavar="NAME",
                       help="check the walk that processors taking the path NAME run (of an "
                            "x86-64 program: avx2 or vector16, under a qemu model that takes "
                            "it, or on this machine if qemu-user is missing and this "
                            "processor takes it); fail if the program walks another")
    parser.add_argument("--seed", type=int, metavar="N",
                        help="draw the input values, windows and probes from N (printed "
                             "with each verdict), to replay a check")
    parser.add_argument("--largest", type=int, default=LARGEST, choices=range(LARGEST + 1),
                        metavar="K", help=f"check sizes 0 to K only (default {LARGEST})")
    parser.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)), metavar="N",
                        help="run N sizes at a time (default: one a processor)")
    parser.add_argument("binary", help="the program to check")
    return parser.parse_args(argv)


def sanitized(names):
    """The sanitizer that instruments the program's every access, if any, from the names of
    its symbols (those of its own and those it takes from shared libraries)."""
    for prefix, name in (("__asan_", "AddressSanitizer"), ("__msan_", "MemorySanitizer"),
                         ("__tsan_", "ThreadSanitizer"), ("__hwasan_", "HWAddressSanitizer")):
        if any(symbol.startswith(prefix) for symbol in names):
            return name
    return None


def lacking(error, cpu, arch, binary, bias, table):
    """The verdict on a program that ran an instruction that the processor model `cpu`
    lacks, with the instruction, if qemu said where it is."""
    model = f"-cpu {cpu}" + (", which has no AVX," if cpu in WITHOUT_AVX else "")
    address = getattr(error, "address", None)
    if address is None:
        return Verdict(f"under {model} the program ran an instruction that processor lacks: "
                       f"{error}")
    address -= bias
    found = disassembly(arch, binary, address, address + 16).get(address)
    name = function_at(table, address)
    return Verdict(f"under {model} the program ran an instruction that processor lacks: "
                   f"{address:x}" + (f" ({found[2]})" if found else "") +
                   (f" in {short_name(demangle(name))}" if name else "") +
                   f", at k = {error.k}")


class Stopped(Exception):
    """A size's check stopped, as a larger size has failed."""


def check_size(k, plan, runner, garden, walk, code, calls, failed=lambda: 0):
    """Checks the walk at size k, as the plan says; returns the recounts traced and checked,
    and the probes. It stops (Stopped) before each run with changes once failed() is a
    larger size, whose verdict is the one given."""
    plan_path, result_path, changes_path = (os.path.join(runner.work, f"{name}{k}")
                                            for name in ("plan", "result", "changes"))
    plan.write(plan_path, garden, [(start + runner.bias, end + runner.bias)
                                   for start, end in walk], calls)
    runner.watch(k, plan.numbers, plan_path, result_path)
    result = Result(result_path)
    if result.fault:
        raise rules.fault_verdict(result.fault, k, code)
    rules.check_barriers(code, result.executed_walk)
    window, traced = rules.Window(code, garden, result.executed), 0
    for state, loads in sorted(window.recounts(result.recounts).items()):
        if plan.checked(state):
            try:
                window.check_used(loads)
            except Verdict as error:
                raise Verdict(f"at k = {k}, in the recount of state {state}, {error}") from error
            traced += 1
    changes = [(state, cell, value, *result.probes[state, cell])
               for state, cell, value in plan.probes]

    def perturbed(changes):
        if failed() > k:
            raise Stopped()
        with open(changes_path, "w") as file:
            file.writelines(f"{insn:x} {time} {address:x} {value}\n"
                            for insn, time, address, value in changes)
        done = runner.perturbed(k, plan.numbers, changes_path)
        return done.stdout.strip() if done.returncode == 0 else \
            f"nothing (exit status {done.returncode}: {done.stderr.strip()[:200]})"
    rules.check_tally(k, rules.change_runs(changes), garden, perturbed, code)
    return traced, len(changes)


def check(arch, runner, table, seed, largest, jobs, path=None):
    """Checks the walk at every size up to `largest` (or the runner's), `jobs` sizes at a
    time, the largest first; returns what the summary says of it. The largest size that
    fails gives the verdict (the one where the walk runs longest), and the sizes below it
    that have not begun are left out."""
    rng = random.Random(seed)
    calls = unoptimized(runner.binary)
    find = FIND_UNOPTIMIZED if calls else FIND
    numbers = Plan(find, rng).numbers
    executed = runner.trace(find, numbers)
    garden = rules.garden_start(executed, runner.stack, 2 ** find - 1)
    walk = rules.find_walk(executed, garden, runner.bias, table)
    name = short_name(demangle(walk[2]))
    if path is not None and not name.startswith(f"{path}::"):
        raise Verdict(f"run {runner.how}, it walks in {name}, not on the {path} path")
    # In an unoptimized build the walk calls what it would inline: its code is then every
    # function that runs among its loads.
    functions_of_walk, limits = [walk], []
    if runner.largest < largest:
        limits.append(f"{runner.largest} is the largest size checked {runner.how}")
        largest = runner.largest
    if calls:
        functions_of_walk = rules.called_functions(executed, garden, runner.bias, table)
        if UNOPTIMIZED < largest:
            limits.append(f"{UNOPTIMIZED} is the largest size an unoptimized build is checked "
                          f"to, its walk being many times slower")
            largest = UNOPTIMIZED
    ranges = rules.merged(function[:2] for function in functions_of_walk)
    instructions = {address: found for address, found in
                    disassembly(arch, runner.binary, ranges[0][0], ranges[-1][1]).items()
                    if any(start <= address < end for start, end in ranges)}
    code = rules.Code(arch, instructions, runner.bias, table)
    plans = [Plan(k, rng, WHOLE_UNOPTIMIZED if calls else WHOLE) for k in range(largest + 1)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        failed = [0]  # the largest size failed so far

        def note(k, future):
            if not future.cancelled() and future.exception() is not None:
                failed[0] = max(failed[0], k)
        done = {}
        for k in reversed(range(largest + 1)):
            done[k] = pool.submit(check_size, k, plans[k], runner, garden, ranges, code, calls,
                                  lambda: failed[0])
            done[k].add_done_callback(functools.partial(note, k))
        for k in reversed(range(largest + 1)):
            if done[k].exception() is not None:
                for later in done.values():  # smaller sizes not yet begun
                    later.cancel()
                raise done[k].exception()
    counts = [done[k].result() for k in range(largest + 1)]
    traced, probes = (sum(column) for column in zip(*counts))
    called = f" and the {len(functions_of_walk) - 1} functions it calls, unoptimized" \
        if calls else ""
    limited = f" ({'; '.join(limits)})" if limits else ""
    out_of_line = "" if calls else " and no call out of line"
    return (f"in {name}{called}: at every size from 0 to {largest}"
            f"{limited}, every step stores the cells it changes and every state is then loaded "
            f"whole, as the counter's states in order, with no memory barrier{out_of_line}; "
            f"every loaded value is used ({traced} recounts traced); the tally follows the "
            f"loaded bytes ({probes} bytes changed before their load)")


def runner_for(path, qemu, runs_here, native):
    """For --path: (native, cpu), how to run an x86-64 program so that it takes the path."""
    if qemu[0] != "qemu-x86_64":
        return native, None  # one path only, whichever processor runs the program
    if path not in X86_PATHS:
        raise CannotCheck(f"no x86-64 processor takes a path named {path}: the paths are "
                          f"{' and '.join(X86_PATHS)}")
    if shutil.which(qemu[0]) is not None:
        return False, X86_PATHS[path]
    if runs_here and path_here() == path:
        return True, None
    raise Skipped(f"{qemu[0]} is not installed (Debian package qemu-user), and this "
                  f"processor does not take the {path} path")


def check_program(binary, native, cpu, seed, largest, jobs, path=None):
    arch, qemu = architecture(binary)
    runs_here = qemu[0] == "qemu-x86_64" and platform.machine() == "x86_64"
    if path is not None:
        native, cpu = runner_for(path, qemu, runs_here, native)
    table = functions(binary)
    instrumented = sanitized(symbol_names(binary))
    if instrumented:
        raise Skipped(f"it is built with {instrumented}, whose code around every access "
                      f"to memory is not the walk's; check a build without it")
    if native and not runs_here:
        raise CannotCheck("only an x86-64 program on an x86-64 machine is checked natively")
    if cpu is not None and qemu[0] != "qemu-x86_64":
        raise CannotCheck("--cpu picks a processor model of qemu-x86_64, which runs only "
                          "x86-64 programs")
    numbers = (0, 0, 0)
    with tempfile.TemporaryDirectory() as work:
        runner = None
        try:
            runner = Native(arch, binary, work, table, numbers) if native else \
                Qemu(qemu, binary, work, cpu)
            summary = check(arch, runner, table, seed, largest, jobs, path)
        except IllegalInstruction as error:
            if path is not None and cpu != "max":
                raise Skipped(f"{lacking(error, cpu, arch, binary, runner.bias, table)}: this "
                              f"build does not run on the processors that take the {path} "
                              f"path") from error
            if cpu not in (None, "max"):
                raise lacking(error, cpu, arch, binary, runner.bias, table) from error
            if native or not runs_here or (path is not None and path_here() != path):
                if path is not None:
                    raise Skipped(f"{error}; and this processor does not take the {path} "
                                  f"path") from error
                raise
            runner = Native(arch, binary, work, table, numbers)
            summary = check(arch, runner, table, seed, largest, jobs, path)
            met = f"{qemu[0]} -cpu {cpu}" if cpu else qemu[0]
            runner.how += f", as {met} met an instruction it does not know"
    return f"{arch.name}, run {runner.how}, {summary}"


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2 ** 32)
    began = time.monotonic()
    try:
        summary = check_program(args.binary, args.native, args.cpu, seed, args.largest,
                                args.jobs, args.path)
    except Skipped as error:
        print(f"check-walk: {args.binary}: not checked: {error} (seed {seed})", file=sys.stderr)
        return 77
    except CannotCheck as error:
        print(f"check-walk: {args.binary}: cannot check: {error} (seed {seed})", file=sys.stderr)
        return 2
    except Verdict as error:
        print(f"check-walk: {args.binary}: {error} (seed {seed})", file=sys.stderr)
        return 1
    except Exception as error:  # anything else is the checker's own fault: one line, exit 2
        print(f"check-walk: {args.binary}: cannot check: check-walk met what it does not "
              f"expect: {type(error).__name__}: {error} (seed {seed})", file=sys.stderr)
        return 2
    print(f"check-walk: {args.binary}: {summary} (seed {seed}, "
          f"{time.monotonic() - began:.0f} s)")
    return 0
