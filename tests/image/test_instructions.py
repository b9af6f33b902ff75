"""Every instruction of each image's .code (the filter's and the decoder's) is
one the least processor of its architecture executes. x86: a Pentium (i586,
the least processor Windows XP runs on): no CMOV or long NOP (both P6), no
MMX, SSE or AVX register. x64: the x86-64 baseline, which every x64 Windows
runs on: CMOV, SSE and SSE2 on XMM0-15, and nothing later (no SSE3, SSSE3,
SSE4, POPCNT, AVX or AVX-512; no LAHF and SAHF, which the first x64
processors lacked in 64-bit mode; no MMX, x87 or CMPXCHG16B either: the
compiler has no reason for them). The emulated CPU runs them all whatever the
model, so this is read from the disassembly (llvm-objdump).

On x64 the disassembly also shows that the unwind data (test_image.py reads
the table) covers every instruction that calls or moves the stack pointer:
the functions x64 Windows must be able to unwind through.

    /usr/bin/python3 tests/image/test_instructions.py
        (B64FILTER_WIN32_IMAGE and B64UNFILTER_WIN32_IMAGE name the images;
        with B64_WINDOWS_ARCH=x64, B64FILTER_WIN64_IMAGE and B64UNFILTER_WIN64_IMAGE)
"""

import re
import shutil
import subprocess
import unittest

import pefile

from images import ARCH, PROGRAMS, path

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
# x86-64's baseline: the Pentium's integer instructions that 64-bit mode keeps
# (not the BCD ones, BOUND, INTO, ARPL, the far loads of segment and offset,
# PUSHA/POPA; nor LAHF/SAHF), with its own 64-bit forms; CMOV; SSE and SSE2
# (with the MMX instructions SSE2 widened to XMM registers, which take the
# same names).
X86_64 = (PENTIUM - set("aaa aad aam aas arpl bound daa das into lds les popal pushal pushfd popfd iretd "
                        "lahf sahf".split())) | set("""
cdqe cqo movabs movsxd cmpsq lodsq movsq scasq stosq pushfq popfq iretq jrcxz syscall sysret swapgs
cmova cmovae cmovb cmovbe cmove cmovg cmovge cmovl cmovle cmovne cmovno cmovnp cmovns cmovo cmovp cmovs
addps addss andnps andps cmpps cmpss comiss cvtsi2ss cvtss2si cvttss2si divps divss ldmxcsr maxps
maxss minps minss movaps movhlps movhps movlhps movlps movmskps movntps movss movups mulps mulss orps
rcpps rcpss rsqrtps rsqrtss shufps sqrtps sqrtss stmxcsr subps subss ucomiss unpckhps unpcklps xorps
prefetchnta prefetcht0 prefetcht1 prefetcht2 sfence pavgb pavgw pextrw pinsrw pmaxsw pmaxub pminsw
pminub pmovmskb pmulhuw psadbw
addpd addsd andnpd andpd cmppd comisd cvtdq2pd cvtdq2ps cvtpd2dq cvtpd2ps cvtps2dq cvtps2pd
cvtsd2si cvtsd2ss cvtsi2sd cvtss2sd cvttpd2dq cvttps2dq cvttsd2si divpd divsd maxpd maxsd minpd
minsd movapd movhpd movlpd movmskpd movupd mulpd mulsd orpd shufpd sqrtpd sqrtsd subpd subsd
ucomisd unpckhpd unpcklpd xorpd movdqa movdqu paddq pmuludq pshufd pshufhw pshuflw pslldq psrldq
punpckhqdq punpcklqdq maskmovdqu movntdq movntpd movnti clflush lfence mfence pause
movd movq packssdw packsswb packuswb paddb paddw paddd paddsb paddsw paddusb paddusw pand pandn
pcmpeqb pcmpeqw pcmpeqd pcmpgtb pcmpgtw pcmpgtd pmaddwd pmulhw pmullw por psllw pslld psllq psraw
psrad psrlw psrld psrlq psubb psubw psubd psubq psubsb psubsw psubusb psubusw punpckhbw punpckhwd
punpckhdq punpcklbw punpcklwd punpckldq pxor
""".split())
PREFIXES = {"lock", "rep", "repe", "repne"}
# Registers of MMX (mm0-7), SSE and AVX (xmm, ymm, zmm) and AVX-512 masks.
VECTOR_REGISTER = re.compile(r"\b(?:[xyz]?mm\d+|k[0-7])\b")
# What x86-64's baseline has of them: SSE's sixteen XMM registers.
BASELINE_XMM = re.compile(r"\bxmm(?:\d|1[0-5])\b")


def objdump():
    for name in ("llvm-objdump-19", "llvm-objdump"):
        if shutil.which(name):
            return name
    raise unittest.SkipTest("no llvm-objdump (tools/install-deps installs llvm-19)")


def instructions(listing):
    """(address, mnemonic, operands, line) of each instruction of an llvm-objdump listing."""
    for line in listing.splitlines():
        # "  401000:      	push	ebp" -> address, then mnemonic and operands
        parts = line.split("\t")
        found = re.match(r"\s*([0-9a-f]+):", parts[0])
        if len(parts) < 2 or not found:
            continue
        words = " ".join(parts[1:]).split("#")[0].split()
        while words and words[0] in PREFIXES:
            words = words[1:]
        mnemonic, operands = (words[0], " ".join(words[1:])) if words else ("", "")
        yield int(found.group(1), 16), mnemonic, operands, line.strip()


def not_on_a_pentium(listing):
    """The lines of an llvm-objdump listing whose instruction a Pentium lacks."""
    return [line for _, mnemonic, operands, line in instructions(listing)
            if (mnemonic not in PENTIUM or VECTOR_REGISTER.search(operands)
                or (mnemonic == "nop" and operands))]  # a long NOP (0F 1F) is P6


def beyond_x86_64(listing):
    """The lines of an llvm-objdump listing whose instruction x86-64's baseline lacks."""
    return [line for _, mnemonic, operands, line in instructions(listing)
            if mnemonic not in X86_64 or VECTOR_REGISTER.search(BASELINE_XMM.sub("", operands))]


def unwound_by_nothing(listing, functions):
    """The lines of a listing that call or move the stack pointer outside
    every function of the unwind table, given as [begin, end) addresses."""
    return [line for address, mnemonic, operands, line in instructions(listing)
            if (mnemonic in ("call", "push", "pop", "enter", "leave")
                or re.match(r"(?:sub|add|lea|and|mov) rsp\b", mnemonic + " " + operands))
            and not any(begin <= address < end for begin, end in functions)]


ALLOWED = {"x86": not_on_a_pentium, "x64": beyond_x86_64}[ARCH]


def disassembly(program):
    return subprocess.run([objdump(), "-d", "-j", ".code", "--no-show-raw-insn",
                           "--x86-asm-syntax=intel", path(program)],
                          capture_output=True, text=True, check=True).stdout


class Instructions(unittest.TestCase):

    def test_the_readers_find_what_the_processor_lacks(self):
        listing = ("  401031:      \tcmovne\tecx, eax\n  401040:      \tmovd\txmm0, eax\n"
                   "  401050:      \tnop\tdword ptr [eax]\n  401060:      \trep\t\tstosd\n"
                   "  401070:      \tpush\tebp\n")
        self.assertEqual(not_on_a_pentium(listing), [
            "401031:      \tcmovne\tecx, eax", "401040:      \tmovd\txmm0, eax",
            "401050:      \tnop\tdword ptr [eax]"])
        # (line, beyond the baseline): the P6 and SSE2 ones are in it, later ones not.
        rows = [("cmovne\tecx, eax", False), ("movd\txmm0, eax", False), ("nop\tdword ptr [rax]", False),
                ("rep\t\tstosq", False), ("movdqa\txmm15, xmmword ptr [rip + 0x10]", False),
                ("pshufb\txmm0, xmm1", True), ("popcnt\teax, ecx", True), ("lahf", True),
                ("vpxor\txmm0, xmm0, xmm0", True), ("movdqu\tymm1, ymmword ptr [rax]", True),
                ("movq\tmm0, rax", True), ("movdqa\txmm16, xmm1", True), ("cmpxchg16b\txmmword ptr [rax]", True),
                ("kmovw\tk1, eax", True), ("movbe\teax, dword ptr [rcx]", True)]
        for text, beyond in rows:
            with self.subTest(text):
                self.assertEqual(bool(beyond_x86_64("  140001000:      \t%s\n" % text)), beyond)

    def test_the_unwind_reader_finds_what_no_function_covers(self):
        listing = ("  1000:\tpush\trbx\n  1001:\tsub\trsp, 0x20\n  1005:\tcall\tqword ptr [rip + 0x10]\n"
                   "  100b:\tmov\teax, 1\n  100c:\tret\n  2000:\tsub\trsp, 0x28\n  2004:\tmov\trsp, rbp\n"
                   "  2007:\tcall\t0x1000\n  200c:\tmovzx\teax, byte ptr [rsp + 0x8]\n")
        self.assertEqual(unwound_by_nothing(listing, [(0x1000, 0x100d)]), [
            "2000:\tsub\trsp, 0x28", "2004:\tmov\trsp, rbp", "2007:\tcall\t0x1000"])
        self.assertEqual(unwound_by_nothing(listing, [(0x1000, 0x100d), (0x2000, 0x2010)]), [])

    def test_code_has_only_instructions_of_the_least_processor(self):
        for program in PROGRAMS:
            with self.subTest(program.name):
                listing = disassembly(program)
                self.assertGreater(len(list(instructions(listing))), 100, listing[:500])
                self.assertEqual(ALLOWED(listing), [])

    @unittest.skipIf(ARCH != "x64", "x86 Windows unwinds no table: the x86 image has none")
    def test_every_function_that_calls_or_moves_the_stack_has_unwind_data(self):
        for program in PROGRAMS:
            with self.subTest(program.name):
                pe = pefile.PE(path(program))
                base = pe.OPTIONAL_HEADER.ImageBase
                functions = [(base + f.struct.BeginAddress, base + f.struct.EndAddress)
                             for f in pe.DIRECTORY_ENTRY_EXCEPTION]
                self.assertEqual(unwound_by_nothing(disassembly(program), functions), [])


if __name__ == "__main__":
    unittest.main()
