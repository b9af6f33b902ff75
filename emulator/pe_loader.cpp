#include "emulator/pe_loader.h"

#include <stdio.h>
#include <string.h>

namespace emulated {

namespace {

// The file's headers, read with bounds: a field past the end of the file
// reads as 0 and marks the read as failed.
struct FileReader {
    const std::vector<uint8_t> &bytes;
    bool ok = true;
    uint32_t At(size_t offset, size_t width)
    {
        if (offset + width > bytes.size()) {
            ok = false;
            return 0;
        }
        uint32_t value = 0;
        for (size_t i = 0; i < width; i++)
            value |= (uint32_t)bytes[offset + i] << (8 * i);
        return value;
    }
};

// A word of the image in memory, at an offset from its base.
uint32_t MemoryWord(const std::vector<uint8_t> &memory, uint32_t rva, bool *ok)
{
    if (memory.size() < 4 || rva > memory.size() - 4) {
        *ok = false;
        return 0;
    }
    uint32_t value;
    memcpy(&value, &memory[rva], 4);
    return value;
}

bool MemoryString(const std::vector<uint8_t> &memory, uint32_t rva, std::string *text)
{
    text->clear();
    for (; rva < memory.size(); rva++) {
        if (memory[rva] == 0)
            return true;
        *text += (char)memory[rva];
    }
    return false;
}

bool Relocate(std::vector<uint8_t> &memory, uint32_t rva, uint32_t size, uint32_t delta, std::string *fault)
{
    bool ok = true;
    for (uint32_t block = rva; block < rva + size;) {
        uint32_t page = MemoryWord(memory, block, &ok), blockSize = MemoryWord(memory, block + 4, &ok);
        if (!ok || blockSize < 8) {
            *fault = "base relocations cut short at " + Hex(block);
            return false;
        }
        for (uint32_t entry = block + 8; entry + 2 <= block + blockSize; entry += 2) {
            uint16_t fixup = (uint16_t)(memory[entry] | memory[entry + 1] << 8);
            uint32_t at = page + (fixup & 0xFFF);
            if (fixup >> 12 == 0)  // padding
                continue;
            uint32_t word = MemoryWord(memory, at, &ok);
            if (fixup >> 12 != 3 || !ok) {
                *fault = "base relocation of type " + std::to_string(fixup >> 12) + " at " + Hex(at) +
                         " that a 32-bit image does not have";
                return false;
            }
            word += delta;
            memcpy(&memory[at], &word, 4);
        }
        block += blockSize;
    }
    return true;
}

bool BindImports(std::vector<uint8_t> &memory, uint32_t rva, ImportResolver resolve, std::string *fault)
{
    bool ok = true;
    for (uint32_t descriptor = rva;; descriptor += 20) {
        uint32_t names = MemoryWord(memory, descriptor, &ok),
                 nameRva = MemoryWord(memory, descriptor + 12, &ok);
        uint32_t table = MemoryWord(memory, descriptor + 16, &ok);
        std::string library;
        if (!ok || (nameRva != 0 && !MemoryString(memory, nameRva, &library))) {
            *fault = "import directory cut short";
            return false;
        }
        if (nameRva == 0 && table == 0)
            return true;
        for (uint32_t i = 0;; i++) {
            uint32_t entry = MemoryWord(memory, (names ? names : table) + 4 * i, &ok);
            MemoryWord(memory, table + 4 * i, &ok);
            if (!ok) {
                *fault = "import table of " + library + " cut short";
                return false;
            }
            if (entry == 0)
                break;
            std::string function;
            if (entry & 0x80000000u || !MemoryString(memory, entry + 2, &function)) {
                *fault = "an import from " + library + " by ordinal or with no name";
                return false;
            }
            uint32_t address = resolve(library, function);
            if (address == 0) {
                *fault = "imports " + library;
                *fault += "!" + function + ", which is not one of the seven";
                return false;
            }
            memcpy(&memory[table + 4 * i], &address, 4);
        }
    }
}

}  // namespace

uint32_t PageRound(uint32_t n)
{
    return (n + kPage - 1) & ~(kPage - 1);
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
    FileReader in{file};
    uint32_t pe = in.At(0x3C, 4);
    if (in.At(0, 2) != 0x5A4D || in.At(pe, 4) != 0x4550 || in.At(pe + 4, 2) != 0x14C ||
        in.At(pe + 24, 2) != 0x10B || !in.ok) {
        *fault = "not a PE32 image for i386";
        return false;
    }
    uint32_t sections = in.At(pe + 6, 2), optional = pe + 24, table = optional + in.At(pe + 20, 2);
    uint32_t preferred = in.At(optional + 28, 4), alignment = in.At(optional + 32, 4);
    uint32_t imageSize = in.At(optional + 56, 4), headerSize = in.At(optional + 60, 4);
    image->entry = in.At(optional + 16, 4);
    image->stackReserve = in.At(optional + 72, 4);
    image->stackCommit = in.At(optional + 76, 4);
    uint32_t importRva = in.At(optional + 104, 4), relocRva = in.At(optional + 136, 4);
    uint32_t relocSize = in.At(optional + 140, 4);
    if (!in.ok || alignment != kPage || imageSize == 0 || imageSize > 0x10000000u || headerSize > imageSize ||
        headerSize > file.size() || image->stackReserve < 2 * kPage || image->stackReserve > 0x10000000u) {
        *fault = "headers this loader cannot take (section alignment " + Hex(alignment) + ", image size " +
                 Hex(imageSize) + ", stack reserve " + Hex(image->stackReserve) + ")";
        return false;
    }
    std::vector<uint8_t> &memory = image->memory;
    memory.assign(PageRound(imageSize), 0);
    memcpy(memory.data(), file.data(), headerSize);
    image->sections = {{"headers", 0, PageRound(headerSize), headerSize, kSectionRead}};
    for (uint32_t i = 0; i < sections; i++) {
        uint32_t at = table + 40 * i;
        char name[9] = {};
        for (int c = 0; c < 8; c++)
            name[c] = (char)in.At(at + c, 1);
        uint32_t virtualSize = in.At(at + 8, 4), rva = in.At(at + 12, 4);
        uint32_t rawSize = in.At(at + 16, 4), rawAt = in.At(at + 20, 4);
        uint32_t copied = rawSize < virtualSize ? rawSize : virtualSize;
        if (!in.ok || rva % kPage || rva < PageRound(headerSize) || rva > memory.size() ||
            PageRound(virtualSize) > memory.size() - rva || rawAt > file.size() ||
            copied > file.size() - rawAt) {
            *fault = std::string("section ") + name + " lies outside the image or the file";
            return false;
        }
        memcpy(&memory[rva], &file[rawAt], copied);
        image->sections.push_back({name, rva, PageRound(virtualSize), virtualSize, in.At(at + 36, 4)});
    }
    if (relocRva == 0 || relocSize == 0) {
        *fault = "no base relocations: the image can only load at its preferred base";
        return false;
    }
    return Relocate(memory, relocRva, relocSize, base - preferred, fault) &&
           BindImports(memory, importRva, resolve, fault);
}

}  // namespace emulated
