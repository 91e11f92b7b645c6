"""How a check ends, other than with a pass."""


class Verdict(Exception):
    """The walk is not a brute force, and why."""


class CannotCheck(Exception):
    """The check could not be run, and why."""


class IllegalInstruction(CannotCheck):
    """qemu-user does not know an instruction of the program."""


class Skipped(CannotCheck):
    """The check does not run here, and why: this machine lacks a tool it needs or refuses
    ptrace, or the program is a build whose walk is not checked (one that instruments every
    access, or one that no processor taking the path asked for can run)."""
