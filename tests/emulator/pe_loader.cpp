#include "tests/emulator/pe_loader.h"

#include <stdio.h>
#include <string.h>

namespace emulated {

namespace {

// Every read of the file, and of the image in memory: `width` bytes (at most
// 4) at `offset`, little-endian, or false when they run past the end.
bool Read(const std::vector<uint8_t> &bytes, uint64_t offset, uint32_t width, uint32_t *value)
{
    if (offset + width > bytes.size())
        return false;
    *value = 0;
    for (uint32_t i = 0; i < width; i++)
        *value |= (uint32_t)bytes[offset + i] << (8 * i);
    return true;
}

// A word into the image in memory, little-endian as every read takes it;
// the caller has read the word there, so it lies inside.
void Write(std::vector<uint8_t> &bytes, uint64_t offset, uint32_t value)
{
    for (uint32_t i = 0; i < 4; i++)
        bytes[offset + i] = (uint8_t)(value >> (8 * i));
}

// A string ending in a zero byte before the end.
bool ReadString(const std::vector<uint8_t> &bytes, uint64_t offset, std::string *text)
{
    text->clear();
    for (uint32_t c; Read(bytes, offset, 1, &c); offset++) {
        if (c == 0)
            return true;
        *text += (char)c;
    }
    return false;
}

// The header fields, read in order until the first that the file cuts short.
struct Headers {
    const std::vector<uint8_t> &file;
    uint64_t cutAt = 0;  // where the first read past the end was
    bool cut = false;
    uint32_t operator()(uint64_t offset, uint32_t width)
    {
        uint32_t value = 0;
        if (!cut && !Read(file, offset, width, &value)) {
            cut = true;
            cutAt = offset;
        }
        return value;
    }
};

bool Fail(std::string *fault, const std::string &why)
{
    *fault = why;
    return false;
}

bool RelocateBlock(std::vector<uint8_t> &memory, uint32_t block, uint32_t blockSize, uint32_t delta,
                   std::string *fault)
{
    uint32_t page = 0, fixup = 0, word = 0;
    Read(memory, block, 4, &page);
    for (uint64_t entry = (uint64_t)block + 8; entry + 2 <= (uint64_t)block + blockSize; entry += 2) {
        Read(memory, entry, 2, &fixup);
        // A page near 4 GiB and an offset in it must not wrap onto the headers.
        uint64_t at = (uint64_t)page + (fixup & 0xFFF);
        if (fixup >> 12 == 0)  // padding
            continue;
        if (fixup >> 12 != 3)
            return Fail(fault, "base relocation of type " + std::to_string(fixup >> 12) + " at " + Hex(at) +
                                   " that a 32-bit image does not have");
        if (!Read(memory, at, 4, &word))
            return Fail(fault, "base relocation at " + Hex(at) + ", outside the image");
        Write(memory, at, word + delta);
    }
    return true;
}

bool Relocate(std::vector<uint8_t> &memory, uint32_t rva, uint32_t size, uint32_t delta, std::string *fault)
{
    uint64_t end = (uint64_t)rva + size;
    if (end > memory.size())
        return Fail(fault,
                    "base relocations at " + Hex(rva) + " (" + Hex(size) + " bytes) lie outside the image");
    for (uint64_t block = rva, blockSize = 0; block < end; block += blockSize) {
        if (block + 8 > end)
            return Fail(fault, "base relocation block at " + Hex(block) +
                                   " cut short by its directory's end at " + Hex(end));
        uint32_t declared = 0;
        Read(memory, block + 4, 4, &declared);
        blockSize = declared;
        if (blockSize < 8)
            return Fail(fault, "base relocation block at " + Hex(block) + " of " + Hex(blockSize) +
                                   " bytes, shorter than its header");
        if (block + blockSize > end)
            return Fail(fault, "base relocation block at " + Hex(block) + " of " + Hex(blockSize) +
                                   " bytes, past its directory's end at " + Hex(end));
        if (!RelocateBlock(memory, (uint32_t)block, declared, delta, fault))
            return false;
    }
    return true;
}

bool BindLibrary(std::vector<uint8_t> &memory, uint32_t names, uint32_t table, const std::string &library,
                 ImportResolver resolve, std::string *fault)
{
    for (uint64_t at = names, slot = table;; at += 4, slot += 4) {
        uint32_t entry = 0, unused = 0;
        if (!Read(memory, at, 4, &entry))
            return Fail(fault, "import table of " + library + " cut short at " + Hex(at));
        if (!Read(memory, slot, 4, &unused))
            return Fail(fault, "import address table of " + library + " cut short at " + Hex(slot));
        if (entry == 0)
            return true;
        std::string function;
        if (entry & 0x80000000u)
            return Fail(fault, "an import from " + library + " by ordinal");
        if (!ReadString(memory, (uint64_t)entry + 2, &function))
            return Fail(fault, "import name at " + Hex((uint64_t)entry + 2) + " from " + library +
                                   " runs past the end of the image");
        uint32_t address = resolve(library, function);
        if (address == 0) {
            std::string name = library + "!";
            name += function;
            return Fail(fault, "imports " + name + ", which is not one of the seven");
        }
        Write(memory, slot, address);
    }
}

bool BindImports(std::vector<uint8_t> &memory, uint32_t rva, ImportResolver resolve, std::string *fault)
{
    if (rva == 0)
        return true;  // imports nothing
    for (uint64_t descriptor = rva;; descriptor += 20) {
        uint32_t names = 0, nameRva = 0, table = 0;
        if (!Read(memory, descriptor + 16, 4, &table))
            return Fail(fault, "import directory cut short at " + Hex(descriptor));
        Read(memory, descriptor, 4, &names);
        Read(memory, descriptor + 12, 4, &nameRva);
        if (nameRva == 0 && table == 0)
            return true;
        std::string library;
        if (!ReadString(memory, nameRva, &library))
            return Fail(fault, "import library name at " + Hex(nameRva) + " runs past the end of the image");
        if (!BindLibrary(memory, names ? names : table, table, library, resolve, fault))
            return false;
    }
}

// The headers' fields that the loader takes, each checked.
bool CheckHeaders(Headers &in, uint64_t optional, LoadedImage *image, uint32_t *imageSize,
                  uint32_t *headerSize, std::string *fault)
{
    uint32_t alignment = in(optional + 32, 4);
    *imageSize = in(optional + 56, 4);
    *headerSize = in(optional + 60, 4);
    image->entry = in(optional + 16, 4);
    image->stackReserve = in(optional + 72, 4);
    image->stackCommit = in(optional + 76, 4);
    if (in.cut)
        return Fail(fault, "headers cut short at " + Hex(in.cutAt));
    if (alignment != kPage)
        return Fail(fault, "section alignment " + Hex(alignment) + ", not a page");
    if (*imageSize == 0 || *imageSize > kLargestImage)
        return Fail(fault, "image size " + Hex(*imageSize) + " this loader cannot take");
    if (*headerSize == 0)
        return Fail(fault, "headers of no bytes");
    if (*headerSize > *imageSize || *headerSize > in.file.size())
        return Fail(fault, "headers of " + Hex(*headerSize) + " bytes, past the image or the file");
    if (image->stackReserve < 2 * kPage || image->stackReserve > kLargestImage)
        return Fail(fault, "stack reserve " + Hex(image->stackReserve) + " this loader cannot take");
    if (image->stackCommit > image->stackReserve)
        return Fail(fault, "stack commit " + Hex(image->stackCommit) + " past its reserve " +
                               Hex(image->stackReserve));
    return true;
}

// A section's place in memory, each bound in 64 bits: a VirtualSize near
// 4 GiB rounds up past the image, not to 0. A VirtualSize of 0 stands for
// SizeOfRawData, as the Windows loader takes it.
bool PlaceSection(const LoadedImage &image, const char *name, uint32_t rva, uint32_t *virtualSize,
                  uint32_t rawSize, std::string *fault)
{
    const std::string section = std::string("section ") + name + " at " + Hex(rva);
    if (*virtualSize == 0)
        *virtualSize = rawSize;
    if (*virtualSize == 0)
        return Fail(fault, section + " has no bytes, in memory or in the file");
    if (rva % kPage)
        return Fail(fault, section + ", not on a page boundary");
    const LoadedSection &before = image.sections.back();
    if (rva < (uint64_t)before.rva + before.size)
        return Fail(fault, section + " overlaps " +
                               (image.sections.size() == 1 ? "the headers, which end"
                                                           : before.name + ", which ends") +
                               " at " + Hex((uint64_t)before.rva + before.size));
    if ((uint64_t)rva + PageRound(*virtualSize) > image.memory.size())
        return Fail(fault, section + " of " + Hex(*virtualSize) + " bytes runs past the image's end at " +
                               Hex(image.memory.size()));
    return true;
}

bool LoadSections(Headers &in, uint64_t table, uint32_t count, LoadedImage *image, std::string *fault)
{
    for (uint32_t i = 0; i < count; i++) {
        uint64_t at = table + 40 * (uint64_t)i;
        char name[9] = {};
        for (int c = 0; c < 8; c++)
            name[c] = (char)in(at + c, 1);
        uint32_t virtualSize = in(at + 8, 4), rva = in(at + 12, 4);
        uint32_t rawSize = in(at + 16, 4), rawAt = in(at + 20, 4), flags = in(at + 36, 4);
        if (in.cut)
            return Fail(fault, "headers cut short at " + Hex(in.cutAt));
        if (!PlaceSection(*image, name, rva, &virtualSize, rawSize, fault))
            return false;
        uint32_t copied = rawSize < virtualSize ? rawSize : virtualSize;
        if ((uint64_t)rawAt + copied > in.file.size())
            return Fail(fault, std::string("section ") + name + "'s " + Hex(copied) + " bytes at " +
                                   Hex(rawAt) + " lie past the end of the file");
        memcpy(&image->memory[rva], &in.file[rawAt], copied);
        image->sections.push_back({name, rva, (uint32_t)PageRound(virtualSize), virtualSize, flags});
    }
    return true;
}

}  // namespace

uint64_t PageRound(uint64_t n)
{
    return (n + kPage - 1) & ~(uint64_t)(kPage - 1);
}

std::string Hex(uint64_t n)
{
    char text[24];
    snprintf(text, sizeof text, "0x%llX", (unsigned long long)n);
    return text;
}

bool LoadPe(const std::vector<uint8_t> &file, uint32_t base, ImportResolver resolve, LoadedImage *image,
            std::string *fault)
{
    Headers in{file};
    if (in(0, 2) != 0x5A4D)
        return Fail(fault, "not an MZ executable");
    uint64_t pe = in(0x3C, 4);
    if (in.cut)
        return Fail(fault, "headers cut short at " + Hex(in.cutAt));
    if (in(pe, 4) != 0x4550)
        return Fail(fault, "no PE signature at " + Hex(pe));
    uint64_t optional = pe + 24;
    uint32_t machine = in(pe + 4, 2), magic = in(optional, 2);
    if (machine != 0x14C)
        return Fail(fault, "machine " + Hex(machine) + ", not i386");
    if (magic != 0x10B)
        return Fail(fault, "optional header magic " + Hex(magic) + ", not PE32");
    uint32_t imageSize, headerSize;
    if (!CheckHeaders(in, optional, image, &imageSize, &headerSize, fault))
        return false;
    uint32_t sections = in(pe + 6, 2);
    uint64_t table = optional + in(pe + 20, 2);
    uint32_t preferred = in(optional + 28, 4), importRva = in(optional + 104, 4);
    uint32_t relocRva = in(optional + 136, 4), relocSize = in(optional + 140, 4);
    image->memory.assign(PageRound(imageSize), 0);
    memcpy(image->memory.data(), file.data(), headerSize);
    image->sections = {{"headers", 0, (uint32_t)PageRound(headerSize), headerSize, kSectionRead}};
    if (!LoadSections(in, table, sections, image, fault))
        return false;
    if (relocRva == 0 || relocSize == 0)
        return Fail(fault, "no base relocations: the image can only load at its preferred base");
    return Relocate(image->memory, relocRva, relocSize, base - preferred, fault) &&
           BindImports(image->memory, importRva, resolve, fault);
}

}  // namespace emulated
