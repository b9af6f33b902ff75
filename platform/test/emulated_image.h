// The Windows image itself, its own i386 machine code, run on an emulated
// CPU (Unicorn) with the scripted platform behind its seven imports.
//
// Load maps the image as the Windows loader does (platform/test/pe_loader.h
// reads the file): the headers and each section with their own protections,
// at a base other than the preferred one (so every base relocation must be
// right), and the import address table filled with entry points that serve
// each import by name from the scripted platform: the same Script, the same
// call record as FilterMain compiled for the host. The stack is the reserve the header asks for, and
// grows page by page from its commit, as a Windows thread's stack does.
//
// Run starts at the header's entry point and ends at ExitProcess, or at the
// first fault, which it names with where it happened: a write outside the
// stack, an instruction fetched outside .code, a touch of memory not mapped
// or not readable, a function that returns with its stack pointer off, a
// return address overwritten, the stack used past its guard page or its
// reserve, an import given memory outside the image, and a run past its
// instruction limit. An import not among the seven fails the load.
#ifndef B64FILTER_EMULATED_IMAGE_H
#define B64FILTER_EMULATED_IMAGE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace emulated {

// Where the image and its stack are put: above 2 GiB (the image is large-
// address aware), and the image away from its preferred base.
const uint32_t kImageBase = 0x9E370000u;
const uint32_t kStackTop = 0xBFFF0000u;
const uint64_t kInstructionLimit = 10000000;

struct Outcome {
    bool exited;            // ended in ExitProcess, with no fault
    DWORD exitCode;         // ExitProcess's code
    std::string fault;      // what went wrong and where, when !exited
    uint64_t instructions;  // executed in .code (the imports are not counted)
    uint32_t deepestStack;  // bytes of stack used below its top, at most
    uint32_t stackReserve;  // what the header asks for
    uint32_t stackCommit;
};

struct Machine;
struct MachineDeleter {
    void operator()(Machine *machine) const;
};
typedef std::unique_ptr<Machine, MachineDeleter> MachinePtr;

// Loads a PE32 i386 image from its bytes. On failure gives null, and why in
// *fault.
MachinePtr Load(const std::vector<uint8_t> &file, std::string *fault);

// Runs the image from its entry point against the scripted platform's
// current script (scripted::Reset first); each run starts afresh.
Outcome Run(Machine &machine, uint64_t instructionLimit = kInstructionLimit);

// Puts bytes into the loaded image at an offset from its base, whatever the
// protection (as a debugger would): for tests of the faults a run catches.
void Patch(Machine &machine, uint32_t rva, const std::vector<uint8_t> &bytes);
uint32_t EntryPoint(const Machine &machine);  // as an offset from the base

// The image that B64FILTER_WIN32_IMAGE names, read and loaded once. Null
// when there is no such file (why in *missing) or it does not load (why in
// *fault).
Machine *ShippedImage(std::string *missing, std::string *fault);
// The bytes of a file, and of the file B64FILTER_WIN32_IMAGE names; empty
// when there is none.
std::vector<uint8_t> ReadBytes(const std::string &path);
std::vector<uint8_t> ShippedImageFile();

}  // namespace emulated

#endif
