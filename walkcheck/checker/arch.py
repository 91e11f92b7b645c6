"""The instruction sets check-walk reads: for each, how to disassemble and run its code,
the names of its registers, which registers an instruction reads and writes, and which
instructions are memory barriers."""
import re

from .errors import CannotCheck

STACK = 1 << 20  # the stack qemu gives the program, in bytes


def split_operands(text):
    """Operands at the top level, split at commas outside brackets, braces and parentheses."""
    parts, depth, current = [], 0, ""
    for char in text:
        if char in "[{(":
            depth += 1
        elif char in "]})":
            depth -= 1
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += char
    if current.strip():
        parts.append(current.strip())
    return parts


class Arch:
    """What the check needs of an architecture: how to run and disassemble its code, the
    names of its registers, and which registers an instruction reads and writes."""
    name = ""
    objdump = []
    comment = "#"
    memory = re.compile(r"\(")
    barriers = set()

    def registers(self, operand):
        """The registers an operand names, each as the name of the whole register."""
        raise NotImplementedError

    def destination(self, mnemonic, operands):
        """How many leading operands the instruction writes, and whether it reads them too:
        (count, read)."""
        raise NotImplementedError

    def is_barrier(self, mnemonic, operands, prefixes):
        return mnemonic in self.barriers

    def pure_load(self, mnemonic):
        """Whether a load by this instruction only puts the loaded value in registers."""
        return True

    def effects(self, mnemonic, operands):
        """(registers read, registers written) by the instruction."""
        count, read_too = self.destination(mnemonic, operands)
        reads, writes = set(), set()
        for i, operand in enumerate(operands):
            named = self.registers(operand)
            if self.memory.search(operand):
                reads |= named
                if self.writes_back(operand):
                    writes |= named
            elif i < count:
                writes |= named
                if read_too:
                    reads |= named
            else:
                reads |= named
        return reads, writes

    def writes_back(self, operand):
        return False


def register_range(first, last, prefix):
    return {f"{prefix}{n}" for n in range(first, last + 1)}


class X86(Arch):
    name = "x86"
    objdump = ["objdump", "-M", "intel"]
    memory = re.compile(r"\[")
    barriers = {"mfence", "lfence", "sfence", "serialize"}
    PURE = re.compile(r"^(v?mov\w*|lea|pop|set\w+|v?p?broadcast\w*|vpbroadcast\w*|v?pmov[sz]x\w*|"
                      r"lddqu|v?cvt\w+|popcnt|lzcnt|tzcnt)$")
    READ_ONLY = re.compile(r"^(cmp\w*|test|bt|v?u?comis[sd]|v?ptest|push|j\w+|call|ret|nop\w*|"
                           r"prefetch\w*)$")
    NAMES = {}
    for r in "abcd":
        NAMES.update({f"r{r}x": f"r{r}x", f"e{r}x": f"r{r}x", f"{r}x": f"r{r}x",
                      f"{r}l": f"r{r}x", f"{r}h": f"r{r}x"})
    for r in ("si", "di", "bp", "sp"):
        NAMES.update({f"r{r}": f"r{r}", f"e{r}": f"r{r}", r: f"r{r}", f"{r}l": f"r{r}"})
    for n in range(8, 16):
        NAMES.update({f"r{n}": f"r{n}", f"r{n}d": f"r{n}", f"r{n}w": f"r{n}", f"r{n}b": f"r{n}"})
    WORD = re.compile(r"\b([a-z]+\d*[a-z]?)\b")
    VECTOR = re.compile(r"\b[xyz]mm(\d+)\b")
    PARTIAL = re.compile(r"^([a-d][lhx]|[sd]il|[bs]pl|[sd]i|[bs]p|r\d+[wb])$")

    def registers(self, operand):
        found = {self.NAMES[w] for w in self.WORD.findall(operand) if w in self.NAMES}
        return found | {f"v{n}" for n in self.VECTOR.findall(operand)}

    def destination(self, mnemonic, operands):
        if not operands or self.memory.search(operands[0]) or self.READ_ONLY.match(mnemonic):
            return 0, False
        if len(operands) == 2 and operands[0] == operands[1] and \
                re.match(r"^v?p?xor\w*$|^sub$", mnemonic):
            return 1, False  # the zeroing idiom
        if self.PARTIAL.match(operands[0]):
            return 1, True  # writes part of a register, keeping the rest
        pure = self.PURE.match(mnemonic) or mnemonic in ("imul", "andn", "shlx", "shrx", "sarx",
                                                          "pdep", "pext", "rorx") \
            and len(operands) == 3 or (mnemonic.startswith("v") and len(operands) >= 3
                                       and not re.match(r"^vfn?m|^vpternlog|^vpdp", mnemonic))
        return 1, not pure

    def effects(self, mnemonic, operands):
        # The zeroing idiom (xor eax, eax; vpxor xmm0, xmm0, xmm0) writes its register whole
        # and reads nothing.
        if len(operands) in (2, 3) and operands[-1] == operands[-2] and \
                re.match(r"^v?p?xor\w*$|^sub$", mnemonic) and not self.PARTIAL.match(operands[0]):
            return set(), self.registers(operands[0])
        return super().effects(mnemonic, operands)

    def pure_load(self, mnemonic):
        return bool(self.PURE.match(mnemonic))

    def is_barrier(self, mnemonic, operands, prefixes):
        # xchg with memory locks the bus as a lock prefix does
        return mnemonic in self.barriers or "lock" in prefixes or \
            (mnemonic == "xchg" and any(self.memory.search(o) for o in operands))


class AArch64(Arch):
    name = "AArch64"
    objdump = ["aarch64-linux-gnu-objdump"]
    comment = "//"
    memory = re.compile(r"^\[")
    barriers = {"dmb", "dsb", "isb", "sb", "ssbb", "pssbb"}
    ORDERED = re.compile(r"^(ldar|stlr|ldapr|ldax|stlx|ldlar|stllr|cas\w*a|cas\w*l|swp\w*a|"
                         r"swp\w*l|ld(add|clr|eor|set|smax|smin|umax|umin)\w*[al])")
    READ_ONLY = re.compile(r"^(st\w*|cmp|cmn|tst|ccmp|ccmn|fcmpe?|b|b\.\w+|bl|br|blr|ret|cbn?z|"
                           r"tbn?z|prfm|nop)$")
    READ_WRITE = re.compile(r"^(movk|bfi|bfxil|bfm|bif|bit|bsl|ins|mla|mls|fmla|fmls|[su]dot|"
                            r"[su]adalp|sli|sri|[su]sra|[su]rsra|[su]aba|[su]abal2?|[su]mlal2?|"
                            r"[su]mlsl2?|tbx|xtn2|sqxtn2|uqxtn2)$")

    def registers(self, operand):
        found = {f"x{n}" for _, n in re.findall(r"\b([xw])(\d+)\b", operand)}
        found |= {f"v{n}" for _, n in re.findall(r"\b([vqdshb])(\d+)\b", operand)}
        if re.search(r"\bw?sp\b", operand):
            found.add("sp")
        return found

    def destination(self, mnemonic, operands):
        if not operands or self.READ_ONLY.match(mnemonic):
            return 0, False
        if mnemonic.startswith(("ldp", "ldnp", "ldxp", "ldaxp")):
            return 2, False
        lane = re.search(r"\]\s*$|\}\[\d+\]", operands[0])
        return 1, bool(self.READ_WRITE.match(mnemonic) or lane)

    def effects(self, mnemonic, operands):
        reads, writes = super().effects(mnemonic, operands)
        if mnemonic in ("bl", "blr"):
            writes |= register_range(0, 18, "x") | {"x30"}
        return reads, writes

    def writes_back(self, operand):
        return operand.endswith("!")

    def is_barrier(self, mnemonic, operands, prefixes):
        return mnemonic in self.barriers or bool(self.ORDERED.match(mnemonic))


class Arm(Arch):
    name = "ARM"
    comment = "@"
    memory = re.compile(r"^\[")
    barriers = {"dmb", "dsb", "isb", "ssbb", "pssbb"}
    ORDERED = re.compile(r"^(lda|stl)")
    CONDITIONS = "eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le"
    BASES = ("mov|mvn|add|adc|sub|sbc|rsb|rsc|and|orr|orn|eor|bic|lsl|lsr|asr|ror|mul|ldr\\w*|"
             "vmov|uxt\\w|sxt\\w")
    CONDITIONAL = re.compile(rf"^({BASES})s?({CONDITIONS})(\.[wn])?$")
    READ_ONLY = re.compile(r"^(str\w*|stm\w*|push|vst\w*|vpush|cmp|cmn|tst|teq|vcmpe?\.\w+|"
                           r"b|bl|bx|blx|b(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)|"
                           r"cbn?z|it\w*|nop|pld|vmsr|msr)(\.[wn])?$")
    READ_WRITE = re.compile(r"^(movt|bfi|bfc|mla|mls|[us]mlal|umaal|vmla\.?\w*|vmls\.?\w*|"
                            r"vfma\.?\w*|vfms\.?\w*|vbsl|vbit|vbif|vpadal\.\w+|v[ur]?sra\.\w+|"
                            r"vaba\.\w+|vabal\.\w+|vmlal\.\w+|vsli\.\w+|vsri\.\w+)(\.[wn])?$")
    NAMES = {"sp": "r13", "lr": "r14", "pc": "r15", "fp": "r11", "ip": "r12", "sl": "r10",
             "sb": "r9"}
    TWO_OPERAND = re.compile(r"^(add|adc|sub|sbc|rsb|and|orr|orn|eor|bic|lsl|lsr|asr|ror|mul)s?"
                             rf"({CONDITIONS})?(\.[wn])?$")

    def __init__(self, hard_float):
        self.objdump = ["arm-linux-gnueabihf-objdump" if hard_float else
                        "arm-linux-gnueabi-objdump", "-M", "reg-names-raw"]

    def registers(self, operand):
        found = set()
        for first, last, kind in self.ranges(operand):
            for n in range(first, last + 1):
                if kind == "r":
                    found.add(f"r{n}")
                elif kind == "q":
                    found |= {f"d{2 * n}", f"d{2 * n + 1}"}
                elif kind == "s":
                    found.add(f"d{n // 2}")
                else:
                    found.add(f"d{n}")
        found |= {self.NAMES[w] for w in re.findall(r"\b([a-z]{2})\b", operand) if w in self.NAMES}
        return found

    @staticmethod
    def ranges(operand):
        for kind, first, _, last in re.findall(r"\b([rdsq])(\d+)\b(-[rdsq](\d+))?", operand):
            yield int(first), int(last or first), kind

    def destination(self, mnemonic, operands):
        if not operands or self.READ_ONLY.match(mnemonic):
            return 0, False
        if mnemonic.startswith("ldm") or mnemonic.startswith("vldm"):
            return 0, False  # the list, handled in effects
        count = 2 if mnemonic.startswith(("ldrd", "ldrexd", "umull", "smull", "umlal", "smlal",
                                          "umaal")) else 1
        if mnemonic.startswith(("vmov", "vld")) and re.search(r"\[\d+\]", operands[0]):
            return count, True  # one lane of a register
        conditional = bool(self.CONDITIONAL.match(mnemonic)) and not mnemonic.startswith("mls")
        # Thumb's two-operand forms (ands r7, r2) read the register they write.
        two_operand = len(operands) == 2 and bool(self.TWO_OPERAND.match(mnemonic))
        return count, bool(self.READ_WRITE.match(mnemonic)) or conditional or two_operand or \
            mnemonic.startswith(("umlal", "smlal", "umaal"))

    def effects(self, mnemonic, operands):
        reads, writes = super().effects(mnemonic, operands)
        if re.match(r"^(ldr|str)(ex)?d", mnemonic) and len(operands) >= 2 and \
                operands[1].startswith("[") and (pair := re.fullmatch(r"r(\d+)", operands[0])):
            # ARM code names only the first register of the pair
            (writes if mnemonic.startswith("ldr") else reads).add(f"r{int(pair.group(1)) + 1}")
        listed = [o for o in operands if o.startswith("{")]
        if listed and (mnemonic.startswith(("ldm", "pop", "vldm", "vpop", "vld"))):
            named = self.registers(listed[0])
            writes |= named
            reads -= named
            if mnemonic.startswith(("ldm", "vldm")) and operands and operands[0].endswith("!"):
                writes |= self.registers(operands[0])
        if mnemonic.startswith(("bl", "blx")) and mnemonic not in ("bls", "blt", "ble"):
            writes |= register_range(0, 3, "r") | {"r12", "r14"}
        return reads, writes

    def writes_back(self, operand):
        return operand.endswith("!")

    def is_barrier(self, mnemonic, operands, prefixes):
        return mnemonic in self.barriers or bool(self.ORDERED.match(mnemonic)) or \
            (mnemonic == "mcr" and "c7" in operands)


class Mips(Arch):
    name = "MIPS"
    barriers = {"sync", "synci"}
    READ_ONLY = re.compile(r"^(s[bhwd]|s[wd][lr]|sc|scd|s[wd]c1|s[wd]xc1|b\w*|j|jr|jr\.hb|"
                           r"(d?mult|d?div)u?|madd|maddu|msub|msubu|mth[il]|mtlo|teq|tne|nop)$")
    READ_WRITE = re.compile(r"^(l[wd][lr]|ins|dins\w*|mov[nzft])$")

    def __init__(self, bits):
        self.objdump = [f"{'mips64el-linux-gnuabi64' if bits == 64 else 'mipsel-linux-gnu'}-objdump",
                        "-M", "gpr-names=numeric"]

    def registers(self, operand):
        return {f"r{n}" for n in re.findall(r"\$(\d+)\b", operand) if n != "0"} | \
            {f"f{n}" for n in re.findall(r"\$f(\d+)\b", operand)}

    def destination(self, mnemonic, operands):
        if not operands or self.READ_ONLY.match(mnemonic):
            return 0, False
        return 1, bool(self.READ_WRITE.match(mnemonic))

    def effects(self, mnemonic, operands):
        reads, writes = super().effects(mnemonic, operands)
        if re.match(r"^(d?mult|d?div)u?$|^madd|^msub|^mth[il]$", mnemonic):
            writes |= {"hi", "lo"}
        if mnemonic in ("mfhi", "mflo"):
            reads.add(mnemonic[2:])
        if mnemonic in ("jal", "jalr", "bal"):
            writes |= register_range(1, 15, "r") | {"r24", "r25", "r31"}
        return reads, writes


class Power(Arch):
    name = "POWER"
    objdump = ["powerpc64le-linux-gnu-objdump"]
    barriers = {"sync", "lwsync", "hwsync", "ptesync", "eieio", "isync", "msync"}
    READ_ONLY = re.compile(r"^(st\w*|cmp\w*|fcmp\w*|b|b[a-z]*|bl|mtctr|mtlr|mtspr|mtcrf|mtocrf|"
                           r"dcb\w*|icbi|tw|td|nop|mtfsf\w*)$")
    READ_WRITE = re.compile(r"^(rlwimi|rldimi|xxinsertw|vinsert\w*|insrdi|insrwi)\.?$")

    def registers(self, operand):
        found = {f"r{n}" for n in re.findall(r"\br(\d+)\b", operand)}
        found |= {f"vs{n}" for n in re.findall(r"\b(?:f|vs)(\d+)\b", operand) if int(n) < 32}
        found |= {f"vs{int(n)}" for n in re.findall(r"\bvs(\d+)\b", operand) if int(n) >= 32}
        found |= {f"vs{int(n) + 32}" for n in re.findall(r"\bv(\d+)\b", operand)}
        return found

    def destination(self, mnemonic, operands):
        if not operands or self.READ_ONLY.match(mnemonic):
            return 0, False
        return 1, bool(self.READ_WRITE.match(mnemonic))

    def effects(self, mnemonic, operands):
        reads, writes = super().effects(mnemonic, operands)
        if re.match(r"^l\w*ux?$", mnemonic) and len(operands) >= 2:  # update forms
            writes |= self.registers(operands[1])
        return reads, writes


class RiscV(Arch):
    name = "RISC-V"
    objdump = ["riscv64-linux-gnu-objdump", "-M", "numeric"]
    barriers = {"fence", "fence.i", "fence.tso"}
    ORDERED = re.compile(r"^(amo\w+|lr|sc)\.[wd]\.(aq|rl|aqrl)$")
    READ_ONLY = re.compile(r"^(s[bhwd]|fs[whd]|c\.s[wd]\w*|b\w*|j|jr|ret|nop|c\.j\w*|c\.b\w*)$")

    def registers(self, operand):
        return {f"x{n}" for n in re.findall(r"\bx(\d+)\b", operand) if n != "0"} | \
            {f"f{n}" for n in re.findall(r"\bf(\d+)\b", operand)}

    def destination(self, mnemonic, operands):
        if not operands or self.READ_ONLY.match(mnemonic):
            return 0, False
        return 1, False

    def effects(self, mnemonic, operands):
        reads, writes = super().effects(mnemonic, operands)
        if mnemonic in ("jal", "jalr", "call"):
            writes |= register_range(1, 1, "x") | register_range(5, 7, "x") | \
                register_range(10, 17, "x") | register_range(28, 31, "x")
        return reads, writes

    def is_barrier(self, mnemonic, operands, prefixes):
        return mnemonic in self.barriers or bool(self.ORDERED.match(mnemonic))


class S390(Arch):
    name = "s390x"
    objdump = ["s390x-linux-gnu-objdump"]
    READ_ONLY = re.compile(r"^(st\w*|mv\w*|c\w*|j\w*|b\w*|tm\w*|nop\w*|pfd)$")
    THREE_OPERAND = re.compile(r"^(\w+k|s[lr][la]g|s[lr]a?k|rllg?|sllg|srlg|srag|slag)$")
    READ_WRITE = re.compile(r"^(ii\w+|ic\w*|risbg\w*|rosbg|rxsbg|rnsbg|vlvg\w*|vle\w+|"
                            r"vlei\w*|brctg?|brxh\w*)$")

    def registers(self, operand):
        return {f"r{n}" for n in re.findall(r"%r(\d+)\b", operand)} | \
            {f"v{n}" for n in re.findall(r"%[fv](\d+)\b", operand)}

    def destination(self, mnemonic, operands):
        if not operands:
            return 0, False
        if self.READ_WRITE.match(mnemonic):
            return 1, True
        if self.READ_ONLY.match(mnemonic):
            return 0, False
        if mnemonic.startswith("l") or mnemonic.startswith("v") or \
                self.THREE_OPERAND.match(mnemonic):
            return 1, False
        return 1, True  # two operands: the first is read and written

    def effects(self, mnemonic, operands):
        reads, writes = super().effects(mnemonic, operands)
        if mnemonic in ("lmg", "lm", "stmg", "stm") and len(operands) == 3:
            first, last = (int(n) for n in re.findall(r"%r(\d+)", ",".join(operands[:2])))
            named = register_range(first, last, "r") if first <= last else \
                register_range(first, 15, "r") | register_range(0, last, "r")
            if mnemonic.startswith("l"):
                writes |= named
                reads -= named
            else:
                reads |= named
        if mnemonic in ("brasl", "basr", "bras"):
            writes |= register_range(0, 5, "r") | {"r14"}
        return reads, writes

    def pure_load(self, mnemonic):
        return mnemonic.startswith("l") or mnemonic.startswith("vl")

    def is_barrier(self, mnemonic, operands, prefixes):
        # bcr 14,0 and bcr 15,0 serialize; objdump may spell them bnor %r0 and br %r0
        if mnemonic == "bcr" and len(operands) == 2:
            return operands[0] in ("14", "15") and operands[1] in ("0", "%r0")
        return mnemonic in ("bnor", "br") and operands == ["%r0"]


# ELF machine numbers, with the qemu-user command and the sysroot of Debian's cross
# toolchain for each.
def architecture(binary):
    """(Arch, qemu command) from the binary's ELF header."""
    try:
        with open(binary, "rb") as file:
            header = file.read(52)
    except OSError as error:
        raise CannotCheck(f"cannot read it: {error}") from error
    if header[:4] != b"\x7fELF" or len(header) < 52:
        raise CannotCheck("not an ELF file")
    bits = 64 if header[4] == 2 else 32
    little = header[5] == 1
    order = "little" if little else "big"
    machine = int.from_bytes(header[18:20], order)
    flags = int.from_bytes(header[48:52] if bits == 64 else header[36:40], order)
    if machine == 62 and bits == 64:
        return X86(), ["qemu-x86_64", "-s", str(STACK)]
    if machine == 3:
        return X86(), ["qemu-i386", "-s", str(STACK), "-L", "/usr/i686-linux-gnu"]
    if machine == 183:
        return AArch64(), ["qemu-aarch64", "-s", str(STACK), "-L", "/usr/aarch64-linux-gnu"]
    if machine == 40 and little:
        hard = bool(flags & 0x400)
        return Arm(hard), ["qemu-arm", "-s", str(STACK), "-L", "/usr/arm-linux-gnueabi" + ("hf" if hard else "")]
    if machine == 8 and little:
        if bits == 64:
            return Mips(64), ["qemu-mips64el", "-s", str(STACK), "-L", "/usr/mips64el-linux-gnuabi64"]
        return Mips(32), ["qemu-mipsel", "-s", str(STACK), "-L", "/usr/mipsel-linux-gnu"]
    if machine == 21 and little:
        return Power(), ["qemu-ppc64le", "-s", str(STACK), "-L", "/usr/powerpc64le-linux-gnu"]
    if machine == 243 and bits == 64:
        return RiscV(), ["qemu-riscv64", "-s", str(STACK), "-L", "/usr/riscv64-linux-gnu"]
    if machine == 22:
        return S390(), ["qemu-s390x", "-s", str(STACK), "-L", "/usr/s390x-linux-gnu"]
    raise CannotCheck(f"reads none of Debian's release architectures' code in ELF machine "
                      f"{machine} ({bits}-bit, {order}-endian)")
