// The PE loader's refusals: each malformed part of an image gets its own
// message, and no read goes past the file or the image (this runs in the
// sanitizer tree too). The images are tests/emulator/tiny_pe.h's, each changed in one
// place; the unchanged one loads and runs its own code.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/emulator/emulated_cpu.h"
#include "tests/emulator/tiny_pe.h"
#include "tests/scripted_platform/scripted_platform.h"

namespace {

using tiny::Put;
using tiny::PutAt;

struct Malformed {
    const char *name;
    std::function<void(std::vector<uint8_t> &)> change;
    std::string fault;
};

// The relocation block's header, and the one fixup in it.
const uint32_t kBlockSize = tiny::kRelocations + 4, kFixup = tiny::kRelocations + 8;

void FillTo(std::vector<uint8_t> &file, uint32_t rva, uint32_t end, char c)
{
    for (; rva < end; rva++)
        PutAt(file, rva, 1, (uint8_t)c);
}

TEST(PeLoader, EachMalformedImageIsRefusedWithItsOwnMessage)
{
    const uint32_t section = tiny::kSectionTable, idata = tiny::kSectionTable + 3 * 40;
    const std::vector<Malformed> cases = {
        {"not MZ", [](std::vector<uint8_t> &f) { Put(f, 0, 2, 0x4D5A); }, "not an MZ executable"},
        {"cut before the PE header's offset", [](std::vector<uint8_t> &f) { f.resize(0x3E); },
         "headers cut short at 0x3C"},
        {"the PE header past the end", [](std::vector<uint8_t> &f) { Put(f, 0x3C, 4, 0x10000); },
         "no PE signature at 0x10000"},
        {"a 64-bit machine", [](std::vector<uint8_t> &f) { Put(f, tiny::kPe + 4, 2, 0x8664); },
         "machine 0x8664, not i386"},
        {"PE32+", [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional, 2, 0x20B); },
         "optional header magic 0x20B, not PE32"},
        {"cut in the optional header", [](std::vector<uint8_t> &f) { f.resize(tiny::kOptional + 74); },
         "headers cut short at 0xA0"},
        {"cut in the section table",
         [&](std::vector<uint8_t> &f) {
             Put(f, tiny::kOptional + 60, 4, 0x100);
             f.resize(section + 10);
         },
         "headers cut short at 0x140"},
        {"a section alignment of 512",
         [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 32, 4, 0x200); },
         "section alignment 0x200, not a page"},
        {"an image of 512 MiB", [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 56, 4, 0x20000000); },
         "image size 0x20000000 this loader cannot take"},
        {"an image of nothing", [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 56, 4, 0); },
         "image size 0x0 this loader cannot take"},
        {"headers of nothing", [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 60, 4, 0); },
         "headers of no bytes"},
        {"headers past the file", [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 60, 4, 0x3000); },
         "headers of 0x3000 bytes, past the image or the file"},
        {"headers past the image", [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 60, 4, 0x7000); },
         "headers of 0x7000 bytes, past the image or the file"},
        {"a stack of one page", [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 72, 4, 0x1000); },
         "stack reserve 0x1000 this loader cannot take"},
        {"a stack of 512 MiB", [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 72, 4, 0x20000000); },
         "stack reserve 0x20000000 this loader cannot take"},
        {"a commit past the reserve",
         [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 76, 4, 0x101000); },
         "stack commit 0x101000 past its reserve 0x100000"},
        {"a section off its page", [&](std::vector<uint8_t> &f) { Put(f, section + 12, 4, 0x1200); },
         "section .code at 0x1200, not on a page boundary"},
        {"a section over the headers", [&](std::vector<uint8_t> &f) { Put(f, section + 12, 4, 0); },
         "section .code at 0x0 overlaps the headers, which end at 0x1000"},
        {"a section past the image", [&](std::vector<uint8_t> &f) { Put(f, section + 12, 4, 0x7000); },
         "section .code at 0x7000 of 0x200 bytes runs past the image's end at 0x6000"},
        {"a section running past the image", [&](std::vector<uint8_t> &f) { Put(f, idata + 8, 4, 0x2001); },
         "section .idata at 0x4000 of 0x2001 bytes runs past the image's end at 0x6000"},
        // Rounded up to pages in 32 bits, these sizes would come to 0 and fit.
        {"a section of almost 4 GiB", [&](std::vector<uint8_t> &f) { Put(f, idata + 8, 4, 0xFFFFF001u); },
         "section .idata at 0x4000 of 0xFFFFF001 bytes runs past the image's end at 0x6000"},
        {"a section of almost 4 GiB, its bytes past the image",  // a copy past the buffer, once
         [&](std::vector<uint8_t> &f) {
             Put(f, idata + 40 + 8, 4, 0xFFFFFFFFu);
             Put(f, idata + 40 + 16, 4, 0x1400);
             Put(f, idata + 40 + 20, 4, 0x200);
         },
         "section .reloc at 0x5000 of 0xFFFFFFFF bytes runs past the image's end at 0x6000"},
        {"a section after the one it follows in memory",
         [&](std::vector<uint8_t> &f) { Put(f, section + 40 + 12, 4, 0x4000); },
         "section .none at 0x3000 overlaps .data, which ends at 0x5000"},
        {"a section of no size at all", [&](std::vector<uint8_t> &f) { Put(f, section + 40 + 8, 4, 0); },
         "section .data at 0x2000 has no bytes, in memory or in the file"},
        {"a section's bytes past the file", [&](std::vector<uint8_t> &f) { Put(f, idata + 20, 4, 0x1500); },
         "section .idata's 0x200 bytes at 0x1500 lie past the end of the file"},
        {"two sections on one page", [&](std::vector<uint8_t> &f) { Put(f, section + 40 + 12, 4, 0x1000); },
         "section .data at 0x1000 overlaps .code, which ends at 0x2000"},
        {"no .code", [&](std::vector<uint8_t> &f) { Put(f, section, 4, 0x7865742E); },  // .tex
         "no executable .code section"},
        {"a .code that does not execute",
         [&](std::vector<uint8_t> &f) { Put(f, section + 36, 4, 0x40000000u); },
         "no executable .code section"},
        {"no base relocations", [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 140, 4, 0); },
         "no base relocations: the image can only load at its preferred base"},
        {"relocations past the image",
         [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 136, 4, 0x5FF8); },
         "base relocations at 0x5FF8 (0xC bytes) lie outside the image"},
        {"a block of 1 MiB", [](std::vector<uint8_t> &f) { PutAt(f, kBlockSize, 4, 0x100000); },
         "base relocation block at 0x5000 of 0x100000 bytes, past its directory's end at 0x500C"},
        {"a block shorter than its header", [](std::vector<uint8_t> &f) { PutAt(f, kBlockSize, 4, 6); },
         "base relocation block at 0x5000 of 0x6 bytes, shorter than its header"},
        {"a block header cut by the directory",
         [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 140, 4, 6); },
         "base relocation block at 0x5000 cut short by its directory's end at 0x5006"},
        {"a relocation of type 10", [](std::vector<uint8_t> &f) { PutAt(f, kFixup, 2, 0xA004); },
         "base relocation of type 10 at 0x1004 that a 32-bit image does not have"},
        {"a relocation past the image",
         [](std::vector<uint8_t> &f) { PutAt(f, tiny::kRelocations, 4, 0x5FFC); },
         "base relocation at 0x6000, outside the image"},
        {"a relocation 4 GiB on, onto the headers in 32 bits",
         [](std::vector<uint8_t> &f) {
             PutAt(f, tiny::kRelocations, 4, 0xFFFFF004u);
             PutAt(f, kFixup, 2, 0x3FFC);
         },
         "base relocation at 0x100000000, outside the image"},
        {"imports past the image", [](std::vector<uint8_t> &f) { Put(f, tiny::kOptional + 104, 4, 0x5FF0); },
         "import directory cut short at 0x5FF0"},
        {"a library name to the end",
         [](std::vector<uint8_t> &f) {
             PutAt(f, tiny::kImports + 12, 4, 0x5F00);
             FillTo(f, 0x5F00, 0x6000, 'A');
         },
         "import library name at 0x5F00 runs past the end of the image"},
        {"a name table past the image", [](std::vector<uint8_t> &f) { PutAt(f, tiny::kImports, 4, 0x5FFE); },
         "import table of KERNEL32.dll cut short at 0x5FFE"},
        {"an address table past the image",
         [](std::vector<uint8_t> &f) { PutAt(f, tiny::kImports + 16, 4, 0x5FFE); },
         "import address table of KERNEL32.dll cut short at 0x5FFE"},
        {"an import by ordinal", [](std::vector<uint8_t> &f) { PutAt(f, tiny::kNameTable, 4, 0x80000001u); },
         "an import from KERNEL32.dll by ordinal"},
        {"a function name to the end",
         [](std::vector<uint8_t> &f) {
             PutAt(f, tiny::kNameTable, 4, 0x5F00);
             FillTo(f, 0x5F00, 0x6000, 'A');
         },
         "import name at 0x5F02 from KERNEL32.dll runs past the end of the image"},
        {"an import not among the seven",
         [](std::vector<uint8_t> &f) { tiny::PutString(f, tiny::kFunctionName + 2, "ExitThread"); },
         "imports KERNEL32.dll!ExitThread, which is not one of the seven"},
    };
    for (const Malformed &c : cases) {
        std::vector<uint8_t> file = tiny::Image();
        c.change(file);
        std::string fault;
        EXPECT_FALSE(emulated::Load(file, &fault)) << c.name;
        EXPECT_EQ(fault, c.fault) << c.name;
    }
}

// Loaded away from its preferred base, its call reaches ExitProcess only if
// the relocation and the import were both applied; a name table of zero
// takes the address table's names, a VirtualSize of zero stands for the
// section's bytes in the file (as Windows takes it), and no import directory
// at all loads.
TEST(PeLoader, TheTinyImageLoadsAndRunsItsOwnCode)
{
    const uint32_t codeVirtualSize = tiny::kSectionTable + 8;
    for (uint32_t nameTable : {tiny::kNameTable, 0u})
        for (uint32_t virtualSize : {0x200u, 0u}) {
            std::vector<uint8_t> file = tiny::Image();
            PutAt(file, tiny::kImports, 4, nameTable);
            Put(file, codeVirtualSize, 4, virtualSize);
            std::string fault;
            emulated::MachinePtr m = emulated::Load(file, &fault);
            ASSERT_TRUE(m) << fault;
            scripted::Reset(scripted::Script());
            emulated::Outcome run = emulated::Run(*m);
            EXPECT_TRUE(run.exited) << run.fault;
            EXPECT_EQ(run.exitCode, 7u);
            EXPECT_EQ(run.instructions, 2u);
            // Decoded as far as .code's VirtualSize: push 7, the call, then adds of the zeros.
            EXPECT_EQ(emulated::CodeSection(*m).content, 0x200u);
            ASSERT_EQ(emulated::CodeInstructions(*m).size(), 2u + (0x200 - 8) / 2);
            EXPECT_EQ(emulated::CodeInstructions(*m)[0].text, "push 7");
            EXPECT_EQ(emulated::CodeInstructions(*m)[1].kind, emulated::InstructionKind::kNearCall);
        }
    std::vector<uint8_t> file = tiny::Image();
    Put(file, tiny::kOptional + 104, 4, 0);
    std::string fault;
    EXPECT_TRUE(emulated::Load(file, &fault)) << fault;
}

}  // namespace
