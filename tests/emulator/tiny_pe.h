// A PE32 i386 image of a few sections, made by the tests of the loader and
// the emulated CPU, so that they need no Windows image. Its own code is
// `push 7; call [ExitProcess]`, one relocation for the call's operand, one
// import. The constants say where each part lies, for a test to change.
#ifndef B64FILTER_TINY_PE_H
#define B64FILTER_TINY_PE_H

#include <stdint.h>

#include <string>
#include <vector>

namespace tiny {

const uint32_t kPreferredBase = 0x400000;
const uint32_t kPe = 0x40, kOptional = kPe + 24, kSectionTable = kOptional + 0xE0;
const uint32_t kImageSize = 0x6000;
const uint32_t kStackReserve = 0x100000;

// The sections, in this order: name, offset in memory and in the file, the
// bytes in the file, and flags (IMAGE_SCN_MEM_*).
struct Section {
    const char *name;
    uint32_t rva, raw, rawSize, flags;
};
const Section kSections[] = {
    {".code", 0x1000, 0x200, 0x200, 0x60000000u},   // execute, read
    {".data", 0x2000, 0, 0, 0xC0000000u},           // read, write
    {".none", 0x3000, 0, 0, 0},                     // no access
    {".idata", 0x4000, 0x400, 0x200, 0x40000000u},  // read
    {".reloc", 0x5000, 0x600, 0x1000, 0x40000000u},
};
const uint32_t kSectionCount = sizeof kSections / sizeof kSections[0];
const uint32_t kCode = 0x1000, kData = 0x2000, kNone = 0x3000, kImports = 0x4000, kRelocations = 0x5000;

// In .idata: the one descriptor, the name table, the address table, the
// library's name and the function's hint and name.
const uint32_t kNameTable = kImports + 0x40, kAddressTable = kImports + 0x50;
const uint32_t kLibraryName = kImports + 0x60, kFunctionName = kImports + 0x70;

// Where an offset of the loaded image lies in the file (of a section with
// bytes in the file).
inline uint32_t FileOffset(uint32_t rva)
{
    for (const Section &s : kSections)
        if (rva >= s.rva && rva < s.rva + s.rawSize)
            return s.raw + (rva - s.rva);
    return 0;
}

inline void Put(std::vector<uint8_t> &file, uint32_t at, uint32_t width, uint32_t value)
{
    for (uint32_t i = 0; i < width; i++)
        file[at + i] = (uint8_t)(value >> (8 * i));
}

// A field of the loaded image, by its offset, put into the file.
inline void PutAt(std::vector<uint8_t> &file, uint32_t rva, uint32_t width, uint32_t value)
{
    Put(file, FileOffset(rva), width, value);
}

inline void PutString(std::vector<uint8_t> &file, uint32_t rva, const std::string &text)
{
    for (size_t i = 0; i <= text.size(); i++)
        PutAt(file, rva + (uint32_t)i, 1, i < text.size() ? (uint8_t)text[i] : 0);
}

inline std::vector<uint8_t> Image()
{
    std::vector<uint8_t> file(0x1600, 0);
    Put(file, 0, 2, 0x5A4D);  // MZ
    Put(file, 0x3C, 4, kPe);
    Put(file, kPe, 4, 0x4550);  // PE\0\0
    Put(file, kPe + 4, 2, 0x14C);
    Put(file, kPe + 6, 2, kSectionCount);
    Put(file, kPe + 20, 2, 0xE0);
    Put(file, kPe + 22, 2, 0x0102);  // executable, 32-bit
    Put(file, kOptional, 2, 0x10B);
    Put(file, kOptional + 16, 4, kCode);  // entry point
    Put(file, kOptional + 28, 4, kPreferredBase);
    Put(file, kOptional + 32, 4, 0x1000);  // section alignment
    Put(file, kOptional + 36, 4, 0x200);   // file alignment
    Put(file, kOptional + 56, 4, kImageSize);
    Put(file, kOptional + 60, 4, 0x200);  // headers
    Put(file, kOptional + 68, 2, 3);      // console
    Put(file, kOptional + 72, 4, kStackReserve);
    Put(file, kOptional + 76, 4, 0x1000);  // stack commit
    Put(file, kOptional + 92, 4, 16);      // data directories
    Put(file, kOptional + 104, 4, kImports);
    Put(file, kOptional + 108, 4, 40);
    Put(file, kOptional + 136, 4, kRelocations);
    Put(file, kOptional + 140, 4, 12);
    for (uint32_t i = 0; i < kSectionCount; i++) {
        const Section &s = kSections[i];
        uint32_t at = kSectionTable + 40 * i;
        for (uint32_t c = 0; s.name[c]; c++)
            file[at + c] = (uint8_t)s.name[c];
        Put(file, at + 8, 4, s.rawSize ? s.rawSize : 0x1000);  // VirtualSize
        Put(file, at + 12, 4, s.rva);
        Put(file, at + 16, 4, s.rawSize);
        Put(file, at + 20, 4, s.raw);
        Put(file, at + 36, 4, s.flags);
    }
    // push 7; call [the address table's entry]; the call's operand relocated.
    PutAt(file, kCode, 2, 0x076A);
    PutAt(file, kCode + 2, 2, 0x15FF);
    PutAt(file, kCode + 4, 4, kPreferredBase + kAddressTable);
    PutAt(file, kRelocations, 4, kCode);
    PutAt(file, kRelocations + 4, 4, 12);
    PutAt(file, kRelocations + 8, 2, 0x3000 | 4);  // type 3, the operand; then padding
    PutAt(file, kImports, 4, kNameTable);
    PutAt(file, kImports + 12, 4, kLibraryName);
    PutAt(file, kImports + 16, 4, kAddressTable);
    PutAt(file, kNameTable, 4, kFunctionName);
    PutAt(file, kAddressTable, 4, kFunctionName);
    PutString(file, kLibraryName, "KERNEL32.dll");
    PutString(file, kFunctionName + 2, "ExitProcess");
    return file;
}

}  // namespace tiny

#endif
