"""Every instruction of each image's .code (the filter's and the decoder's) is one a Pentium (i586, the least
processor Windows XP runs on) executes: no CMOV or long NOP (both P6), no
MMX, SSE or AVX register. The emulated CPU runs them all whatever the model,
so this is read from the disassembly (llvm-objdump).

    /usr/bin/python3 tests/image/test_instructions.py
        (B64FILTER_WIN32_IMAGE and B64UNFILTER_WIN32_IMAGE name the images)
"""

import re
import shutil
import subprocess
import unittest

from images import PROGRAMS, path

# The Pentium's integer instructions, as llvm-objdump names them in Intel
# syntax. A mnemonic not here fails the test until someone checks it against
# the processor's manual and adds it.
PENTIUM = set("""
aaa aad aam aas adc add and arpl bound bsf bsr bswap bt btc btr bts call cbw cdq clc cld cli clts
cmc cmp cmpsb cmpsw cmpsd cmpxchg cmpxchg8b cpuid cwd cwde daa das dec div enter hlt idiv imul in
inc insb insw insd int int3 into invd invlpg iret iretd ja jae jb jbe jcxz jecxz je jg jge jl jle
jmp jne jno jnp jns jo jp js lahf lar lds lea leave les lfs lgdt lgs lidt lldt lmsw lodsb lodsw
lodsd loop loope loopne lsl lss ltr mov movsb movsw movsd movsx movzx mul neg nop not or out outsb
outsw outsd pop popal popfd push pushal pushfd rcl rcr rdmsr rdtsc ret retf rol ror rsm sahf sal
sar sbb scasb scasw scasd seta setae setb setbe sete setg setge setl setle setne setno setnp setns
seto setp sets sgdt shl shld shr shrd sidt sldt smsw stc std sti stosb stosw stosd str sub test
verr verw wait wbinvd wrmsr xadd xchg xlatb xor
""".split())
PREFIXES = {"lock", "rep", "repe", "repne"}
# Registers of MMX (mm0-7), SSE and AVX (xmm, ymm, zmm) and AVX-512 masks.
VECTOR_REGISTER = re.compile(r"\b(?:[xyz]?mm\d+|k[0-7])\b")


def objdump():
    for name in ("llvm-objdump-19", "llvm-objdump"):
        if shutil.which(name):
            return name
    raise unittest.SkipTest("no llvm-objdump (tools/install-deps installs llvm-19)")


def not_on_a_pentium(listing):
    """The lines of an llvm-objdump listing whose instruction a Pentium lacks."""
    found = []
    for line in listing.splitlines():
        # "  401000:      	push	ebp" -> address, then mnemonic and operands
        parts = line.split("\t")
        if len(parts) < 2 or not re.match(r"\s*[0-9a-f]+:", parts[0]):
            continue
        words = " ".join(parts[1:]).split()
        while words and words[0] in PREFIXES:
            words = words[1:]
        mnemonic, operands = (words[0], " ".join(words[1:])) if words else ("", "")
        if (mnemonic not in PENTIUM or VECTOR_REGISTER.search(operands)
                or (mnemonic == "nop" and operands)):  # a long NOP (0F 1F) is P6
            found.append(line.strip())
    return found


class Instructions(unittest.TestCase):

    def test_the_reader_finds_what_a_pentium_lacks(self):
        listing = ("  401031:      \tcmovne\tecx, eax\n  401040:      \tmovd\txmm0, eax\n"
                   "  401050:      \tnop\tdword ptr [eax]\n  401060:      \trep\t\tstosd\n"
                   "  401070:      \tpush\tebp\n")
        self.assertEqual(not_on_a_pentium(listing), [
            "401031:      \tcmovne\tecx, eax", "401040:      \tmovd\txmm0, eax",
            "401050:      \tnop\tdword ptr [eax]"])

    def test_code_has_only_pentium_instructions(self):
        for program in PROGRAMS:
            with self.subTest(program.name):
                listing = subprocess.run([objdump(), "-d", "-j", ".code", "--no-show-raw-insn",
                                          "--x86-asm-syntax=intel", path(program)],
                                         capture_output=True, text=True, check=True).stdout
                instructions = [line for line in listing.splitlines()
                                if re.match(r"\s*[0-9a-f]+:", line)]
                self.assertGreater(len(instructions), 100, listing[:500])
                self.assertEqual(not_on_a_pentium(listing), [])


if __name__ == "__main__":
    unittest.main()
