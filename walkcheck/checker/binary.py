"""What check-walk reads of a program's file: its symbols, its code's place and its
disassembly, by the tools of Debian's binutils."""
import re
import subprocess

from .arch import split_operands
from .errors import CannotCheck, Skipped

ADDRESS_LINE = re.compile(r"^\s*([0-9a-f]+):\s+(.*)$")


def package(tool):
    """The Debian package that installs a tool check-walk runs."""
    if tool.startswith("qemu-"):
        return "qemu-user"
    if tool == "cc":
        return "gcc"
    if tool.endswith("-objdump"):
        return "binutils-" + tool[:-len("-objdump")]
    return "binutils"


def missing(tool):
    return Skipped(f"{tool} is not installed (Debian package {package(tool)})")


def command(args, **kwargs):
    try:
        return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs).stdout
    except FileNotFoundError as error:
        raise missing(args[0]) from error
    except subprocess.CalledProcessError as error:
        raise CannotCheck(f"{' '.join(args[:2])} failed: {error.stderr.strip()}") from error


def demangle(name):
    return command(["c++filt", name]).strip()


def short_name(name):
    """A demangled function name without its template arguments, parameters and return type:
    `int avx2::walk_garden_visiting<...>(int, ...)` is avx2::walk_garden_visiting."""
    anonymous = "(anonymous namespace)"
    name = name.replace(anonymous, "\0").replace("operator()", "operator\1")
    kept, depth, before_parameters = "", 0, None
    for char in name:
        if char in "<(":
            if depth == 0 and char == "(":
                before_parameters = len(kept)
            depth += 1
        elif char in ">)":
            depth -= 1
        elif depth == 0:
            kept += char
    kept = kept[:before_parameters].split()[-1] if kept.strip() else name
    return kept.replace("\0", anonymous).replace("operator\1", "operator()")


def functions(binary):
    """[(start, end, name)] of the binary's functions, from its symbol table."""
    found = []
    for line in command(["readelf", "-sW", binary]).splitlines():
        fields = line.split()
        # The name is the last field; POWER puts "[<localentry>: 8]" before the index.
        if len(fields) >= 8 and fields[3] == "FUNC" and fields[-2] != "UND" and int(fields[2], 0):
            start = int(fields[1], 16) & ~1  # Thumb functions have the low bit set
            found.append((start, start + int(fields[2], 0), fields[-1]))
    if not found:
        raise CannotCheck("it has no symbol table (stripped?)")
    return found


def symbol_names(binary):
    """The names of all the program's symbols, those it takes from shared libraries too."""
    return {fields[7] for fields in (line.split() for line in
                                     command(["readelf", "-sW", binary]).splitlines())
            if len(fields) >= 8 and fields[0].endswith(":")}


def function_at(table, address):
    """The name of the function of `table` (from functions()) that holds `address`, or None."""
    return next((name for start, end, name in table if start <= address < end), None)


def disassembly(arch, binary, start, end, only=None):
    """{address: (mnemonic, operands, text)} of the instructions from start to end; if
    `only` is given, of the instructions at those addresses and of the ones after them."""
    text = command(arch.objdump + ["-d", "--no-show-raw-insn", f"--start-address={start:#x}",
                                   f"--stop-address={end:#x}", binary])
    code, wanted = {}, True
    for line in text.splitlines():
        match = ADDRESS_LINE.match(line)
        if not match:
            continue
        if only is not None:
            address = int(match.group(1), 16)
            if not wanted | (wanted := address in only):
                continue
        body = re.sub(r"<[^>]*>", "", match.group(2).split(arch.comment)[0]).strip()
        words = body.split(None, 1)
        if not words or words[0].startswith("."):
            continue
        prefixes = []
        while len(words) > 1 and words[0] in ("lock", "rep", "repz", "repnz", "notrack", "bnd",
                                              "data16", "cs", "ds"):
            prefixes.append(words[0])
            words = words[1].split(None, 1)
        operands = split_operands(words[1]) if len(words) > 1 else []
        code[int(match.group(1), 16)] = (words[0], operands, " ".join(body.split()), prefixes)
    return code




def code_segments(binary):
    """The file addresses of the program's first page and of the start and end of its
    code."""
    loads = [(int(fields[2], 16), int(fields[5], 16), "E" in fields[6:-1]) for fields in
             (line.split() for line in command(["readelf", "-lW", binary]).splitlines())
             if len(fields) >= 7 and fields[0] == "LOAD"]
    code = [(start, start + size) for start, size, runs in loads if runs]
    if not code:
        raise CannotCheck("it has no code to run")
    return min(start for start, _, _ in loads) & ~0xFFF, min(code)[0], max(end for _, end in code)


def unoptimized(binary):
    """Whether the program's debugging information says it was built without optimization
    (g++ records its options, -O among them; at -O0 neither g++ nor clang++ marks a
    function's calls as all described, DW_AT_call_all_calls). False without the
    information."""
    text = subprocess.run(["readelf", "--debug-dump=info", binary], capture_output=True,
                          text=True, check=False).stdout
    units = re.split(r"^\s*<0><[0-9a-f]+>: Abbrev Number: \d+ \(DW_TAG_compile_unit\)", text,
                     flags=re.M)[1:]
    for unit in units:
        producer = re.search(r"DW_AT_producer\s*:(?: \([^)]*\):)? (.*)$", unit, re.M)
        producer = producer.group(1) if producer else ""
        if producer.startswith("GNU C"):
            levels = re.findall(r"(?:^| )-O(\S*)", producer)
            if not levels or levels[-1] == "0":
                return True
        elif "DW_AT_call_all_calls" not in unit and "DW_TAG_subprogram" in unit:
            return True
    return False
