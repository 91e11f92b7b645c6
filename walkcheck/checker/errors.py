"""How a check ends, other than with a pass."""


class Verdict(Exception):
    """The walk is not a brute force, and why."""


class CannotCheck(Exception):
    """The check could not be run, and why."""


class IllegalInstruction(CannotCheck):
    """qemu-user does not know an instruction of the program."""
