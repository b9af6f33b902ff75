// The Windows image itself, its own i386 machine code, run on an emulated
// CPU (Unicorn) with the scripted platform behind its seven imports. The
// loader is tests/emulator/pe_loader.cpp; the machine and its runs are
// emulated_cpu.cpp, the imports imports.cpp, the stack's watch and
// footprints stack.cpp (their shared parts: tests/emulator/machine.h). Which image
// the tests run, and whether it is there, is tests/shipped_image.h's.
//
// The memory map of a run:
//
//   | from                | to (excluded) | what                                 | protection       |
//   |---------------------|---------------|--------------------------------------|------------------|
//   | kImageBase          | + image size  | the image: headers, then its sections| each section's   |
//   |   0x9E370000        |               | at their offsets                     | flags            |
//   | kStackTop - reserve | kStackTop     | the stack: the header's reserve,     | read, write      |
//   |                     |   0xBFFF0000  | grown from its commit page by page   |                  |
//   | kImportEntries      | + 0x1000      | the seven imports' entry points, 16  | read, execute    |
//   |   0xC0010000        |               | bytes apart, then the loader's       |                  |
//   | anywhere else       |               | unmapped                             |                  |
//
// Load maps the image as the Windows loader does (tests/emulator/pe_loader.h reads
// the file), at a base other than the preferred one (so every base relocation
// must be right), with the import address table filled with entry points that
// serve each import by name from the scripted platform: the same Script, the
// same call record as FilterMain compiled for the host. Page protections
// decide what may be written; the stack's growth is watched on top of them,
// as a Windows thread's stack grows: a page at a time from its commit, each
// time the guard page below the committed part is touched.
//
// Run starts at the header's entry point and ends at ExitProcess, or at the
// first fault, which it names with where it happened (the planted-fault
// table of tests/emulator/emulated_cpu_test.cpp has one case of each): a write to memory that is
// not writable or not mapped, an instruction fetched outside .code, a read of
// memory not mapped or not readable, an invalid instruction, a divide error,
// an interrupt, a
// far call, jump or return, a function that returns (or jumps to an import)
// with its stack pointer off or its return address overwritten, the entry
// point returning, the stack used past its guard page or its reserve, an
// import given memory it cannot use, and a run past its instruction limit.
#ifndef B64FILTER_EMULATED_CPU_H
#define B64FILTER_EMULATED_CPU_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/emulator/instructions.h"
#include "tests/emulator/pe_loader.h"

namespace emulated {

// Above 2 GiB (the image is large-address aware), away from its preferred base.
const uint32_t kImageBase = 0x9E370000u;
const uint32_t kStackTop = 0xBFFF0000u;
const uint32_t kImportEntries = 0xC0010000u;
const uint64_t kInstructionLimit = 10000000;

// What a run did.
struct Outcome {
    bool exited;            // ended in ExitProcess, with no fault
    DWORD exitCode;         // ExitProcess's code
    std::string fault;      // what went wrong and where, when !exited
    uint64_t instructions;  // executed in .code (the imports are not counted)
    uint32_t deepestStack;  // bytes of stack used below its top, at most
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
// current script (scripted::Reset first); each run starts afresh from the
// image as loaded and patched.
Outcome Run(Machine &machine, uint64_t instructionLimit = kInstructionLimit);

// The image as the loader left it (headers, sections, entry point, stack
// sizes), before any patch.
const LoadedImage &Image(const Machine &machine);
// Its .code section, and every instruction of what it holds (its
// VirtualSize, not the page's padding) from its start, as loaded.
const LoadedSection &CodeSection(const Machine &machine);
const std::vector<Instruction> &CodeInstructions(const Machine &machine);

// Puts bytes into the image at an offset from its base, whatever the
// protection (as a debugger would), for the runs that follow, until
// Unpatch puts every byte back as loaded. Cheap enough to run many patched
// variants of one loaded image.
void Patch(Machine &machine, uint32_t rva, const std::vector<uint8_t> &bytes);
void Unpatch(Machine &machine);

// Stack footprints, for runs of a patched image against the image as loaded.
// From RecordFootprints on, each run keeps which bytes below the stack top it
// wrote (itself or an import for it) and how many instructions it took. From
// HoldToFootprints on, the n-th run is held to the n-th recorded: it faults
// at a write to a stack byte that run never wrote (inside the frame, yet
// outside everything the image as loaded writes there: an overrun the
// output need not show), and may take at most kFootprintSlack times its
// instructions. Under both, reading a stack byte the run has not written
// yet is a fault.
const uint64_t kFootprintSlack = 4;
void RecordFootprints(Machine &machine);  // forgets any recorded before
void HoldToFootprints(Machine &machine);  // from the first run recorded, again

// Traces, to compare two runs by what they did rather than by what they
// wrote. From TraceRuns(machine, true) on, each run keeps a step for every
// instruction it executes, the import entry points' included: its address,
// the stack pointer before it, and the address of each memory operand it
// reads or writes (Capstone's operands: a push, pop, call or ret touches the
// stack at the stack pointer). LastTrace gives the last run's steps.
struct TraceStep {
    uint32_t address;
    uint32_t stack;
    uint8_t operands;
    uint32_t data[kMostMemoryOperands];
};
bool operator==(const TraceStep &a, const TraceStep &b);
void TraceRuns(Machine &machine, bool on);
const std::vector<TraceStep> &LastTrace(const Machine &machine);

// The address that the image's calls to library!function reach (one of the
// seven), or 0.
uint32_t ImportEntry(const std::string &library, const std::string &function);
// The name of the import whose entry point is at `entry`, or "".
std::string ImportName(uint32_t entry);

// The CPU emulator and its version ("Unicorn 2.0.1"), for reports.
std::string EmulatorName();

}  // namespace emulated

#endif
