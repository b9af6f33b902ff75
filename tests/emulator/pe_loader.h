// The Windows loader's work on a PE32 i386 image, for the emulated CPU
// (tests/emulator/emulated_cpu.h): the headers and sections put at their
// offsets from a base of our choosing, the base relocations applied for that
// base, and the import address table filled from a resolver.
#ifndef B64FILTER_PE_LOADER_H
#define B64FILTER_PE_LOADER_H

#include <stdint.h>

#include <string>
#include <vector>

namespace emulated {

// Section flags (IMAGE_SCN_MEM_*).
const uint32_t kSectionExecute = 0x20000000u, kSectionRead = 0x40000000u, kSectionWrite = 0x80000000u;
const uint32_t kPage = 0x1000;
const uint32_t kLargestImage = 0x10000000u;  // and the largest stack reserve taken

struct LoadedSection {
    std::string name;  // "headers" for the headers
    uint32_t rva;      // offset from the base, page-aligned
    uint32_t size;     // in memory, rounded up to whole pages
    uint32_t content;  // what it holds of that (its VirtualSize; the headers' size)
    uint32_t flags;    // kSection*
};

struct LoadedImage {
    std::vector<uint8_t> memory;  // the image as it lies in memory from its base
    std::vector<LoadedSection> sections;
    uint32_t entry;  // AddressOfEntryPoint
    uint32_t stackReserve, stackCommit;
};

// The address that calls to library!function go to, or 0 for an import the
// machine does not serve.
typedef uint32_t (*ImportResolver)(const std::string &library, const std::string &function);

// Loads the file for `base`. On failure says why in *fault: each malformed
// part of the file its own message (tests/emulator/pe_loader_test.cpp has them all).
// Every read of the file and of the image is bounded.
bool LoadPe(const std::vector<uint8_t> &file, uint32_t base, ImportResolver resolve, LoadedImage *image,
            std::string *fault);

uint64_t PageRound(uint64_t n);  // in 64 bits: no size rounds up to 0
std::string Hex(uint64_t n);     // "0x1A2B", for messages

}  // namespace emulated

#endif
